# Cross build for 32-bit ARM soft-float Linux (Debian armel): ARMv5TE in ARM
# mode and later, so every 32-bit ARM board. With -DPOLL_CLIENT_MUSL=ON it
# makes the universal binary. Tests run under qemu-user on an ARM926EJ-S
# (ARMv5TE), the oldest CPU the binary is for.
set(ARM_TRIPLET arm-linux-gnueabi)
set(ARM_DEFAULT_CPU arm926)
set(ARM_DEB_ARCH armel)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
