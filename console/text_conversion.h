// Conversion of Windows-1251 texts into the character sets that terminals show.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

// The character sets converted to by table; any other is left to the system.
enum class Charset { kUtf8, kIbm866, kKoi8R, kWindows1251, kIso8859_5, kOther };

// The most bytes one Windows-1251 character takes in any character set a
// terminal may use: three in UTF-8, four in GB 18030.
inline constexpr std::size_t kMaxBytesPerCharacter = 4;

// Recognises a character set by one of the names that locales, environment
// variables and iconv give it, in any case and with or without - and _.
Charset CharsetFromName(std::string_view name);

// Recognises a character set by its Windows code page number.
Charset CharsetFromCodePage(unsigned code_page);

// Every conversion here, by table or by the system, refuses a text that holds
// the one byte Windows-1251 leaves unused, 0x98, as it refuses a character its
// target lacks: no charset has a character for it, and writing a substitute
// would put garbage on screen. Cp1251Text never stores that byte; only a
// MessageText made by hand can hold it.

// The Unicode character of one Windows-1251 byte; nothing for 0x98.
std::optional<char16_t> UnicodeFromWindows1251(char byte);

// Converts `text` into `target`. Returns the size of the result in `out`, or
// nothing when `target` is kOther or has no code for one of the characters, or
// when `out` has less than kMaxBytesPerCharacter bytes for each byte of `text`.
std::optional<std::size_t> ConvertFromWindows1251(std::string_view text, Charset target,
                                                  std::span<char> out);

namespace text_conversion_detail {

// Printable ASCII and the line end, as numbers and prompts are written unconverted.
consteval std::array<char, 0x7F - 0x20 + 1> AsciiWrittenAsItIs() {
  std::array<char, 0x7F - 0x20 + 1> ascii{};
  for (std::size_t i = 0; i + 1 < ascii.size(); ++i)
    ascii[i] = static_cast<char>(0x20 + i);
  ascii.back() = '\n';
  return ascii;
}

// Ё and ё, then А to я, in Windows-1251.
consteval std::array<char, 66> RussianLetters() {
  std::array<char, 66> letters{'\xA8', '\xB8'};
  for (std::size_t i = 2; i < letters.size(); ++i)
    letters[i] = static_cast<char>(0xC0 + i - 2);
  return letters;
}

}  // namespace text_conversion_detail

// Whether a charset that the system converts to serves the whole run, given
// `convert(text, out)`, the system's exact conversion of a Windows-1251 text
// into `out` (its size, or nothing). Numbers, blanks, brackets, "p1()= " and
// line ends are written as they are, unconverted, and the texts hold Russian
// letters and ASCII: a charset serves only where ASCII stays ASCII and every
// Russian letter has a code, so that the whole run is in one charset (not
// UTF-16, UTF-7, EBCDIC or KOI-7, say). One that does not gets UTF-8 for the
// whole run, on every platform alike.
template <typename Convert>
bool ServesTheWholeRun(Convert convert) {
  static constexpr auto kAscii = text_conversion_detail::AsciiWrittenAsItIs();
  static constexpr auto kLetters = text_conversion_detail::RussianLetters();
  std::array<char, std::max(kAscii.size(), kLetters.size()) * kMaxBytesPerCharacter>
      out{};
  const std::string_view ascii(kAscii.data(), kAscii.size());
  return convert(ascii, std::span<char>(out)) == ascii.size() &&
         std::string_view(out.data(), ascii.size()) == ascii &&
         convert(std::string_view(kLetters.data(), kLetters.size()),
                 std::span<char>(out));
}
