# Cross-builds for Windows x86 with Debian's MinGW-w64 (the POSIX-thread
# variant, which has std::mutex and std::thread):
#   cmake -S . -B build/win-x86 -DCMAKE_TOOLCHAIN_FILE=windows/mingw-x86.cmake
set(DORVEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
