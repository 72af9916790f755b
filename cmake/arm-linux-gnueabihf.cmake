# Cross build for Linux on armhf (Raspberry Pi OS, Debian) with Debian's
# cross compiler (g++-arm-linux-gnueabihf):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# The tests are left out by themselves; the programs run here under
# qemu-arm-static (Debian's qemu-user-static).
set(MIRX_CROSS_TRIPLET arm-linux-gnueabihf)
set(MIRX_CROSS_PROCESSOR arm)
set(MIRX_CROSS_LOADER /lib/ld-linux-armhf.so.3)
set(MIRX_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
