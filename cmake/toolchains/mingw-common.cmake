# Shared part of the mingw-w64 cross builds; the including file sets
# CMAKE_SYSTEM_PROCESSOR. Debian's posix thread model is the one whose
# C++ runtime has std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(KESTRIX_MINGW_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${KESTRIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRIX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime, libgcc and winpthread go into each binary, so the DLL and
# the test programs import nothing but system DLLs.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# GoogleTest is built from source for the target.
set(CMAKE_DISABLE_FIND_PACKAGE_GTest ON)
