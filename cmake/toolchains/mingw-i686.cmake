# 32-bit Windows: KestrixSPI.dll; its programs run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

if(EXISTS /usr/lib/wine/wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
endif()
