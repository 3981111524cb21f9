# Cross-builds pelorim.exe for 32-bit Windows with mingw-w64 (the build that
# loads a 32-bit Java runtime's jvm.dll).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELORIM_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
