# Cross build for AArch64 Linux with Debian's g++-aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under user-mode emulation; binfmt_misc may not be mounted, so the
# emulator is named. Seccomp is not emulated, so only tests that need no
# kernel filter run this way.
find_program(SANDBOX_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(SANDBOX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SANDBOX_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
endif()
