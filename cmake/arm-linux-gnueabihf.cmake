# Cross build for Linux on armhf (Raspberry Pi OS, Debian) with Debian's
# cross compiler (g++-arm-linux-gnueabihf):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# The tests are left out by themselves; the programs run here under
# qemu-arm-static (Debian's qemu-user-static).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The emulator takes the target's libraries from the system when they are
# installed there (multiarch); else from the cross compiler's directory. The
# two must never mix: a loader of one glibc build with the libc of another
# hangs or crashes threaded programs.
if(EXISTS /lib/ld-linux-armhf.so.3)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /usr/arm-linux-gnueabihf)
endif()

# Libraries and headers of the target: the cross compiler's own and those
# installed as armhf packages (dpkg --add-architecture armhf).
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must describe the target's libraries, not this machine's: the
# target's own pkg-config when installed (pkgconf:<arch>), else this one
# reading only the target's directories.
find_program(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config)
if(NOT PKG_CONFIG_EXECUTABLE)
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
