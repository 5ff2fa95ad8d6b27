// Every byte of Windows-1251 converted by the tables and by the C library's iconv.
#include <gtest/gtest.h>
#include <iconv.h>

#include <array>
#include <string>

#include "console/text_conversion.h"

namespace {

// The C library's opinion, or "<none>" where it has no exact conversion: for
// the byte that Windows-1251 leaves unused, 0x98, too.
std::string ConvertWithIconv(const std::string& text, const char* target) {
  const iconv_t converter = iconv_open(target, "CP1251");
  if (converter == reinterpret_cast<iconv_t>(-1)) return "<no converter>";
  std::array<char, 64> buffer{};
  char* in = const_cast<char*>(text.data());
  std::size_t in_left = text.size();
  char* out = buffer.data();
  std::size_t out_left = buffer.size();
  const std::size_t result = iconv(converter, &in, &in_left, &out, &out_left);
  iconv_close(converter);
  if (result != 0) return "<none>";
  return std::string(buffer.data(), buffer.size() - out_left);
}

TEST(Conversion, AgreesWithIconvOnEveryByte) {
  const std::pair<Charset, const char*> targets[] = {{Charset::kUtf8, "UTF-8"},
                                                     {Charset::kIbm866, "IBM866"},
                                                     {Charset::kKoi8R, "KOI8-R"},
                                                     {Charset::kWindows1251, "CP1251"},
                                                     {Charset::kIso8859_5, "ISO-8859-5"}};
  for (const auto& [charset, name] : targets) {
    int converted = 0;
    for (int byte = 1; byte < 256; ++byte) {
      const std::string text(1, static_cast<char>(byte));
      std::array<char, kMaxBytesPerCharacter> buffer{};
      const auto size = ConvertFromWindows1251(text, charset, buffer);
      const std::string ours = size ? std::string(buffer.data(), *size) : "<none>";
      EXPECT_EQ(ours, ConvertWithIconv(text, name)) << name << " byte " << byte;
      converted += size ? 1 : 0;
    }
    // Sanity: ASCII and all 66 Russian letters at the very least.
    EXPECT_GE(converted, 127 + 66) << name;
  }
}

}  // namespace
