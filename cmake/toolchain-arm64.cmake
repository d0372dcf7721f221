# 64-bit ARM (Raspberry Pi OS 64-bit, other aarch64 boards):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QELVO_TRIPLET aarch64-linux-gnu)
set(QELVO_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
