# The common part of the cross builds for Linux with Debian's cross compilers.
# The toolchain file of a target sets MIRX_CROSS_TRIPLET (aarch64-linux-gnu),
# MIRX_CROSS_PROCESSOR, MIRX_CROSS_LOADER (the target's dynamic loader) and
# MIRX_CROSS_QEMU (its qemu-user emulator), then includes this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${MIRX_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${MIRX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MIRX_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MIRX_CROSS_TRIPLET})
# The emulator takes the target's libraries from the system when they are
# installed there (multiarch); else from the cross compiler's directory. The
# two must never mix: a loader of one glibc build with the libc of another
# hangs or crashes threaded programs.
if(EXISTS ${MIRX_CROSS_LOADER})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRX_CROSS_QEMU})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRX_CROSS_QEMU} -L /usr/${MIRX_CROSS_TRIPLET})
endif()

# Libraries and headers of the target: the cross compiler's own and those
# installed as packages of its architecture (dpkg --add-architecture).
set(CMAKE_FIND_ROOT_PATH /usr/${MIRX_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must describe the target's libraries, not this machine's: the
# target's own pkg-config when installed (pkgconf:<arch>), else this one
# reading only the target's directories.
find_program(PKG_CONFIG_EXECUTABLE ${MIRX_CROSS_TRIPLET}-pkg-config)
if(NOT PKG_CONFIG_EXECUTABLE)
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${MIRX_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
