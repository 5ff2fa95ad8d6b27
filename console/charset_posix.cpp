// The terminal's character set on POSIX systems, as the locale names it, and
// the texts written in it.
#include <iconv.h>
#include <langinfo.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string_view>

#include "console/console.h"
#include "console/text_conversion.h"

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

struct TerminalCharset {
  Charset charset = Charset::kUtf8;
  iconv_t converter = kNoConverter;  // for Charset::kOther only
};

// The character set part of a locale name such as ru_RU.KOI8-R@euro.
std::string_view CodesetOfLocaleName(std::string_view locale) {
  const auto dot = locale.find('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view codeset = locale.substr(dot + 1);
  return codeset.substr(0, codeset.find('@'));
}

bool IsPlainAscii(std::string_view codeset) {
  return codeset == "ANSI_X3.4-1968" || codeset == "US-ASCII" || codeset == "ASCII";
}

// The codeset of the LC_CTYPE locale that the program set up, or of the one it
// asked for.
std::string_view TerminalCharsetName() {
  const std::string_view in_force = nl_langinfo(CODESET);
  if (!in_force.empty() && !IsPlainAscii(in_force)) return in_force;
  // A locale that is not installed still tells which characters the terminal
  // shows, and no terminal in use today shows bare ASCII: read the variable the
  // C library would have obeyed, and take UTF-8 when it names no character set.
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') {
      const std::string_view codeset = CodesetOfLocaleName(value);
      return codeset.empty() || IsPlainAscii(codeset) ? "UTF-8" : codeset;
    }
  }
  return "UTF-8";
}

std::optional<std::size_t> ConvertWithSystem(iconv_t converter, std::string_view text,
                                             std::span<char> out) {
  char* in = const_cast<char*>(text.data());  // iconv's signature, not a write
  std::size_t in_left = text.size();
  char* at = out.data();
  std::size_t out_left = out.size();
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  // Anything but an exact conversion (a substitute, a failure) is garbage on screen.
  if (iconv(converter, &in, &in_left, &at, &out_left) != 0 ||
      iconv(converter, nullptr, nullptr, &at, &out_left) != 0) {
    return std::nullopt;
  }
  return out.size() - out_left;
}

TerminalCharset FindTerminalCharset() {
  const std::string_view name = TerminalCharsetName();
  TerminalCharset terminal{CharsetFromName(name)};
  if (terminal.charset != Charset::kOther) return terminal;

  // The rarer character sets are the system converter's business.
  std::array<char, 64> zero_terminated{};
  if (name.size() < zero_terminated.size()) {
    name.copy(zero_terminated.data(), name.size());
    terminal.converter = iconv_open(zero_terminated.data(), "CP1251");
  }
  const auto convert = [&terminal](std::string_view text, std::span<char> out) {
    return ConvertWithSystem(terminal.converter, text, out);
  };
  if (terminal.converter != kNoConverter && !ServesTheWholeRun(convert)) {
    iconv_close(terminal.converter);
    terminal.converter = kNoConverter;
  }
  if (terminal.converter == kNoConverter) terminal.charset = Charset::kUtf8;
  return terminal;
}

TerminalCharset g_terminal;

}  // namespace

// Called once, as the program starts: the converter serves the whole run and
// is never closed.
void ChooseTerminalCharset() { g_terminal = FindTerminalCharset(); }

void PrintConsoleText(std::ostream& out, const MessageText& text) {
  std::array<char, ConsoleTextBufferSize * kMaxBytesPerCharacter> buffer;
  // The charset was chosen for having every character of the texts: only a
  // text that holds the unused byte 0x98 is refused, and not written.
  const auto size = g_terminal.charset == Charset::kOther
                        ? ConvertWithSystem(g_terminal.converter, text.view(), buffer)
                        : ConvertFromWindows1251(text.view(), g_terminal.charset, buffer);
  if (!size) {
    out.setstate(std::ios::badbit);
    return;
  }
  out.write(buffer.data(), static_cast<std::streamsize>(*size));
}
