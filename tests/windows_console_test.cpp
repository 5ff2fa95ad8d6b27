// The Windows program in a console that Wine draws on a Unix terminal: what a
// user sees, whatever the terminal's charset.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/program_runner.h"
#include "tests/terminal_harness.h"

namespace {

using namespace std::chrono_literals;

// What a terminal shows for `raw`, UTF-8 text with the few control sequences
// that Wine's console draws with: CR, LF, cursor right (ESC[nC), erase to the
// end of the line (ESC[K), and show or hide the cursor (ESC[?25h, ESC[?25l).
// Unwritten cells are blanks; blanks at the ends of lines and empty lines at
// the end are dropped. Any other sequence or control character shows as <?...>,
// so that it fails the comparison rather than pass unseen.
std::string ScreenOf(std::string_view raw) {
  std::vector<std::vector<std::string>> rows(1);
  std::size_t row = 0;
  std::size_t column = 0;
  const auto put = [&](std::string character) {
    if (rows.size() <= row) rows.resize(row + 1);
    if (rows[row].size() <= column) rows[row].resize(column + 1, " ");
    rows[row][column++] = std::move(character);
  };
  for (std::size_t at = 0; at < raw.size();) {
    const auto byte = static_cast<unsigned char>(raw[at]);
    std::size_t size = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    if (raw.substr(at, 2) == "\x1b[") {
      // Parameters, then one final byte from @ to ~; or the rest, cut short.
      std::size_t end = at + 2;
      while (end < raw.size() && (raw[end] < '@' || raw[end] > '~')) ++end;
      size = std::min(end + 1, raw.size()) - at;
      const std::string_view sequence = raw.substr(at, size);
      if (sequence.back() == 'C') {
        column += static_cast<std::size_t>(std::max(1, std::atoi(sequence.data() + 2)));
      } else if (sequence == "\x1b[K") {
        if (row < rows.size() && column < rows[row].size()) rows[row].resize(column);
      } else if (sequence != "\x1b[?25h" && sequence != "\x1b[?25l") {
        put("<?" + std::string(sequence.substr(1)) + ">");
      }
    } else if (byte == '\r') {
      column = 0;
    } else if (byte == '\n') {
      ++row;
    } else {
      put(byte < 0x20 ? "<?control>" : std::string(raw.substr(at, size)));
    }
    at += size;
  }
  std::string screen;
  for (const auto& cells : rows) {
    std::string line;
    for (const auto& character : cells) line += character;
    screen += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
  }
  return screen.substr(0, screen.find_last_not_of('\n') + 1);
}

TEST(ScreenOf, ShowsAnUnknownSequenceAndGoesOn) {
  EXPECT_EQ(ScreenOf("a\x1b[1;24rb\x1b[2Cc\x1b[1"), "a<?[1;24r>b  c<?[1>");
}

struct ConsoleCase {
  const char* name;
  const char* locale;
  std::vector<std::string_view> answers;  // each typed after its prompt
  std::string_view screen;                // while the key is awaited, and after
  int status;
};

void PrintTo(const ConsoleCase& run, std::ostream* out) { *out << run.name; }

#define CONSOLE_HEAD \
  "Программа демонстрирует умножение полиномов\nЗадайте порядок полиномов: "
#define CONSOLE_HINTS \
  "Задайте коэффициенты полиномов через пробел\nот a0 при Xn до aN свободный член\n"
#define CONSOLE_PRODUCT                     \
  CONSOLE_HEAD "2\n" CONSOLE_HINTS          \
               "p1()= 1 2 3\np2()= 4 5 6\n" \
               "Значение полинома p3 = [ 4 13 28 27 18 ]\nНажмите любую клавишу"
// The user's Enter has ended the line: the error follows it directly.
#define CONSOLE_BAD_INPUT                                                                                                  \
  CONSOLE_HEAD "1\n" CONSOLE_HINTS                                                                                         \
               "p1()= 1,5 2\n"                                                                                             \
               "Ошибка: коэффициент должен быть числом, например 2 или -1.5\n" \
               "Нажмите любую клавишу"
// Typed ahead, the coefficients were read with the order, and the prompt
// written after them still has its line open.
#define CONSOLE_BAD_INPUT_TYPED_AHEAD                                                                                      \
  CONSOLE_HEAD "1 1,5 2\n" CONSOLE_HINTS                                                                                   \
               "p1()=\n"                                                                                                   \
               "Ошибка: коэффициент должен быть числом, например 2 или -1.5\n" \
               "Нажмите любую клавишу"

const ConsoleCase kConsoleCases[] = {
    // The 7 is typed before the request to press a key, and is not the key.
    {"ProductUtf8", "ru_RU.UTF-8", {"2", "1 2 3", "4 5 6\r7"}, CONSOLE_PRODUCT, 0},
    {"ProductKoi8R", "ru_RU.KOI8-R", {"2", "1 2 3", "4 5 6"}, CONSOLE_PRODUCT, 0},
    {"BadInputUtf8", "ru_RU.UTF-8", {"1", "1,5 2"}, CONSOLE_BAD_INPUT, 1},
    {"BadInputKoi8R", "ru_RU.KOI8-R", {"1", "1,5 2"}, CONSOLE_BAD_INPUT, 1},
    {"BadInputTypedAhead", "ru_RU.UTF-8", {"1 1,5 2"}, CONSOLE_BAD_INPUT_TYPED_AHEAD, 1},
};

class WindowsConsole : public testing::TestWithParam<ConsoleCase> {};

TEST_P(WindowsConsole, ShowsTheDialogueAndWaitsForOneKey) {
  const ConsoleCase& run = GetParam();
  if (std::getenv("POLYMUL_WINDOWS") == nullptr)
    GTEST_SKIP() << "for the Windows program";
  if (std::setlocale(LC_CTYPE, run.locale) == nullptr) {
    GTEST_SKIP() << run.locale
                 << " is not installed (localedef -i ru_RU -f ... makes it)";
  }
  std::setlocale(LC_CTYPE, "C");
  const char* charset = std::strchr(run.locale, '.') + 1;
  const auto shown = [&](std::string_view raw) {
    return ScreenOf(Convert(raw.substr(0, raw.find(kReportMark)), charset, "UTF-8"));
  };

  Terminal terminal({.locale = run.locale});
  // Typed before Wine's console reads the keyboard, an answer would be echoed
  // by the terminal itself, and its Enter taken for a line feed. A new Wine
  // prefix stalls for some ten seconds after its first answer.
  const auto wait_for = [&](std::string_view text) {
    terminal.WaitUntil(
        [&](const std::string& raw) {
          return shown(raw).ends_with(text) && terminal.ReadsKeys();
        },
        60s);
  };
  const std::string_view prompts[] = {"полиномов:", "p1()=", "p2()="};
  for (std::size_t i = 0; i < run.answers.size(); ++i) {
    wait_for(prompts[i]);
    terminal.Type(std::string(run.answers[i]) + "\r");
  }
  wait_for("клавишу");
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
  EXPECT_EQ(shown(terminal.WaitFor(kReportMark, 0ms)), run.screen);

  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(run.status));
  EXPECT_EQ(shown(terminal.Dialogue()), run.screen) << "the key was echoed";
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsConsole, testing::ValuesIn(kConsoleCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
