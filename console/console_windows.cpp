// The console on Windows: texts in the console's own characters, standard
// input, and the key from the console keyboard through _getch.
#include <windows.h>
// After windows.h, which they need.
#include <conio.h>
#include <io.h>

#include <array>
#include <iostream>
#include <optional>

#include "console/console.h"
#include "console/standard_input.h"
#include "console/text_conversion.h"

namespace {

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// The console behind one of the standard streams, if it writes to one.
HANDLE ConsoleOf(const std::ostream& out) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (&out == &std::cout) handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (&out == &std::cerr) handle = GetStdHandle(STD_ERROR_HANDLE);
  return handle != INVALID_HANDLE_VALUE && IsConsole(handle) ? handle
                                                             : INVALID_HANDLE_VALUE;
}

// Where bytes written to a file or a pipe are read; UTF-8 until chosen.
unsigned g_code_page = 65001;

std::array<wchar_t, ConsoleTextBufferSize> WideFromWindows1251(std::string_view text) {
  std::array<wchar_t, ConsoleTextBufferSize> wide{};
  for (std::size_t i = 0; i < text.size(); ++i) wide[i] = UnicodeFromWindows1251(text[i]);
  return wide;
}

// Code pages without a table of our own are the system's business.
std::optional<std::size_t> ConvertWithSystem(unsigned code_page, std::string_view text,
                                             std::span<char> out) {
  const auto wide = WideFromWindows1251(text);
  // No best fit: a look-alike Latin letter is garbage too. Code pages that
  // refuse these arguments, such as the stateful ones, fail here and get UTF-8.
  BOOL lost_a_character = FALSE;
  const int size = WideCharToMultiByte(
      code_page, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(text.size()),
      out.data(), static_cast<int>(out.size()), nullptr, &lost_a_character);
  if (size <= 0 || lost_a_character) return std::nullopt;
  return static_cast<std::size_t>(size);
}

}  // namespace

void ChooseTerminalCharset() {
  // In the console's code page when there is a console; without one, in the
  // OEM code page, as CharToOemA gives.
  const unsigned console = GetConsoleOutputCP();
  g_code_page = console != 0 ? console : GetOEMCP();
}

void PrintConsoleText(std::ostream& out, const MessageText& text) {
  if (const HANDLE console = ConsoleOf(out); console != INVALID_HANDLE_VALUE) {
    // A console shows UTF-16 right whatever its code page and its font's origin.
    const auto wide = WideFromWindows1251(text.view());
    out.flush();  // what the stream holds comes first
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(text.size), &written, nullptr);
    return;
  }
  std::array<char, ConsoleTextBufferSize * kMaxBytesPerCharacter> buffer;
  const Charset charset = CharsetFromCodePage(g_code_page);
  auto size = charset == Charset::kOther
                  ? ConvertWithSystem(g_code_page, text.view(), buffer)
                  : ConvertFromWindows1251(text.view(), charset, buffer);
  if (!size) size = ConvertFromWindows1251(text.view(), Charset::kUtf8, buffer);
  out.write(buffer.data(), static_cast<std::streamsize>(size.value_or(0)));
}

namespace {

// Drops the keys waiting in the console's own input (CONIN$), which _getch
// reads whatever standard input is.
void DropConsoleInput() {
  const HANDLE keyboard =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (keyboard == INVALID_HANDLE_VALUE) return;
  FlushConsoleInputBuffer(keyboard);
  CloseHandle(keyboard);
}

}  // namespace

void PrepareForKeyPress() {
  std::cout.flush();
  // Keys typed or pasted before the request are not the key: a window opened
  // by a double click would close before its result could be read.
  if (IsConsole(GetStdHandle(STD_OUTPUT_HANDLE))) DropConsoleInput();
}

void WaitForKeyPress(const MessageText&) {
  std::cout.flush();
  // Output that goes to a file or a pipe has no reader to wait for.
  if (!IsConsole(GetStdHandle(STD_OUTPUT_HANDLE))) return;
  _getch();
  // The rest of the key (an arrow's second code) or of a paste is not for
  // the shell that runs next.
  DropConsoleInput();
}

StandardInputStream::Buffer::int_type StandardInputStream::Buffer::underflow() {
  if (ended_) return traits_type::eof();
  // The runtime's text mode, as the standard streams read: CR LF becomes LF.
  const int got = _read(0, bytes_.data(), static_cast<unsigned>(bytes_.size()));
  if (got > 0) return Deliver(static_cast<std::size_t>(got));
  return NoMore(got < 0);
}

bool InputEchoedWithOutput() {
  return IsConsole(GetStdHandle(STD_INPUT_HANDLE)) &&
         IsConsole(GetStdHandle(STD_OUTPUT_HANDLE));
}

// Console output is never left waiting by another program, as a POSIX
// terminal can be: the runtime's own streams serve.
std::ostream& StandardOutput() { return std::cout; }
std::ostream& StandardError() { return std::cerr; }
