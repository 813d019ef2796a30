# Cross build for 64-bit ARM Linux (Debian arm64): ARMv8.0-A and later. With
# -DPOLL_CLIENT_MUSL=ON it makes the static arm64 binary. Tests run under
# qemu-user on a Cortex-A53 (ARMv8.0-A: Raspberry Pi Zero 2 W, Pi 3).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CROSS_TRIPLET aarch64-linux-gnu)
set(CROSS_QEMU qemu-aarch64)
set(CROSS_CPU cortex-a53)
set(CROSS_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
