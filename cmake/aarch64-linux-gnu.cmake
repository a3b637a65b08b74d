# Cross build for aarch64, run under qemu-user:
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake -DTARVEX_GTEST_SOURCE=/usr/src/googletest
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
