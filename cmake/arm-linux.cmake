# Shared part of the 32-bit ARM toolchain files: Debian's cross compiler for
# ARM_TRIPLET, its C library as the sysroot, and qemu-user to run the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER ${ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ARM_TRIPLET}-g++)
set(CMAKE_STRIP ${ARM_TRIPLET}-strip)

set(ARM_SYSROOT /usr/${ARM_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-arm without -cpu accepts any ARMv7 code; naming the CPU makes the tests
# prove the binary on that CPU level and no higher.
if(NOT DEFINED POLL_CLIENT_ARM_CPU)
  set(POLL_CLIENT_ARM_CPU ${ARM_DEFAULT_CPU})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu ${POLL_CLIENT_ARM_CPU} -L ${ARM_SYSROOT})
