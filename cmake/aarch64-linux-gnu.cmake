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
# all go through this. The programs run with Debian's arm64 run-time from
# multiarch (libc6:arm64, libstdc++6:arm64, libmosquitto1:arm64 and what it
# needs), the way an arm64 Debian machine runs them: its loader is
# /lib/ld-linux-aarch64.so.1 and its libraries are in /usr/lib/<triple>, the
# paths the programs ask for, so QEMU's prefix is "/" (given, so that no
# built-in default prefix applies). The cross tree's run-time is for linking
# only: as prefix it would pair its own loader with multiarch's C library,
# which that loader finds first (a loader and a C library of different
# builds are not meant to work together).
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-aarch64;-L;/")

# Libraries, headers and CMake packages come from the target's tree only, so
# that nothing from the host's /usr/lib or /usr/include is ever linked or
# included by a find_*() call; build tools (programs) come from the host.
# Find modules for Debian's multiarch packages of the target, which are not
# in that tree, look in the target's multiarch directories explicitly
# (cmake/FindMosquitto.cmake).
set(CMAKE_FIND_ROOT_PATH "${THERMOMETRY_CROSS_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
