# Cross-builds for Linux on 64-bit ARM (ARMv8-A) with Debian's cross compiler:
#   apt-get install g++-aarch64-linux-gnu
#   cmake -S . -B build/linux-aarch64 -DCMAKE_TOOLCHAIN_FILE=cross/linux-aarch64.cmake
set(DORVEL_CROSS_TRIPLE aarch64-linux-gnu)
set(DORVEL_CROSS_PROCESSOR aarch64)
set(DORVEL_CROSS_QEMU qemu-aarch64)
set(DORVEL_PLATFORM aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
