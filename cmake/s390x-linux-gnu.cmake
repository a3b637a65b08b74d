# Cross build for s390x with Debian's g++-s390x-linux-gnu, run under qemu-user:
#   cmake -S . -B build-s390x --toolchain cmake/s390x-linux-gnu.cmake -DTARVEX_GTEST_SOURCE=/usr/src/googletest
# Programs are linked statically so that qemu-s390x runs them without the
# target's libraries; .ci/run registers qemu-s390x with binfmt_misc so that the
# tests' own runs of the real binaries go through the emulator too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x)
