# Build helpers shared by every folder: one place for warnings, language level,
# sanitizers and test registration.

set(DORVANE_WARNINGS -Wall -Wextra)
if(DORVANE_WERROR)
  list(APPEND DORVANE_WARNINGS -Werror)
endif()

if(DORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  # The sanitizers' checks confuse GCC's flow analysis: it reports "may be used
  # uninitialized" for variant members it cannot see being chosen (Result<int>::error()).
  # The warning stays on in the normal build, where it is reliable.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
  add_link_options(-fsanitize=address,undefined)
endif()

# dorvane_library(NAME SOURCES a.cc b.cc DEPENDS lib1 lib2)
# A static library whose headers are included from the source root
# ("core/foundation/error.h").
function(dorvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${DORVANE_WARNINGS})
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

# dorvane_test(NAME SOURCES ... DEPENDS ... [ENVIRONMENT VAR=value ...])
# One GoogleTest binary per library. The shared test main (tests/support) lets a
# test re-run its own binary as a child process.
function(dorvane_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;ENVIRONMENT" ${ARGN})
  dorvane_executable(${name} SOURCES ${ARG_SOURCES}
                     DEPENDS ${ARG_DEPENDS} test_support GTest::gmock)
  # Tests find their data files (tests/data/...) from the source root.
  target_compile_definitions(${name} PRIVATE DORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}" TIMEOUT 300)
endfunction()
