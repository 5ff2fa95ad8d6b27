# Cross-builds a Windows console program with Debian's MinGW-w64 for the
# processor that the including toolchain file names.
set(CMAKE_SYSTEM_NAME Windows)
set(triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
# The program is built for Windows threads, which need no library beside it;
# GoogleTest needs std::mutex, which only the compilers for POSIX threads have:
# -DPOLYMUL_MINGW_THREADS=posix for the unit tests. The C runtime is the same.
set(POLYMUL_MINGW_THREADS win32 CACHE STRING "MinGW-w64's thread model: win32 or posix")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES POLYMUL_MINGW_THREADS)
set(CMAKE_C_COMPILER ${triple}-gcc-${POLYMUL_MINGW_THREADS})  # GoogleTest asks for C too
set(CMAKE_CXX_COMPILER ${triple}-g++-${POLYMUL_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# One self-contained .exe: no libstdc++ or libgcc DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
