// The terminal as the dialogue sees it: texts in the terminal's own character
// set, standard input, and the wait for one key press. Implemented once for
// each platform.
#pragma once

#include <array>
#include <iostream>
#include <istream>
#include <streambuf>

#include "console/message_text.h"

// Decides, once, the character set that PrintConsoleText writes: the one of
// the locale in force (POSIX) or of the console (Windows). Until it is called,
// texts are written in UTF-8.
void ChooseTerminalCharset();

// Writes `text` to `out` in the terminal's character set, with no line end and
// no flush.
void PrintConsoleText(std::ostream& out, const MessageText& text);

// Flushes standard output and waits for one key press at the terminal, with no
// echo and no Enter needed. Returns at once when no terminal shows the output.
void WaitForKeyPress();

// Standard input, tied to standard output so that a prompt is on screen before
// its answer is awaited. Where another program left the descriptor
// non-blocking, it waits for input all the same; a read that fails sets badbit,
// so that it is not taken for the end of the input.
class StandardInput : public std::istream {
 public:
  StandardInput() : std::istream(nullptr) {
    rdbuf(&buffer_);
    tie(&std::cout);
  }

 private:
  class Buffer : public std::streambuf {
   public:
    explicit Buffer(std::ios& reader) : reader_(reader) {}

   protected:
    int_type underflow() override;

   private:
    std::ios& reader_;
    std::array<char, 4096> bytes_;
  };
  Buffer buffer_{*this};
};
