# Cross build for 32-bit ARM soft-float Linux (Debian armel): ARMv5TE in ARM
# mode and later, so every 32-bit ARM board. With -DPOLL_CLIENT_MUSL=ON it
# makes the universal binary. Tests run under qemu-user on an ARM926EJ-S
# (ARMv5TE), the oldest CPU the binary is for.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLET arm-linux-gnueabi)
set(CROSS_QEMU qemu-arm)
set(CROSS_CPU arm926)
set(CROSS_DEB_ARCH armel)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
