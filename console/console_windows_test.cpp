// The Windows console as the program writes to it and drops its input: cases
// that need a console, which Wine makes of the pseudo-terminal that
// tests/test_windows.sh runs them on.
#include <windows.h>
// After windows.h, which it needs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console/console.h"
#include "console/message_text.h"

namespace {

using namespace std::chrono_literals;

HANDLE OpenConsole(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

DWORD WaitingInput(HANDLE keyboard) {
  DWORD waiting = 0;
  GetNumberOfConsoleInputEvents(keyboard, &waiting);
  return waiting;
}

// Every case starts with the console's input empty and gives standard output
// and standard error back as it found them.
class Console : public testing::Test {
 protected:
  void SetUp() override {
    keyboard_ = OpenConsole(L"CONIN$");
    ASSERT_NE(keyboard_, INVALID_HANDLE_VALUE)
        << "no console: run these on a terminal, as tests/test_windows.sh does";
    FlushConsoleInputBuffer(keyboard_);
  }
  void TearDown() override {
    for (const auto& [number, handle] : saved_) SetStdHandle(number, handle);
    for (const HANDLE buffer : buffers_) CloseHandle(buffer);
    std::cout.clear();
    std::cerr.clear();
    CloseHandle(keyboard_);
  }

  // Makes a screen buffer of its own, not shown, the console that standard
  // output or standard error (`number`) writes to.
  HANDLE WriteTo(DWORD number, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    const HANDLE buffer =
        CreateConsoleScreenBuffer(access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CONSOLE_TEXTMODE_BUFFER, nullptr);
    EXPECT_NE(buffer, INVALID_HANDLE_VALUE);
    buffers_.push_back(buffer);
    saved_.emplace_back(number, GetStdHandle(number));
    SetStdHandle(number, buffer);
    return buffer;
  }

  HANDLE keyboard_ = INVALID_HANDLE_VALUE;

 private:
  std::vector<std::pair<DWORD, HANDLE>> saved_;
  std::vector<HANDLE> buffers_;
};

// The first `size` characters of a screen buffer's top line.
std::wstring TopLine(HANDLE buffer, std::size_t size) {
  std::wstring line(size, L'?');
  DWORD read = 0;
  ReadConsoleOutputCharacterW(buffer, line.data(), static_cast<DWORD>(size), COORD{0, 0},
                              &read);
  line.resize(read);
  return line;
}

constexpr MessageText kText = Cp1251Text(u8"Ёж p3 = [ я");

TEST_F(Console, TakesTheTextsInUtf16) {
  const std::pair<std::ostream*, DWORD> streams[] = {{&std::cout, STD_OUTPUT_HANDLE},
                                                     {&std::cerr, STD_ERROR_HANDLE}};
  for (const auto& [stream, number] : streams) {
    const HANDLE buffer = WriteTo(number);
    PrintConsoleText(*stream, kText);
    EXPECT_TRUE(stream->good());
    EXPECT_EQ(TopLine(buffer, kText.size + 1), L"\u0401\u0436 p3 = [ \u044F ");
  }
}

// As a failed write to a file does, a console that takes no text, or a text
// with the one byte Windows-1251 leaves unused, fails the stream.
TEST_F(Console, FailsTheStreamWhereTheTextIsNotWritten) {
  const std::pair<std::ostream*, DWORD> streams[] = {{&std::cout, STD_OUTPUT_HANDLE},
                                                     {&std::cerr, STD_ERROR_HANDLE}};
  for (const auto& [stream, number] : streams) {
    WriteTo(number, GENERIC_READ);  // a console that refuses every write
    PrintConsoleText(*stream, kText);
    EXPECT_TRUE(stream->bad());
    stream->clear();

    const HANDLE buffer = WriteTo(number);
    MessageText unused = kText;
    unused.bytes[0] = '\x98';
    PrintConsoleText(*stream, unused);
    EXPECT_TRUE(stream->bad());
    EXPECT_EQ(TopLine(buffer, 2), L"  ") << "a part of the text was written";
    stream->clear();
  }
}

// Output to a file or a pipe: the console's code page where it has every
// character of the texts, else UTF-8, decided when the charset is chosen.
TEST_F(Console, WritesFilesInTheCodePageThatHoldsTheTexts) {
  const UINT original = GetConsoleOutputCP();
  const struct {
    UINT code_page;
    std::string written;
  } cases[] = {
      {866, "\xF0\xA6 p3 = [ \xEF"},               // the program's own table
      {855, "\x85\xE9 p3 = [ \xDE"},               // the system's
      {1252, "\xD0\x81\xD0\xB6 p3 = [ \xD1\x8F"},  // no Russian letters: UTF-8
      {437, "\xD0\x81\xD0\xB6 p3 = [ \xD1\x8F"},   // the same
      {37, "\xD0\x81\xD0\xB6 p3 = [ \xD1\x8F"},    // EBCDIC: nor ASCII
      // Last, so that the cases after this one find UTF-8, as they began with.
      {CP_UTF8, "\xD0\x81\xD0\xB6 p3 = [ \xD1\x8F"},
  };
  for (const auto& [code_page, written] : cases) {
    ASSERT_TRUE(SetConsoleOutputCP(code_page)) << code_page;
    ChooseTerminalCharset();
    // The console's code page changed later changes nothing.
    SetConsoleOutputCP(code_page == 866 ? 855 : 866);
    std::ostringstream out;
    PrintConsoleText(out, kText);
    EXPECT_EQ(out.str(), written) << "code page " << code_page;
  }
  SetConsoleOutputCP(original);
}

// Types a key into the console's input whenever it finds that input empty,
// as a paste still arriving does: `keys` of them, or with none until it ends.
class Typist {
 public:
  // Once the first key is in.
  explicit Typist(int keys = 0) : keys_(keys), thread_([this] { Run(); }) {
    while (typed_ == 0 && !ended_) Sleep(1);
  }
  ~Typist() {
    stop_ = true;
    thread_.join();
  }
  int Typed() const { return typed_; }

 private:
  void Run() {
    const HANDLE keyboard = OpenConsole(L"CONIN$");
    INPUT_RECORD key{};
    key.EventType = KEY_EVENT;
    key.Event.KeyEvent.bKeyDown = TRUE;
    key.Event.KeyEvent.wRepeatCount = 1;
    key.Event.KeyEvent.wVirtualKeyCode = 'X';
    key.Event.KeyEvent.uChar.UnicodeChar = L'x';
    // A drop that never ends fails its case, and does not hang it.
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (!stop_ && (keys_ == 0 || typed_ < keys_) &&
           std::chrono::steady_clock::now() < give_up) {
      DWORD written = 0;
      if (WaitingInput(keyboard) != 0) {
        Sleep(1);
      } else if (WriteConsoleInputW(keyboard, &key, 1, &written) && written == 1) {
        ++typed_;
      }
    }
    CloseHandle(keyboard);
    ended_ = true;
  }

  const int keys_;
  std::atomic<int> typed_ = 0;
  std::atomic<bool> stop_ = false;
  std::atomic<bool> ended_ = false;
  std::thread thread_;
};

// Keys typed or pasted before the request are dropped until the console has
// been quiet for a tenth of a second, as on POSIX systems: all of a paste that
// goes on arriving after the first of them was dropped.
TEST_F(Console, DropsTypeAheadUntilTheConsoleIsQuiet) {
  WriteTo(STD_OUTPUT_HANDLE);
  constexpr int kKeys = 8;
  Typist typist(kKeys);
  PrepareForKeyPress(kText);
  EXPECT_EQ(typist.Typed(), kKeys) << "the drop ended while keys still came";
  EXPECT_EQ(WaitingInput(keyboard_), 0u);
}

// Steady input, a held key, keeps the request away for a second at most.
TEST_F(Console, DropsTypeAheadForASecondAtMost) {
  WriteTo(STD_OUTPUT_HANDLE);
  Typist typist;
  const auto start = std::chrono::steady_clock::now();
  PrepareForKeyPress(kText);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// The key is one key: what follows it, the rest of a paste, is dropped too,
// and none of it is left for the shell.
TEST_F(Console, DropsWhatFollowsTheKey) {
  WriteTo(STD_OUTPUT_HANDLE);
  constexpr int kKeys = 8;
  Typist typist(kKeys);
  WaitForKeyPress();
  EXPECT_EQ(typist.Typed(), kKeys) << "the drop ended while keys still came";
  EXPECT_EQ(WaitingInput(keyboard_), 0u);
}

// Without a console to show the request, there is no key to wait for.
TEST_F(Console, WaitsForNoKeyWithoutAConsoleToShowTheRequest) {
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE file =
      CreateFileW(L"NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  Typist typist(1);
  PrepareForKeyPress(kText);
  WaitForKeyPress();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  EXPECT_EQ(WaitingInput(keyboard_), 1u) << "input was read or dropped";
}

}  // namespace
