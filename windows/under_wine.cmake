# Runs the Windows build's test programs under Wine: CMake's emulator for
# everything ctest starts, a Wine prefix of the build's own, and the folders
# of the DLLs the hosts need (their AviSynth.dll, and the MinGW runtime that
# a MinGW-built host links) on Wine's DLL search path. The project's own
# programs are linked statically and need none of them.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(wine_arch win64)
else()
  set(wine_arch win32)
endif()
set(dll_folders "")
foreach(prefix IN LISTS AVISYNTH_PREFIX)
  list(APPEND dll_folders ${prefix}/bin)
endforeach()
foreach(runtime libstdc++-6.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${runtime_path}")
    get_filename_component(runtime_dir ${runtime_path} DIRECTORY)
    get_filename_component(runtime_dir ${runtime_dir} REALPATH)
    list(APPEND dll_folders ${runtime_dir})
  endif()
endforeach()
list(REMOVE_DUPLICATES dll_folders)
string(REPLACE ";" ":" dll_folders "${dll_folders}")

if(CMAKE_VERSION VERSION_LESS 3.20)
  message(FATAL_ERROR "Running the Windows tests under Wine needs CMake 3.20 or later")
endif()
# One program with the settings inside: ctest's test discovery takes the
# emulator as a single path.
set(DORVEL_WINE_RUN ${CMAKE_BINARY_DIR}/wine_run)
file(CONFIGURE OUTPUT ${DORVEL_WINE_RUN}.in CONTENT [[#!/bin/sh
exec bash "@CMAKE_CURRENT_LIST_DIR@/wine_run.sh" "@CMAKE_BINARY_DIR@/wine" @wine_arch@ "@dll_folders@" "$@"
]] @ONLY)
configure_file(${DORVEL_WINE_RUN}.in ${DORVEL_WINE_RUN} COPYONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DORVEL_WINE_RUN})
# Test programs are listed when ctest runs them, under the emulator, not at
# build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
