# Cross build for 32-bit ARM hard-float Linux (Debian armhf): ARMv7-A and later.
# Tests run under qemu-user, on a Cortex-A7 (ARMv7-A, as a Raspberry Pi 2).
set(ARM_TRIPLET arm-linux-gnueabihf)
set(ARM_DEFAULT_CPU cortex-a7)
set(ARM_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
