# Build for 64-bit ARM Linux on an x86-64 Debian machine: clang targeting
# aarch64-linux-gnu, the target's GNU binutils and GCC runtime, and the arm64
# multiarch libraries below /usr (scripts/aarch64.sh installs them). Debian's
# aarch64 g++ cannot be installed beside the g++-multilib of the 32-bit x86
# test program, clang can. Programs the build runs itself (the test listing)
# run under qemu's user-mode emulator, which finds the arm64 loader in /lib.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
