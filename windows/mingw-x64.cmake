# Cross-builds for Windows x64 with Debian's MinGW-w64 (the POSIX-thread
# variant, which has std::mutex and std::thread):
#   cmake -S . -B build/win-x64 -DCMAKE_TOOLCHAIN_FILE=windows/mingw-x64.cmake
set(DORVEL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
