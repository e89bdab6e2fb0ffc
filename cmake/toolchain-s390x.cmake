# Cross build for s390x (big-endian, 64-bit) with Debian's cross toolchain;
# `make cross-test ARCH=s390x` uses it.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TOVI_CROSS_TRIPLET s390x-linux-gnu)
set(TOVI_CROSS_MULTIARCH s390x-linux-gnu)
set(TOVI_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
