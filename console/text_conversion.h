// Conversion of Windows-1251 texts into the character sets that terminals show.
#pragma once

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

// The Unicode character of one Windows-1251 byte; U+FFFD for the one unused byte.
char16_t UnicodeFromWindows1251(char byte);

// Converts `text` into `target`. Returns the size of the result in `out`, or
// nothing when `target` is kOther or has no code for one of the characters, or
// when `out` has less than kMaxBytesPerCharacter bytes for each byte of `text`.
std::optional<std::size_t> ConvertFromWindows1251(std::string_view text, Charset target,
                                                  std::span<char> out);
