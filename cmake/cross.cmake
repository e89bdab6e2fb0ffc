# Shared part of the cross toolchain files (cmake/toolchain-<arch>.cmake):
# Debian's cross compilers for TOVI_CROSS_TRIPLET, the target's libraries
# unpacked into TOVI_SYSROOT by scripts/cross-bootstrap, and qemu-user as
# the emulator that runs test programs (test discovery included).
#
# Set before including: TOVI_CROSS_TRIPLET (compiler prefix),
# TOVI_CROSS_MULTIARCH (Debian's library directory name), TOVI_CROSS_QEMU
# (the qemu-user program) and CMAKE_SYSTEM_PROCESSOR; optionally
# TOVI_CROSS_LOADER (below).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TOVI_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOVI_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TOVI_CROSS_MULTIARCH})

# The sysroot lives in the build folder unless told otherwise; try_compile
# projects get the same value.
if(NOT TOVI_SYSROOT)
  set(TOVI_SYSROOT ${CMAKE_BINARY_DIR}/sysroot CACHE PATH "target libraries unpacked by scripts/cross-bootstrap")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOVI_SYSROOT TOVI_CROSS_TRIPLET TOVI_CROSS_MULTIARCH TOVI_CROSS_QEMU
     TOVI_CROSS_LOADER)

set(CMAKE_FIND_ROOT_PATH ${TOVI_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_LIBDIR} ${TOVI_SYSROOT}/usr/lib/${TOVI_CROSS_MULTIARCH}/pkgconfig:${TOVI_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${TOVI_SYSROOT})
unset(ENV{PKG_CONFIG_PATH})

# The target's libraries need each other at link time and at run time.
set(TOVI_CROSS_LIBDIRS ${TOVI_SYSROOT}/usr/lib/${TOVI_CROSS_MULTIARCH}:${TOVI_SYSROOT}/lib/${TOVI_CROSS_MULTIARCH})
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${TOVI_CROSS_LIBDIRS}")
endforeach()

# The emulator runs with the cross toolchain's C and C++ libraries and the
# sysroot's; the tests put the same words in front of the build tree's
# programs that they start (TOVI_TEST_WRAPPER, cmake/tovi.cmake).
find_program(TOVI_CROSS_QEMU_PATH ${TOVI_CROSS_QEMU})
if(NOT TOVI_CROSS_QEMU_PATH)
  set(TOVI_CROSS_QEMU_PATH /usr/bin/${TOVI_CROSS_QEMU})
endif()
# With TOVI_CROSS_LOADER the emulator runs the target's dynamic loader as
# its program, and the loader the test program: qemu-i386 hangs in the first
# pthread_create of a dynamically linked program whose loader it started
# itself, not of one started this way.
if(TOVI_CROSS_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${TOVI_CROSS_QEMU_PATH} ${TOVI_CROSS_LOADER} --library-path /usr/${TOVI_CROSS_TRIPLET}/lib:${TOVI_CROSS_LIBDIRS})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${TOVI_CROSS_QEMU_PATH} -L /usr/${TOVI_CROSS_TRIPLET} -E LD_LIBRARY_PATH=${TOVI_CROSS_LIBDIRS})
endif()
