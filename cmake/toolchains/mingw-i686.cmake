# 32-bit Windows: KestrixSPI.dll. No emulator here; its programs only build.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
