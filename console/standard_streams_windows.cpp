// Standard input, output and error on Windows: the C runtime's, in its text
// mode, as every Windows program's text is.
#include <windows.h>
// After windows.h, which it needs.
#include <io.h>

#include <iostream>

#include "console/console.h"
#include "console/standard_input.h"

StandardInputStream::Buffer::int_type StandardInputStream::Buffer::underflow() {
  if (ended_) return traits_type::eof();
  // The runtime's text mode, as the standard streams read: CR LF becomes LF.
  const int got = _read(0, bytes_.data(), static_cast<unsigned>(bytes_.size()));
  if (got > 0) return Deliver(static_cast<std::size_t>(got));
  return NoMore(got < 0);
}

// The console echoes a line as it is read, after the prompt even when it was
// typed ahead, and its Enter leaves the cursor at the start of a line. Where
// anything was written since (the rest of a line read before later prompts),
// or the input comes from elsewhere and is not echoed, the cursor stands after
// the prompt: the cursor tells, once the output is flushed.
bool InputEchoedWithOutput() {
  CONSOLE_SCREEN_BUFFER_INFO screen;
  return std::cout.flush() &&
         GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &screen) != 0 &&
         screen.dwCursorPosition.X == 0;
}

// Console output is never left waiting by another program, as a POSIX
// terminal can be: the runtime's own streams serve.
std::ostream& StandardOutput() { return std::cout; }
std::ostream& StandardError() { return std::cerr; }
