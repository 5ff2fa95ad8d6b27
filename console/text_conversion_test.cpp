// Conversion of the Windows-1251 texts, checked against code points known by heart.
#include "console/text_conversion.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <sstream>
#include <string>

#include "console/console.h"
#include "console/message_text.h"

namespace {

std::string Convert(std::string_view text, Charset target) {
  std::array<char, ConsoleTextBufferSize * kMaxBytesPerCharacter> buffer{};
  const auto size = ConvertFromWindows1251(text, target, buffer);
  return size ? std::string(buffer.data(), *size) : "<none>";
}

TEST(MessageText, IsStoredInWindows1251AtCompileTime) {
  constexpr MessageText word = Cp1251Text(u8"Программа");
  EXPECT_EQ(word.view(), "\xCF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE0");
  constexpr MessageText mixed = Cp1251Text(u8"Ёж ёж p3 = [ №");
  EXPECT_EQ(mixed.view(), "\xA8\xE6 \xB8\xE6 p3 = [ \xB9");
  EXPECT_EQ(Cp1251Text(u8"").size, 0u);
  // The longest text that fits its buffer with the terminating zero.
  constexpr MessageText longest = Cp1251Text(
      u8"ЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯ"
      u8"ЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯЯ");
  EXPECT_EQ(longest.size, ConsoleTextBufferSize - 1);
}

TEST(Conversion, FirstTextBecomesCodePage866ByteForByte) {
  constexpr MessageText text =
      Cp1251Text(u8"Программа демонстрирует умножение полиномов");
  const std::string converted = Convert(text.view(), Charset::kIbm866);
  ASSERT_EQ(converted.size(), 43u);
  EXPECT_EQ(converted.substr(0, 10), "\x8F\xE0\xAE\xA3\xE0\xA0\xAC\xAC\xA0 ");
  for (std::size_t i = 0; i < converted.size(); ++i) {
    EXPECT_EQ(converted[i] == ' ', text.view()[i] == ' ') << "at " << i;
  }
}

// Each alphabet laid out as its character set orders it, from Unicode's order.
TEST(Conversion, EveryRussianLetterReachesEachCharset) {
  for (int letter = 0; letter < 32; ++letter) {
    const char upper = static_cast<char>(0xC0 + letter);  // А..Я in Windows-1251
    const char lower = static_cast<char>(0xE0 + letter);  // а..я
    const std::string both{upper, lower};
    const auto ibm866_lower = letter < 16 ? 0xA0 + letter : 0xE0 + letter - 16;
    EXPECT_EQ(
        Convert(both, Charset::kIbm866),
        std::string({static_cast<char>(0x80 + letter), static_cast<char>(ibm866_lower)}));
    EXPECT_EQ(Convert(both, Charset::kIso8859_5),
              std::string(
                  {static_cast<char>(0xB0 + letter), static_cast<char>(0xD0 + letter)}));
    EXPECT_EQ(Convert(both, Charset::kWindows1251), both);
    const char16_t upper_code = static_cast<char16_t>(0x0410 + letter);
    const char16_t lower_code = static_cast<char16_t>(0x0430 + letter);
    EXPECT_EQ(Convert(both, Charset::kUtf8),
              std::string({static_cast<char>(0xC0 | (upper_code >> 6)),
                           static_cast<char>(0x80 | (upper_code & 0x3F)),
                           static_cast<char>(0xC0 | (lower_code >> 6)),
                           static_cast<char>(0x80 | (lower_code & 0x3F))}));
  }
  // KOI8-R follows the Latin transliteration, not the alphabet.
  constexpr MessageText alphabet = Cp1251Text(u8"абвгдежзийклмнопрстуфхцчшщъыьэюя");
  EXPECT_EQ(Convert(alphabet.view(), Charset::kKoi8R),
            "\xC1\xC2\xD7\xC7\xC4\xC5\xD6\xDA\xC9\xCA\xCB\xCC\xCD\xCE\xCF\xD0"
            "\xD2\xD3\xD4\xD5\xC6\xC8\xC3\xDE\xDB\xDD\xDF\xD9\xD8\xDC\xC0\xD1");
  constexpr MessageText capitals = Cp1251Text(u8"АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ");
  std::string koi8r_capitals = Convert(alphabet.view(), Charset::kKoi8R);
  for (char& c : koi8r_capitals) c = static_cast<char>(c + 0x20);
  EXPECT_EQ(Convert(capitals.view(), Charset::kKoi8R), koi8r_capitals);

  constexpr MessageText yo = Cp1251Text(u8"Ёё");
  EXPECT_EQ(Convert(yo.view(), Charset::kIbm866), "\xF0\xF1");
  EXPECT_EQ(Convert(yo.view(), Charset::kKoi8R), "\xB3\xA3");
  EXPECT_EQ(Convert(yo.view(), Charset::kIso8859_5), "\xA1\xF1");
  EXPECT_EQ(Convert(yo.view(), Charset::kUtf8), "\xD0\x81\xD1\x91");
}

TEST(Conversion, AsciiAndEmptyTextsPassUnchanged) {
  const std::string ascii = "p1()= [ 1e+07 ] \t~";
  for (const Charset target : {Charset::kUtf8, Charset::kIbm866, Charset::kKoi8R,
                               Charset::kWindows1251, Charset::kIso8859_5}) {
    EXPECT_EQ(Convert(ascii, target), ascii);
    EXPECT_EQ(Convert("", target), "");
  }
}

TEST(Conversion, RefusesWhatItCannotWriteExactly) {
  constexpr MessageText euro = Cp1251Text(u8"5 €");
  EXPECT_EQ(Convert(euro.view(), Charset::kKoi8R), "<none>");
  EXPECT_EQ(Convert(euro.view(), Charset::kIbm866), "<none>");
  EXPECT_EQ(Convert(euro.view(), Charset::kUtf8), "5 \xE2\x82\xAC");
  EXPECT_EQ(Convert("abc", Charset::kOther), "<none>");

  std::array<char, 11> small{};  // less than kMaxBytesPerCharacter for each byte
  EXPECT_FALSE(ConvertFromWindows1251("abc", Charset::kKoi8R, small));
  std::array<char, 12> enough{};
  EXPECT_EQ(ConvertFromWindows1251("abc", Charset::kKoi8R, enough), 3u);
}

// The one byte that Windows-1251 leaves unused has no character in any charset:
// every path refuses it alike, and PrintConsoleText writes nothing of its text.
TEST(Conversion, RefusesTheUnusedByteEverywhere) {
  EXPECT_EQ(UnicodeFromWindows1251('\x98'), std::nullopt);
  EXPECT_EQ(UnicodeFromWindows1251('\x99'), u'\u2122');
  for (const Charset target : {Charset::kUtf8, Charset::kIbm866, Charset::kKoi8R,
                               Charset::kWindows1251, Charset::kIso8859_5}) {
    EXPECT_EQ(Convert("\x98", target), "<none>");
    EXPECT_EQ(Convert("a\x98", target), "<none>");
  }

  MessageText unused = Cp1251Text(u8"Ошибка: ");
  unused.bytes[unused.size++] = '\x98';
  std::ostringstream out;
  PrintConsoleText(out, unused);
  EXPECT_TRUE(out.bad());
  EXPECT_EQ(out.str(), "");
}

// Where the system converts, a charset serves only if it keeps ASCII as ASCII
// and has every Russian letter.
TEST(Charsets, FromTheSystemServeOnlyWithAsciiAndEveryLetter) {
  const auto system = [](auto change) {
    return ServesTheWholeRun(
        [&](std::string_view text, std::span<char> out) { return change(text, out); });
  };
  const auto exact = [](std::string_view text, std::span<char> out) {
    return ConvertFromWindows1251(text, Charset::kIbm866, out);
  };
  EXPECT_TRUE(system(exact));
  // One ASCII character changed, as an EBCDIC or a national ISO 646 set does.
  EXPECT_FALSE(system([&](std::string_view text, std::span<char> out) {
    auto size = exact(text, out);
    for (char& c : out.first(size.value_or(0))) c = c == '~' ? '\xAF' : c;
    return size;
  }));
  // A line end that becomes CR LF.
  EXPECT_FALSE(system([&](std::string_view text, std::span<char> out) {
    auto size = exact(text, out);
    if (size && *size > 0 && out[*size - 1] == '\n') {
      out[*size - 1] = '\r';
      out[(*size)++] = '\n';
    }
    return size;
  }));
  // A shift back at the end of each text, as stateful charsets write.
  EXPECT_FALSE(system([&](std::string_view text, std::span<char> out) {
    auto size = exact(text, out);
    if (size) out[(*size)++] = '\x0F';
    return size;
  }));
  // One Russian letter lacking.
  EXPECT_FALSE(system([&](std::string_view text, std::span<char> out) {
    return text.find('\xB8') == text.npos ? exact(text, out) : std::nullopt;
  }));
  EXPECT_FALSE(system([&](std::string_view text, std::span<char> out) {
    return text.find('\xFF') == text.npos ? exact(text, out) : std::nullopt;
  }));
  // ASCII refused outright.
  EXPECT_FALSE(system([&](std::string_view text, std::span<char> out) {
    return text.find('A') == text.npos ? exact(text, out) : std::nullopt;
  }));
}

TEST(Charsets, AreKnownByTheirUsualNames) {
  EXPECT_EQ(CharsetFromName("UTF-8"), Charset::kUtf8);
  EXPECT_EQ(CharsetFromName("utf8"), Charset::kUtf8);
  EXPECT_EQ(CharsetFromName("IBM866"), Charset::kIbm866);
  EXPECT_EQ(CharsetFromName("cp866"), Charset::kIbm866);
  EXPECT_EQ(CharsetFromName("KOI8-R"), Charset::kKoi8R);
  EXPECT_EQ(CharsetFromName("koi8r"), Charset::kKoi8R);
  EXPECT_EQ(CharsetFromName("CP1251"), Charset::kWindows1251);
  EXPECT_EQ(CharsetFromName("windows-1251"), Charset::kWindows1251);
  EXPECT_EQ(CharsetFromName("ISO-8859-5"), Charset::kIso8859_5);
  EXPECT_EQ(CharsetFromName("iso88595"), Charset::kIso8859_5);
  EXPECT_EQ(CharsetFromName("KOI8-U"), Charset::kOther);
  EXPECT_EQ(CharsetFromName("ISO-8859-15"), Charset::kOther);
  EXPECT_EQ(CharsetFromName(""), Charset::kOther);
  EXPECT_EQ(CharsetFromName("a-name-much-longer-than-any-charset"), Charset::kOther);

  EXPECT_EQ(CharsetFromCodePage(866), Charset::kIbm866);
  EXPECT_EQ(CharsetFromCodePage(1251), Charset::kWindows1251);
  EXPECT_EQ(CharsetFromCodePage(20866), Charset::kKoi8R);
  EXPECT_EQ(CharsetFromCodePage(28595), Charset::kIso8859_5);
  EXPECT_EQ(CharsetFromCodePage(65001), Charset::kUtf8);
  EXPECT_EQ(CharsetFromCodePage(437), Charset::kOther);
}

}  // namespace
