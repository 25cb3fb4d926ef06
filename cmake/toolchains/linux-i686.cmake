# 32-bit Linux build with Debian's multilib compilers. An x86-64 kernel with
# IA32 emulation runs its programs natively.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_SYSTEM_LIBRARY_PATH /usr/lib32 /usr/lib/i386-linux-gnu)

# The host's GoogleTest is 64-bit; build it from source for the target.
set(CMAKE_DISABLE_FIND_PACKAGE_GTest ON)
