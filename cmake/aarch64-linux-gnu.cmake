# Cross build for 64-bit ARM Linux with Debian's aarch64-linux-gnu toolchain
# (g++-aarch64-linux-gnu). Programs built with it run here under user-mode
# QEMU, which CTest and gtest_discover_tests put in front of them.
#
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   (or: cmake --workflow --preset arm64)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(THERMOMETRY_CROSS_TRIPLE aarch64-linux-gnu)
# Debian's cross packages keep the target's libc, libstdc++ and their headers
# below /usr/<triple>; the compiler finds them there on its own.
set(THERMOMETRY_CROSS_ROOT "/usr/${THERMOMETRY_CROSS_TRIPLE}")

set(CMAKE_C_COMPILER "${THERMOMETRY_CROSS_TRIPLE}-gcc")
set(CMAKE_CXX_COMPILER "${THERMOMETRY_CROSS_TRIPLE}-g++")

# How the build runs what it built: try_run, gtest_discover_tests and add_test
# all go through this. -L points QEMU's loader at the target's libraries, as
# binfmt_misc is not there to do it.
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-aarch64;-L;${THERMOMETRY_CROSS_ROOT}")

# Libraries, headers and CMake packages come from the target's tree only, so
# that nothing from the host's /usr/lib or /usr/include is ever linked or
# included by a find_*() call; build tools (programs) come from the host.
set(CMAKE_FIND_ROOT_PATH "${THERMOMETRY_CROSS_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
