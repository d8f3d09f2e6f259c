# SPDX-License-Identifier: Apache-2.0
# Cross build for the board (aarch64 Linux) with Debian's cross compiler and the arm64
# libraries of Debian's multiarch (dpkg --add-architecture arm64; libjsoncpp-dev:arm64,
# libgtest-dev:arm64). Tests run under qemu user emulation (qemu-user-static).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Multiarch: the arm64 libraries and their CMake and pkg-config files sit beside the
# machine's own under /usr/lib/aarch64-linux-gnu; headers are shared in /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config must see only the arm64 .pc files, never the machine's own.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Test programs (ctest, test discovery, and the programs that tests start) run through
# the emulator. It takes the dynamic loader and the libraries from multiarch (libc6:arm64
# comes with the arm64 jsoncpp), as the board does. No -L /usr/aarch64-linux-gnu: its
# loader belongs to another glibc build than the multiarch libc.so.6 that it then finds,
# and threads hang.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)
