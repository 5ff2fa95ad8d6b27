// Table-driven conversion of Windows-1251 texts, the same on every platform.
#include "console/text_conversion.h"

#include <array>
#include <cctype>

#include "console/code_pages.h"

namespace {

// For each byte of Windows-1251's upper half, its byte in `target`, or 0.
consteval std::array<unsigned char, 128> TableFromWindows1251(
    const code_pages::UpperHalf& target) {
  std::array<unsigned char, 128> table{};
  for (std::size_t index = 0; index < table.size(); ++index) {
    table[index] = code_pages::FindByte(target, code_pages::kWindows1251[index]);
  }
  return table;
}

constexpr auto kToIbm866 = TableFromWindows1251(code_pages::kIbm866);
constexpr auto kToKoi8R = TableFromWindows1251(code_pages::kKoi8R);
constexpr auto kToIso8859_5 = TableFromWindows1251(code_pages::kIso8859_5);
constexpr auto kToWindows1251 = TableFromWindows1251(code_pages::kWindows1251);

const std::array<unsigned char, 128>& SingleByteTable(Charset target) {
  switch (target) {
    case Charset::kIbm866:
      return kToIbm866;
    case Charset::kKoi8R:
      return kToKoi8R;
    case Charset::kIso8859_5:
      return kToIso8859_5;
    default:
      return kToWindows1251;
  }
}

std::size_t EncodeUtf8(char16_t character, char* out) {
  if (character < 0x80) {
    out[0] = static_cast<char>(character);
    return 1;
  }
  if (character < 0x800) {
    out[0] = static_cast<char>(0xC0 | (character >> 6));
    out[1] = static_cast<char>(0x80 | (character & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (character >> 12));
  out[1] = static_cast<char>(0x80 | ((character >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (character & 0x3F));
  return 3;
}

}  // namespace

Charset CharsetFromName(std::string_view name) {
  // Folded names: lower case, without the separators that spellings disagree on.
  std::array<char, 16> folded{};
  std::size_t size = 0;
  for (const char c : name) {
    if (c == '-' || c == '_') continue;
    if (size == folded.size()) return Charset::kOther;
    folded[size++] = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const std::string_view key(folded.data(), size);
  if (key == "utf8") return Charset::kUtf8;
  if (key == "ibm866" || key == "cp866" || key == "866") return Charset::kIbm866;
  if (key == "koi8r") return Charset::kKoi8R;
  if (key == "cp1251" || key == "windows1251") return Charset::kWindows1251;
  if (key == "iso88595" || key == "cyrillic") return Charset::kIso8859_5;
  return Charset::kOther;
}

Charset CharsetFromCodePage(unsigned code_page) {
  switch (code_page) {
    case 65001:
      return Charset::kUtf8;
    case 866:
      return Charset::kIbm866;
    case 20866:
      return Charset::kKoi8R;
    case 1251:
      return Charset::kWindows1251;
    case 28595:
      return Charset::kIso8859_5;
    default:
      return Charset::kOther;
  }
}

std::optional<char16_t> UnicodeFromWindows1251(char byte) {
  const auto code = static_cast<unsigned char>(byte);
  if (code < 0x80) return code;
  const char16_t character = code_pages::kWindows1251[code - 0x80u];
  if (character == 0) return std::nullopt;
  return character;
}

std::optional<std::size_t> ConvertFromWindows1251(std::string_view text, Charset target,
                                                  std::span<char> out) {
  if (target == Charset::kOther || out.size() < text.size() * kMaxBytesPerCharacter) {
    return std::nullopt;
  }
  std::size_t size = 0;
  if (target == Charset::kUtf8) {
    for (const char byte : text) {
      const auto character = UnicodeFromWindows1251(byte);
      if (!character) return std::nullopt;
      size += EncodeUtf8(*character, &out[size]);
    }
    return size;
  }
  const auto& table = SingleByteTable(target);
  for (const char byte : text) {
    const auto code = static_cast<unsigned char>(byte);
    const unsigned char converted = code < 0x80 ? code : table[code - 0x80u];
    if (converted == 0 && code != 0) return std::nullopt;
    out[size++] = static_cast<char>(converted);
  }
  return size;
}
