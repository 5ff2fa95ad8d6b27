# Cross-builds the 64-bit Windows console program with MinGW-w64 from Debian.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
