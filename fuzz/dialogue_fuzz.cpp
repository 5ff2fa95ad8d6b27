// libFuzzer target: the whole dialogue, in-process, on arbitrary standard input,
// and the number reader against strtof on the first token of the same bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "dialogue/dialogue.h"
#include "dialogue/number_reader.h"

namespace {

// Reads the fuzzer's bytes where they lie.
class BytesBuffer : public std::streambuf {
 public:
  BytesBuffer(const std::uint8_t* data, std::size_t size) {
    char* begin = reinterpret_cast<char*>(const_cast<std::uint8_t*>(data));
    setg(begin, begin, begin + size);
  }
};

// Counts what the dialogue writes, and keeps none of it.
class CountingBuffer : public std::streambuf {
 public:
  std::size_t count = 0;

 protected:
  int_type overflow(int_type c) override {
    ++count;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    count += static_cast<std::size_t>(n);
    return n;
  }
};

// Where strtof reads the whole token, the reader must give the same float, or
// call it out of range where strtof gives infinity; elsewhere it must refuse
// it. Hexadecimal, infinity and NaN are refused on purpose.
void CompareFirstNumberWithStrtof(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kBlanks = " \t\n\v\f\r";
  const auto start = bytes.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return;
  const std::string token(
      bytes.substr(start, bytes.find_first_of(kBlanks, start) - start));
  if (token.find('\0') != std::string::npos) return;  // strtof would stop there

  BytesBuffer input(data, size);
  std::istream in(&input);
  float ours = 0;
  const Read read = ReadReal(in, ours);
  char* end = nullptr;
  const float theirs = std::strtof(token.c_str(), &end);
  const bool number = end == token.c_str() + token.size() &&
                      token.find_first_of("xXiInN") == std::string::npos;
  const bool agree =
      (read == Read::kOk && number && std::memcmp(&ours, &theirs, sizeof ours) == 0) ||
      (read == Read::kOutOfRange && number && std::isinf(theirs)) ||
      (read == Read::kNotANumber && !number);
  if (!agree) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CompareFirstNumberWithStrtof(data, size);
  BytesBuffer input(data, size);
  std::istream in(&input);
  CountingBuffer out_buffer;
  CountingBuffer err_buffer;
  std::ostream out(&out_buffer);
  std::ostream err(&err_buffer);
  const int status = RunDialogue(in, out, err);
  // Output that never fails leaves two outcomes: a product, or one message.
  const bool sound = (status == kExitSuccess && err_buffer.count == 0) ||
                     (status == kExitBadInput && err_buffer.count > 0);
  if (!sound) __builtin_trap();
  return 0;
}
