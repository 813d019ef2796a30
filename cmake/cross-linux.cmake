# Shared part of the cross toolchain files: Debian's cross compiler for
# CROSS_TRIPLET, its C library as the sysroot, and qemu-user (CROSS_QEMU) to
# run the tests on the CPU that CROSS_CPU names.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)
set(CMAKE_STRIP ${CROSS_TRIPLET}-strip)

set(CROSS_SYSROOT /usr/${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user without -cpu accepts the newest code of its architecture; naming
# the CPU makes the tests prove the binary on that CPU level and no higher.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU} -cpu ${CROSS_CPU} -L ${CROSS_SYSROOT})
