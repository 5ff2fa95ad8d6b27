// The stream behind StandardInput(), for the platform files that read it.
#pragma once

#include <array>
#include <cstddef>
#include <istream>
#include <streambuf>

#include "console/console.h"

class StandardInputStream : public std::istream {
 public:
  StandardInputStream() : std::istream(nullptr) {
    rdbuf(&buffer_);
    tie(&StandardOutput());
  }

  // Whether what was read last ended with a line end: typed at a terminal,
  // the user's Enter has then ended the line on screen.
  bool LastReadEndedLine() const { return buffer_.last_read_ended_line_; }

 private:
  class Buffer : public std::streambuf {
   public:
    explicit Buffer(std::ios& reader) : reader_(reader) {}

    bool last_read_ended_line_ = false;

   protected:
    int_type underflow() override;  // each platform reads in its own way

   private:
    // Hands the `count` bytes just read to the stream.
    int_type Deliver(std::size_t count) {
      setg(bytes_.data(), bytes_.data(), bytes_.data() + count);
      last_read_ended_line_ = bytes_[count - 1] == '\n';
      return traits_type::to_int_type(bytes_[0]);
    }

    // Once the input has ended or failed, asking again must not read again:
    // at a terminal that would wait for one more Ctrl-D.
    int_type NoMore(bool failed) {
      ended_ = true;
      if (failed) reader_.setstate(std::ios::badbit);
      return traits_type::eof();
    }

    std::ios& reader_;
    std::array<char, 4096> bytes_;
    bool ended_ = false;
  };
  Buffer buffer_{*this};
};

// Whether what standard input read last was echoed, line end and all, after
// all the output so far, so that the output's line is already ended. POSIX:
// standard input is the output's own terminal, echoing whole lines, and the
// line was typed once the prompt was on screen, with nothing written since.
// Windows: the console's cursor stands at the start of a line.
bool InputEchoedWithOutput();
