# Runs a cross build's test programs (for Linux on another processor) under
# the emulator the toolchain names, such as qemu-user: one program in the
# build folder that starts the emulator with its options takes the emulator's
# place, for everything ctest starts and for the scripts of tests that start
# the build's programs themselves. ctest's test discovery takes the emulator
# as a single path.
if(CMAKE_VERSION VERSION_LESS 3.20)
  message(FATAL_ERROR "Running the cross-built tests under an emulator needs CMake 3.20 or later")
endif()
list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 emulator_program)
find_program(DORVEL_EMULATOR_PROGRAM ${emulator_program})
if(NOT DORVEL_EMULATOR_PROGRAM)
  message(WARNING "${emulator_program} not found: the tests cannot run here (for qemu: apt-get install qemu-user)")
endif()
set(emulator_command "")
foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
  string(REPLACE "'" "'\\''" word "${word}")
  string(APPEND emulator_command "'${word}' ")
endforeach()
set(DORVEL_EMULATOR_RUN ${CMAKE_BINARY_DIR}/emulator_run)
file(CONFIGURE OUTPUT ${DORVEL_EMULATOR_RUN}.in CONTENT [[#!/bin/sh
exec @emulator_command@"$@"
]] @ONLY)
configure_file(${DORVEL_EMULATOR_RUN}.in ${DORVEL_EMULATOR_RUN} COPYONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DORVEL_EMULATOR_RUN})
# Test programs are listed when ctest runs them, under the emulator, not at
# build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
