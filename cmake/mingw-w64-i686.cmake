# Cross-builds the 32-bit Windows console program with MinGW-w64 from Debian.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
