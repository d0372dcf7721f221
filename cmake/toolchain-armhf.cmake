# 32-bit ARM with hardware floating point (Raspberry Pi OS 32-bit):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QELVO_TRIPLET arm-linux-gnueabihf)
set(QELVO_QEMU qemu-arm)
# A 64-bit time_t, so that the data file's creation time is right after
# January 2038; large-file offsets are a condition of it in glibc.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
