# Cross build for aarch64 with Debian's g++-aarch64-linux-gnu, run under qemu-user:
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake -DTARVEX_GTEST_SOURCE=/usr/src/googletest
# Programs are linked statically so that qemu-aarch64 runs them without the
# target's libraries; .ci/run registers qemu-aarch64 with binfmt_misc so that the
# tests' own runs of the real binaries go through the emulator too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
