# Shared part of the cross toolchain files: Debian's cross compilers for
# QELVO_TRIPLET, the target's libraries under /usr/<triplet>, and qemu-user
# to run what is built (CTest, test discovery and the cross comparison).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QELVO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QELVO_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${QELVO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${QELVO_QEMU} -L /usr/${QELVO_TRIPLET})
