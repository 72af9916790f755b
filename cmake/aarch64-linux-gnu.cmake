# Cross build for Linux on arm64 (Raspberry Pi OS, Debian) with Debian's
# cross compiler (g++-aarch64-linux-gnu):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The tests are left out by themselves; the programs run here under
# qemu-aarch64-static (Debian's qemu-user-static).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The emulator takes the target's libraries from the system when they are
# installed there (multiarch); else from the cross compiler's directory. The
# two must never mix: a loader of one glibc build with the libc of another
# hangs or crashes threaded programs.
if(EXISTS /lib/ld-linux-aarch64.so.1)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L /usr/aarch64-linux-gnu)
endif()

# Libraries and headers of the target: the cross compiler's own and those
# installed as arm64 packages (dpkg --add-architecture arm64).
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must describe the target's libraries, not this machine's: the
# target's own pkg-config when installed (pkgconf:<arch>), else this one
# reading only the target's directories.
find_program(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config)
if(NOT PKG_CONFIG_EXECUTABLE)
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
