# GoogleTest: the system's for native builds; for cross builds, built from
# the sources Debian's googletest package ships, with the same target names.
# Sets DORVEL_GOOGLETEST_FOUND; without GoogleTest the tests are left out and
# the module still builds.
if(CMAKE_CROSSCOMPILING)
  set(DORVEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources, for cross builds")
  if(NOT EXISTS ${DORVEL_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "Cross builds need GoogleTest's sources in ${DORVEL_GOOGLETEST_SOURCE} (apt-get install googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${DORVEL_GOOGLETEST_SOURCE} googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own warning settings, not the project's.
  set_property(TARGET gtest gtest_main PROPERTY COMPILE_OPTIONS "")
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
  set(DORVEL_GOOGLETEST_FOUND ON)
else()
  find_package(GTest QUIET)
  set(DORVEL_GOOGLETEST_FOUND ${GTest_FOUND})
  if(NOT GTest_FOUND)
    message(WARNING "GoogleTest not found: the tests are left out (apt-get install libgtest-dev)")
  endif()
endif()
include(GoogleTest)

# The large test programs compile in about half the time: GoogleTest's header
# and the standard headers most test files include are compiled once per
# program rather than once per file (every file of the program sees them
# first; the files still include what they use), and the programs carry
# line tables only, enough for a backtrace, where RelWithDebInfo would give
# them full debug information. The module and the tools keep theirs.
function(dorvel_quick_test_program target)
  target_precompile_headers(${target} PRIVATE <gtest/gtest.h> <chrono> <string> <thread> <vector> ${ARGN})
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE $<$<CONFIG:RelWithDebInfo>:-g1>)
  endif()
endfunction()
