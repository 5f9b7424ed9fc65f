# What the Linux toolchain files share; DORVEL_CROSS_TRIPLE names the target,
# whose C and C++ runtime Debian's cross compiler packages install under
# /usr/<triple>. Programs of the build machine are found as usual, libraries
# and headers only under the target's root. DORVEL_PLATFORM tells this
# build's real-host cases apart from those of hosts of the same release for
# other processors.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${DORVEL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${DORVEL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DORVEL_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${DORVEL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The tests run under qemu-user (apt-get install qemu-user), with the
# target's runtime from that root, unless an emulator is named already.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DORVEL_CROSS_QEMU} -L /usr/${DORVEL_CROSS_TRIPLE})
endif()
