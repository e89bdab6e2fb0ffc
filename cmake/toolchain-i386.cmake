# Cross build for i386 (little-endian, 32-bit) with Debian's cross toolchain;
# `make cross-test ARCH=i386` uses it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOVI_CROSS_TRIPLET i686-linux-gnu)
set(TOVI_CROSS_MULTIARCH i386-linux-gnu)
set(TOVI_CROSS_QEMU qemu-i386)
set(TOVI_CROSS_LOADER /usr/i686-linux-gnu/lib/ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
