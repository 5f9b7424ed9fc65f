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
