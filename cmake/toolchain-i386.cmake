# 32-bit Linux (i386) with the host's g++ and Debian's multilib runtime: the
# data model of the Windows DLL (4-byte pointers, size_t and long). The
# programs link statically, so qemu-i386 runs them without an i386 sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
# Tests that need what a static program lacks (shared libraries loaded
# beside it; newlocale, which static glibc answers with the ASCII code set
# whatever the locale) leave those parts out.
set(CORVANE_STATIC_PROGRAMS ON)
