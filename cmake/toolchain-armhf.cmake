# Cross build for armhf (little-endian, 32-bit) with Debian's cross toolchain;
# `make cross-test ARCH=armhf` uses it.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TOVI_CROSS_TRIPLET arm-linux-gnueabihf)
set(TOVI_CROSS_MULTIARCH arm-linux-gnueabihf)
set(TOVI_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
