// What the Windows console files share: telling a console from a file or a pipe.
#pragma once

#include <windows.h>

inline bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}
