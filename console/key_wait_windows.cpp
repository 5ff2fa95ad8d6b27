// The key wait on Windows: one key from the console's own input through
// _getch, whatever standard input is, with what was typed before the request
// and what follows the key dropped as on POSIX systems.
#include <windows.h>
// After windows.h, which it needs.
#include <conio.h>

#include <algorithm>
#include <iostream>

#include "console/console.h"
#include "console/console_windows.h"

namespace {

// Drops what the console's own input (CONIN$, which _getch reads whatever
// standard input is) holds until it has been quiet for a tenth of a second: a
// paste still arriving, or the rest of a key, would otherwise be taken for
// the key or reach the shell as typed text. For a second at most: steady
// input (a held key) must not keep the program from going on.
void DropConsoleInputUntilQuiet() {
  constexpr ULONGLONG kQuietMilliseconds = 100;
  constexpr ULONGLONG kLongestMilliseconds = 1000;
  const HANDLE keyboard =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (keyboard == INVALID_HANDLE_VALUE) return;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    FlushConsoleInputBuffer(keyboard);
    const ULONGLONG spent = GetTickCount64() - start;
    if (spent >= kLongestMilliseconds) break;
    // The handle is signalled while the console holds input.
    const auto quiet =
        static_cast<DWORD>(std::min(kQuietMilliseconds, kLongestMilliseconds - spent));
    if (WaitForSingleObject(keyboard, quiet) != WAIT_OBJECT_0) break;
  }
  CloseHandle(keyboard);
}

}  // namespace

void EndOnSignalsEvenAsFirstProcess() {}

void PrepareForKeyPress(const MessageText&) {
  std::cout.flush();
  // Keys typed or pasted before the request are not the key: a window opened
  // by a double click would close before its result could be read.
  if (IsConsole(GetStdHandle(STD_OUTPUT_HANDLE))) DropConsoleInputUntilQuiet();
}

void WaitForKeyPress() {
  std::cout.flush();
  // Output that goes to a file or a pipe has no reader to wait for.
  if (!IsConsole(GetStdHandle(STD_OUTPUT_HANDLE))) return;
  _getch();
  // The rest of the key (an arrow's second code) or of a paste is not for
  // the shell that runs next.
  DropConsoleInputUntilQuiet();
}
