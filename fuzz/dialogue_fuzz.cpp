// libFuzzer target: the whole dialogue, in-process, on arbitrary standard input.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <streambuf>

#include "dialogue/dialogue.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
