# Shared part of the cross toolchain files: Debian's cross compilers for
# QELVO_TRIPLET with their C library under /usr/<triplet>, and qemu-user
# to run what is built (CTest, test discovery and the cross comparison).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QELVO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QELVO_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${QELVO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# What is built runs as on a Debian system of the target's architecture: with
# the loader and libraries of its multiarch packages (libc6:arm64 and the
# like, which libmicrohttpd's bring along). The loader under /usr/<triplet>
# would pick up that same multiarch C library, which is not its own build.
set(CMAKE_CROSSCOMPILING_EMULATOR ${QELVO_QEMU} -L /)

# Libraries beyond the C library come from Debian's multiarch packages
# (libmicrohttpd-dev:arm64 and the like) in /usr/lib/<triplet>, which the
# cross compiler searches after /usr/<triplet>/lib; CMake looks there too
# (the root "/" with the target's library architecture), and pkg-config
# reads only the target's .pc files, never the host's.
list(APPEND CMAKE_FIND_ROOT_PATH /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QELVO_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})
