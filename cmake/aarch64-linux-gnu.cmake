# Cross build for Linux on arm64 (Raspberry Pi OS, Debian) with Debian's
# cross compiler (g++-aarch64-linux-gnu):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The tests are left out by themselves; the programs run here under
# qemu-aarch64-static (Debian's qemu-user-static).
set(MIRX_CROSS_TRIPLET aarch64-linux-gnu)
set(MIRX_CROSS_PROCESSOR aarch64)
set(MIRX_CROSS_LOADER /lib/ld-linux-aarch64.so.1)
set(MIRX_CROSS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
