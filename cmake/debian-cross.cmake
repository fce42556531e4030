# Cross build for a Debian architecture with Debian's cross compilers and the
# target's libraries installed through multiarch (libpng-dev:arm64, ...).
# Included by the per-architecture toolchain files, which set
# OMBRIX_CROSS_TRIPLET and OMBRIX_CROSS_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${OMBRIX_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${OMBRIX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OMBRIX_CROSS_TRIPLET}-g++)

# Only the target's libraries and packages, never the build machine's;
# programs (pkg-config, the emulator) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${OMBRIX_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(PKG_CONFIG_EXECUTABLE /usr/bin/${OMBRIX_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "")

# Target programs (tests, the screen-image drawer) run under qemu-user with
# the cross toolchain's C library as the sysroot; no binfmt registration.
# The loader comes from the sysroot, so the C library must too: the
# multiarch one (libc6:arm64, pulled in by the -dev packages) is listed in
# the machine's ld.so.cache and may be of another Debian revision, whose
# private interface to the loader differs (pthread_create crashes or hangs).
find_program(OMBRIX_QEMU ${OMBRIX_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OMBRIX_QEMU} -L /usr/${OMBRIX_CROSS_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${OMBRIX_CROSS_TRIPLET}/lib)
