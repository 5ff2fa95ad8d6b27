// The stream behind StandardInput(), for the platform files that read it.
#pragma once

#include <array>
#include <iostream>
#include <istream>
#include <streambuf>

class StandardInputStream : public std::istream {
 public:
  StandardInputStream() : std::istream(nullptr) {
    rdbuf(&buffer_);
    tie(&std::cout);
  }

 private:
  class Buffer : public std::streambuf {
   public:
    explicit Buffer(std::ios& reader) : reader_(reader) {}

   protected:
    int_type underflow() override;  // each platform reads in its own way

   private:
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
