# Build helpers shared by every folder: one place for warnings, language level,
# sanitizers and test registration.

# -Wshadow and -Wconversion catch the quiet mistakes of code that juggles sizes, offsets and
# descriptors. GCC's versions are the gate (the Release build); clang's -Wconversion is a
# wider family (sign changes, 64-to-32 shortening) that the sanitizer builds do not hold the
# code to yet.
set(DORVANE_WARNINGS -Wall -Wextra)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND DORVANE_WARNINGS -Wshadow -Wconversion)
endif()
if(DORVANE_WERROR)
  list(APPEND DORVANE_WARNINGS -Werror)
endif()

if(DORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # With clang the same build holds the fuzz targets, linked with libFuzzer: our libraries
    # carry its coverage instrumentation (DORVANE_COVERAGE, see dorvane_library), whose
    # callbacks the sanitizer runtime answers with no-ops in every other program.
    set(DORVANE_LIBFUZZER ON)
    set(DORVANE_COVERAGE -fsanitize=fuzzer-no-link)
    add_custom_target(fuzzers)
  else()
    # The sanitizers' checks confuse GCC's flow analysis: it reports "may be used
    # uninitialized" for variant members it cannot see being chosen (Result<int>::error()).
    # The warning stays on in the normal build, where it is reliable.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

if(DORVANE_TSAN)
  if(DORVANE_SANITIZE)
    message(FATAL_ERROR "DORVANE_TSAN and DORVANE_SANITIZE need builds of their own")
  endif()
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
endif()
# The test binaries marked THREADS (dorvane_test), and everything they run: what the
# ThreadSanitizer build builds (scripts/build thread_tests) and runs (ctest -L threads).
add_custom_target(thread_tests)

# dorvane_library(NAME SOURCES a.cc b.cc DEPENDS lib1 lib2)
# A static library whose headers are included from the source root
# ("core/foundation/error.h").
function(dorvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${DORVANE_WARNINGS} ${DORVANE_COVERAGE})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
endfunction()

# dorvane_executable(NAME SOURCES ... DEPENDS ...)
function(dorvane_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${DORVANE_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS})
endfunction()

# dorvane_test_headers(): the target that precompiles the GoogleTest and GoogleMock headers
# every test binary reuses. It is compiled with the test binaries' options, which GCC needs
# for a precompiled header to be used (it falls back to the headers themselves otherwise).
function(dorvane_test_headers)
  add_library(dorvane_test_headers OBJECT ${PROJECT_SOURCE_DIR}/tests/support/test_headers.cc)
  target_include_directories(dorvane_test_headers PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(dorvane_test_headers PRIVATE ${DORVANE_WARNINGS} -O0)
  target_compile_definitions(dorvane_test_headers PRIVATE
                             DORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_link_libraries(dorvane_test_headers PRIVATE GTest::gmock)
  target_precompile_headers(dorvane_test_headers PRIVATE <gmock/gmock.h> <gtest/gtest.h>)
endfunction()

# dorvane_test(NAME [THREADS] SOURCES ... DEPENDS ... [ENVIRONMENT VAR=value ...])
# One GoogleTest binary per library. The shared test main (tests/support) lets a
# test re-run its own binary as a child process. THREADS: the code under test runs on more
# than one thread, so the binary joins thread_tests and its tests carry the label `threads`.
function(dorvane_test name)
  cmake_parse_arguments(ARG "THREADS" "" "SOURCES;DEPENDS;ENVIRONMENT" ${ARGN})
  dorvane_executable(${name} SOURCES ${ARG_SOURCES}
                     DEPENDS ${ARG_DEPENDS} test_support GTest::gmock)
  # Tests wait for tools and files far more than they compute, and their files are most of
  # what a build compiles: they are compiled without optimisation, with the GoogleTest and
  # GoogleMock headers precompiled once for all of them (dorvane_test_headers).
  target_compile_options(${name} PRIVATE -O0)
  target_precompile_headers(${name} REUSE_FROM dorvane_test_headers)
  # Tests find their data files (tests/data/...) from the source root.
  target_compile_definitions(${name} PRIVATE DORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # Properties with a value only: gtest_discover_tests drops an empty one, and the next
  # property's name would become its value.
  set(properties TIMEOUT 300)
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  if(ARG_THREADS)
    list(APPEND properties LABELS threads)
    add_dependencies(thread_tests ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# dorvane_fuzzer(NAME SOURCES ... DEPENDS ... CORPUS folder)
# A fuzz target: SOURCES define LLVMFuzzerTestOneInput; NAME ends in "_fuzzer"; CORPUS is its
# seed corpus (relative to the current source folder). Every build registers the test
# NAME_corpus, which runs each seed once, so the seeds stay a regression test. In the clang
# sanitizer build (DORVANE_LIBFUZZER) the target links libFuzzer and joins the `fuzzers`
# target, and build-sanitize/fuzzers.txt lists it for scripts/fuzz; in the other builds it is
# a plain program with a main of its own, which keeps it building with every compiler.
function(dorvane_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;DEPENDS" ${ARGN})
  get_filename_component(corpus "${ARG_CORPUS}" ABSOLUTE)
  if(DORVANE_LIBFUZZER)
    dorvane_executable(${name} SOURCES ${ARG_SOURCES} DEPENDS ${ARG_DEPENDS})
    target_compile_options(${name} PRIVATE ${DORVANE_COVERAGE})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
    set_property(GLOBAL APPEND PROPERTY DORVANE_FUZZERS
                 "${name}\t$<TARGET_FILE:${name}>\t${corpus}")
    # -runs=0: read (and so run) every seed, then stop instead of fuzzing.
    add_test(NAME ${name}_corpus COMMAND ${name} -runs=0 ${corpus})
  else()
    dorvane_executable(${name}
      SOURCES ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/fuzzer_corpus_main.cc
      DEPENDS ${ARG_DEPENDS})
    add_test(NAME ${name}_corpus COMMAND ${name} ${corpus})
  endif()
  set_tests_properties(${name}_corpus PROPERTIES TIMEOUT 300)
endfunction()

# Writes build-sanitize/fuzzers.txt: one line per fuzz target, "name<TAB>program<TAB>corpus".
# Called once, at the end of the top-level CMakeLists.txt.
function(dorvane_write_fuzzer_list)
  if(DORVANE_LIBFUZZER)
    get_property(fuzzers GLOBAL PROPERTY DORVANE_FUZZERS)
    list(JOIN fuzzers "\n" lines)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers.txt CONTENT "${lines}\n")
  endif()
endfunction()
