// A message text: Russian written in the source as UTF-8, stored as Windows-1251.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "console/code_pages.h"

// Bytes a message text may take in storage, its terminating zero included.
inline constexpr std::size_t ConsoleTextBufferSize = 100;

struct MessageText {
  std::array<char, ConsoleTextBufferSize> bytes{};
  std::size_t size = 0;

  constexpr std::string_view view() const { return {bytes.data(), size}; }
};

namespace message_text_detail {
// Never defined as constexpr: a call reached during constant evaluation stops the
// compilation, and its name says why.
void TextIsNotValidUtf8();
void TextHasACharacterWithoutWindows1251Code();
void TextIsLongerThanConsoleTextBufferSize();
}  // namespace message_text_detail

// Encodes a UTF-8 literal as Windows-1251 while compiling, so that the source
// shows readable Russian and the program holds the bytes the texts are kept in.
// It never stores 0x98, the one byte Windows-1251 leaves unused, which every
// conversion refuses (console/text_conversion.h).
template <std::size_t N>
consteval MessageText Cp1251Text(const char8_t (&utf8)[N]) {
  using namespace message_text_detail;
  MessageText text;
  std::size_t at = 0;
  while (at + 1 < N) {  // the literal's own terminating zero is not text
    const auto lead = static_cast<unsigned char>(utf8[at]);
    char32_t character = lead;
    std::size_t continuation = 0;
    if (lead >= 0xE0 && lead < 0xF0) {
      character = lead & 0x0Fu;
      continuation = 2;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      character = lead & 0x1Fu;
      continuation = 1;
    } else if (lead >= 0x80 || lead == 0) {
      TextIsNotValidUtf8();
    }
    for (++at; continuation > 0; --continuation, ++at) {
      const auto next = static_cast<unsigned char>(utf8[at]);
      if (at + 1 >= N || (next & 0xC0u) != 0x80u) TextIsNotValidUtf8();
      character = (character << 6) | (next & 0x3Fu);
    }
    char stored = static_cast<char>(character);
    if (character >= 0x80) {
      stored =
          static_cast<char>(code_pages::FindByte(code_pages::kWindows1251, character));
      if (stored == 0) TextHasACharacterWithoutWindows1251Code();
    }
    if (text.size + 1 >= ConsoleTextBufferSize) TextIsLongerThanConsoleTextBufferSize();
    text.bytes[text.size++] = stored;
  }
  return text;
}
