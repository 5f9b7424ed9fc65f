# Cross-builds for Linux on 32-bit ARM (ARMv7-A, hard-float) with Debian's
# cross compiler:
#   apt-get install g++-arm-linux-gnueabihf
#   cmake -S . -B build/linux-armhf -DCMAKE_TOOLCHAIN_FILE=cross/linux-armhf.cmake
set(DORVEL_CROSS_TRIPLE arm-linux-gnueabihf)
set(DORVEL_CROSS_PROCESSOR armv7l)
set(DORVEL_CROSS_QEMU qemu-arm)
set(DORVEL_PLATFORM armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
