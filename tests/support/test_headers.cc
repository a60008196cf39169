// Nothing of its own: the target built from this file precompiles the GoogleTest and
// GoogleMock headers for every test binary (cmake/Dorvane.cmake, dorvane_test_headers).
