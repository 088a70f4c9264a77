# Build for 32-bit x86 Linux with the system compiler's -m32 (g++-multilib),
# with the code generation of mingw-w64's i686 compiler: the Pentium Pro
# instruction set and x87 arithmetic for float, double and long double alike.
# The arithmetic suites built this way run on the x86-64 machine and show the
# figures the x86 DLL computes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -march=pentiumpro -mfpmath=387")
set(CMAKE_CXX_FLAGS_INIT "-m32 -march=pentiumpro -mfpmath=387")
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
