# Cross build for 32-bit ARM hard-float Linux (Debian armhf): ARMv7-A and later.
# Tests run under qemu-user, on a Cortex-A7 (ARMv7-A, as a Raspberry Pi 2).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLET arm-linux-gnueabihf)
set(CROSS_QEMU qemu-arm)
set(CROSS_CPU cortex-a7)
set(CROSS_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
