# 32-bit ARM, hard float (Debian armhf): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.toolchain.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(OMBRIX_CROSS_TRIPLET arm-linux-gnueabihf)
set(OMBRIX_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
