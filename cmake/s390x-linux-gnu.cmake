# Cross build for s390x, run under qemu-user:
#   cmake -S . -B build-s390x --toolchain cmake/s390x-linux-gnu.cmake -DTARVEX_GTEST_SOURCE=/usr/src/googletest
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
