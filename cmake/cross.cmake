# Cross build with one of Debian's g++-TRIPLE toolchains; the tests run the
# tool through qemu-user (qemu-user-static), with the target's libraries:
#   cmake -B build-arm64 --toolchain cmake/cross.cmake -DTRIPLE=aarch64-linux-gnu
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${TRIPLE}")
set(CMAKE_C_COMPILER ${TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TRIPLE)
# qemu's names for two of Debian's processors.
string(REGEX REPLACE "^i686$" "i386" qemu "${CMAKE_SYSTEM_PROCESSOR}")
string(REGEX REPLACE "^powerpc64le$" "ppc64le" qemu "${qemu}")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu}-static -L /usr/${TRIPLE})
