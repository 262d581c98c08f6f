# Cross build for 64-bit ARM Linux with Debian's cross compiler and the arm64 packages of the
# libraries (multiarch, under /usr/lib/aarch64-linux-gnu). The test programs run under
# qemu-user; QEMU_CPU in the environment picks the CPU it emulates (max has SVE and SVE2,
# cortex-a72 NEON alone).
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The cross C library lives under /usr/aarch64-linux-gnu; the arm64 packages of hwy, GTest and
# libpng live in the host's multiarch directories, which the search reaches through the
# library architecture under /usr.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The host's own package configurations (x86-64) must never be picked.
set(CMAKE_IGNORE_PREFIX_PATH /usr/lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# The programs run with the arm64 C library's own loader, /lib/ld-linux-aarch64.so.1. A prefix
# of /usr/aarch64-linux-gnu would pair the cross package's loader with the libc.so.6 the loader
# then finds in /lib/aarch64-linux-gnu, a different build whose private layout differs
# (_rtld_global): the first pthread_create walks a list that never ends. "-L /" also overrides
# any QEMU_LD_PREFIX in the environment.
find_program(TAMSA_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMSA_QEMU_AARCH64} -L /)
