// The texts on Windows: UTF-16 to a console, whatever its code page; to a file
// or a pipe, the console's code page, chosen once for the whole run.
#include <windows.h>

#include <array>
#include <iostream>
#include <optional>
#include <span>
#include <string_view>

#include "console/console.h"
#include "console/console_windows.h"
#include "console/text_conversion.h"

namespace {

// The console behind one of the standard streams, if it writes to one.
HANDLE ConsoleOf(const std::ostream& out) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (&out == &std::cout) handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (&out == &std::cerr) handle = GetStdHandle(STD_ERROR_HANDLE);
  return handle != INVALID_HANDLE_VALUE && IsConsole(handle) ? handle
                                                             : INVALID_HANDLE_VALUE;
}

using WideText = std::array<wchar_t, ConsoleTextBufferSize>;

// The text in UTF-16, or nothing where it holds the unused byte 0x98.
std::optional<std::size_t> WideFromWindows1251(std::string_view text, WideText& wide) {
  if (text.size() > wide.size()) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto character = UnicodeFromWindows1251(text[i]);
    if (!character) return std::nullopt;
    wide[i] = static_cast<wchar_t>(*character);
  }
  return text.size();
}

// Code pages without a table of our own are the system's business.
std::optional<std::size_t> ConvertWithSystem(unsigned code_page, std::string_view text,
                                             std::span<char> out) {
  WideText wide;
  const auto size = WideFromWindows1251(text, wide);
  if (!size) return std::nullopt;
  if (*size == 0) return 0;  // which WideCharToMultiByte takes for a mistake
  // No best fit: a look-alike Latin letter is garbage too. Code pages that
  // refuse these arguments, such as UTF-7 and the stateful ones, fail here.
  BOOL lost_a_character = FALSE;
  const int converted = WideCharToMultiByte(
      code_page, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(*size), out.data(),
      static_cast<int>(out.size()), nullptr, &lost_a_character);
  if (converted <= 0 || lost_a_character) return std::nullopt;
  return static_cast<std::size_t>(converted);
}

// Where bytes written to a file or a pipe are read; UTF-8 until chosen.
struct OutputCharset {
  Charset charset = Charset::kUtf8;
  unsigned code_page = CP_UTF8;  // for Charset::kOther
};
OutputCharset g_output;

}  // namespace

void ChooseTerminalCharset() {
  // In the console's code page when there is a console; without one, in the
  // OEM code page, as CharToOemA gives.
  const unsigned console = GetConsoleOutputCP();
  const unsigned code_page = console != 0 ? console : GetOEMCP();
  const Charset charset = CharsetFromCodePage(code_page);
  const auto convert = [code_page](std::string_view text, std::span<char> out) {
    return ConvertWithSystem(code_page, text, out);
  };
  // As on POSIX systems: one that loses ASCII or a Russian letter gets UTF-8
  // for the whole run, not text by text beside numbers in its own bytes.
  const bool serves = charset != Charset::kOther || ServesTheWholeRun(convert);
  g_output = serves ? OutputCharset{charset, code_page} : OutputCharset{};
}

// Only a text that holds the unused byte 0x98 is refused, and not written:
// the code page was chosen for having every character of the texts.
void PrintConsoleText(std::ostream& out, const MessageText& text) {
  if (const HANDLE console = ConsoleOf(out); console != INVALID_HANDLE_VALUE) {
    WideText wide;
    const auto size = WideFromWindows1251(text.view(), wide);
    if (!out.flush()) return;  // what the stream holds comes first
    // As a failed write to a file does, a failed or short one to the console
    // ends the program with status 2.
    DWORD written = 0;
    if (!size ||
        !WriteConsoleW(console, wide.data(), static_cast<DWORD>(*size), &written,
                       nullptr) ||
        written != *size) {
      out.setstate(std::ios::badbit);
    }
    return;
  }
  std::array<char, ConsoleTextBufferSize * kMaxBytesPerCharacter> buffer;
  const auto size = g_output.charset == Charset::kOther
                        ? ConvertWithSystem(g_output.code_page, text.view(), buffer)
                        : ConvertFromWindows1251(text.view(), g_output.charset, buffer);
  if (!size) {
    out.setstate(std::ios::badbit);
    return;
  }
  out.write(buffer.data(), static_cast<std::streamsize>(*size));
}
