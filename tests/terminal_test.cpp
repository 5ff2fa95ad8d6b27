// The key wait at a real pseudo-terminal: it waits, shows nothing, takes any
// key whole, and leaves the terminal as it found it whatever ends or stops it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/program_runner.h"

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kPressAnyKey = "Нажмите любую клавишу";
constexpr std::string_view kReportMark = "@@";
constexpr std::string_view kContinuedMark = "%% continued\r\n";
// A program that does not wait for its key has ended well within this.
constexpr auto kLongEnoughToShowItWaits = 300ms;

enum class Stdin { kTerminal, kPipe };
// kTerminalOutsideSession: on the terminal, but without a controlling terminal.
enum class Stdout { kTerminal, kDevNull, kTerminalOutsideSession };

struct Setup {
  Stdin in = Stdin::kTerminal;
  Stdout out = Stdout::kTerminal;
  const char* locale = "C.UTF-8";
  tcflag_t input_flags = 0;         // set on the terminal first, as stty would
  int ignored_signal = 0;           // ignored from the start, as under nohup
  bool stop_after_restore = false;  // stopped just after it restores the terminal
};

// The shell's report of a program that ended with the terminal as it found it,
// at every stop too, and with no input left behind for the next program.
std::string Ending(int exit_status, int signal_number = 0) {
  return "@@ exit=" + std::to_string(exit_status) +
         " signal=" + std::to_string(signal_number) + " restored=1 left=[] ##\r\n";
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

// Runs inside the pseudo-terminal as its session leader, as bash would: starts
// the program as a job of its own in the foreground; whenever it stops, checks
// that the terminal was given back (which SIGSTOP allows no program), puts back
// its own settings and continues it in the foreground; then reports how it
// ended, whether the terminal's settings were right, and what input it left.
[[noreturn]] void RunAsShell(std::vector<std::string> command, const Setup& setup) {
  signal(SIGTTOU, SIG_IGN);  // to hand the terminal to the job and back
  termios before{};
  tcgetattr(STDIN_FILENO, &before);
  before.c_iflag |= setup.input_flags;
  tcsetattr(STDIN_FILENO, TCSANOW, &before);

  int feed[2] = {-1, -1};
  if (setup.in == Stdin::kPipe && pipe(feed) == 0) {
    [[maybe_unused]] const auto written = write(feed[1], "0 3 5\n", 6);
    close(feed[1]);
  }
  const bool job = setup.out != Stdout::kTerminalOutsideSession;
  const pid_t program = fork();
  if (program == 0) {
    if (job) {
      setpgid(0, 0);
      tcsetpgrp(STDIN_FILENO, getpid());
    } else {
      setsid();
    }
    if (setup.in == Stdin::kPipe) dup2(feed[0], STDIN_FILENO);
    if (setup.out == Stdout::kDevNull) dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    setenv("LC_ALL", setup.locale, 1);
    if (setup.stop_after_restore) {
      const char* stopper = std::getenv("POLYMUL_STOP_AFTER_RESTORE");
      if (stopper == nullptr) stopper = POLYMUL_STOP_AFTER_RESTORE;
      // Under qemu-user, for the program that it runs and not for itself.
      if (std::getenv("POLYMUL_LAUNCHER") != nullptr) {
        const char* others = std::getenv("QEMU_SET_ENV");
        const std::string variables =
            (others != nullptr ? std::string(others) + "," : "") +
            "LD_PRELOAD=" + stopper;
        setenv("QEMU_SET_ENV", variables.c_str(), 1);
      } else {
        setenv("LD_PRELOAD", stopper, 1);
      }
      // Preloaded, it comes before the sanitizers' runtime of a sanitized build.
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    ExecProgram(std::move(command), setup.ignored_signal);
  }
  if (job) {
    setpgid(program, program);
    tcsetpgrp(STDIN_FILENO, program);
  }
  int status = 0;
  termios after{};
  bool restored = true;
  for (;;) {
    if (waitpid(program, &status, WUNTRACED) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (!WIFSTOPPED(status)) break;
    tcgetattr(STDIN_FILENO, &after);
    if (WSTOPSIG(status) != SIGSTOP) restored = restored && SameSettings(after, before);
    tcsetattr(STDIN_FILENO, TCSANOW, &before);
    tcsetpgrp(STDIN_FILENO, program);  // fg
    kill(-program, SIGCONT);
    std::fputs("%% continued\n", stdout);  // shown as kContinuedMark
    std::fflush(stdout);
  }
  tcsetpgrp(STDIN_FILENO, getpgrp());
  tcgetattr(STDIN_FILENO, &after);
  restored = restored && SameSettings(after, before);
  termios peek = after;
  peek.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  peek.c_cc[VMIN] = 0;
  peek.c_cc[VTIME] = 3;  // tenths of a second: the rest of a key may be late
  tcsetattr(STDIN_FILENO, TCSANOW, &peek);
  std::array<char, 64> left{};
  const ssize_t left_size = read(STDIN_FILENO, left.data(), left.size());
  std::string hex;
  for (ssize_t i = 0; i < left_size; ++i) {
    std::array<char, 4> byte{};
    std::snprintf(byte.data(), byte.size(), "%02x",
                  static_cast<unsigned char>(left[static_cast<std::size_t>(i)]));
    hex += byte.data();
  }
  std::printf("%s exit=%d signal=%d restored=%d left=[%s] ##\n", kReportMark.data(),
              WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              WIFSIGNALED(status) ? WTERMSIG(status) : 0, restored ? 1 : 0, hex.c_str());
  std::fflush(stdout);
  _exit(0);
}

class Terminal {
 public:
  explicit Terminal(const Setup& setup = {}) {
    std::vector<std::string> command = ProgramCommand();
    std::fflush(nullptr);  // or the shell would write the tests' pending output too
    shell_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (shell_ < 0) throw std::runtime_error("no pseudo-terminal: forkpty failed");
    if (shell_ == 0) RunAsShell(std::move(command), setup);
  }
  ~Terminal() {
    Signal(SIGKILL);  // the program, if a failed test left it running
    kill(-shell_, SIGKILL);
    waitpid(shell_, nullptr, 0);
    close(master_);
  }

  void Type(std::string_view keys) {
    [[maybe_unused]] const auto written = write(master_, keys.data(), keys.size());
  }

  // Everything the terminal has shown, once `done` holds or time is up; with
  // no patience, everything it has shown so far.
  template <typename Predicate>
  const std::string& WaitUntil(Predicate done,
                               std::chrono::milliseconds patience = 10000ms) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done(screen_)) {
      const bool late = std::chrono::steady_clock::now() >= deadline;
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, late ? 0 : 20) <= 0) {
        if (late) break;
        continue;
      }
      std::array<char, 1024> buffer;
      const ssize_t got = read(master_, buffer.data(), buffer.size());
      if (got <= 0) break;
      screen_.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return screen_;
  }
  const std::string& WaitFor(std::string_view text,
                             std::chrono::milliseconds patience = 10000ms) {
    return WaitUntil(
        [text](const std::string& shown) {
          return shown.find(text) != std::string::npos;
        },
        patience);
  }
  // Whether the program ends, with nothing more typed, within `patience`.
  bool EndsWithin(std::chrono::milliseconds patience) {
    return WaitFor(kReportMark, patience).find(kReportMark) != std::string::npos;
  }

  // The shell's report line, once the program has ended.
  std::string Report() {
    WaitFor(" ##\r\n");
    const auto at = screen_.find(kReportMark);
    return at == std::string::npos ? "<no report>" : screen_.substr(at);
  }
  // What the terminal showed before the report.
  std::string Dialogue() {
    const std::string& screen = WaitFor(kReportMark);
    return screen.substr(0, screen.find(kReportMark));
  }

  // Sends a signal to the program, the terminal's foreground job.
  // None once the terminal has no session: kill(0) would hit the tests.
  void Signal(int number) const {
    if (const pid_t job = tcgetpgrp(master_); job > 0) kill(-job, number);
  }

  // Whether a program reads the keyboard key by key, not line by line.
  bool ReadsKeys() const {
    const termios settings = Settings();
    return (settings.c_lflag & ICANON) == 0;
  }
  // Whether the key wait is in the key-wait mode: every key is a key.
  void AwaitKeyWait() {
    WaitUntil([this](const std::string&) { return ReadsKeys(); });
  }
  // Whether it is reading the rest of a key of several bytes.
  bool ReadsRestOfKey() const {
    const termios settings = Settings();
    return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 0;
  }

 private:
  termios Settings() const {
    termios settings{};
    if (tcgetattr(master_, &settings) != 0) settings.c_lflag = ICANON;
    return settings;
  }

  int master_ = -1;
  pid_t shell_ = -1;
  std::string screen_;
};

// Types the dialogue's answers as a user would, each after its prompt, and
// comes back once the key is awaited.
void AnswerDialogue(Terminal& terminal, std::string_view last_answer = "4 5 6\n") {
  terminal.WaitFor("полиномов: ");
  terminal.Type("2\n");
  terminal.WaitFor("p1()= ");
  terminal.Type("1 2 3\n");
  terminal.WaitFor("p2()= ");
  terminal.Type(last_answer);
  terminal.WaitFor(kPressAnyKey);
  terminal.AwaitKeyWait();
}

TEST(KeyWait, WaitsForOneKeyAndShowsItNot) {
  Terminal terminal;
  AnswerDialogue(terminal);
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
  // Typed numbers are echoed by the terminal; the key is not; a line end
  // after the key gives the shell a fresh line.
  EXPECT_EQ(terminal.Dialogue(),
            "Программа демонстрирует умножение полиномов\r\n"
            "Задайте порядок полиномов: 2\r\n"
            "Задайте коэффициенты полиномов через пробел\r\n"
            "от a0 при Xn до aN свободный член\r\n"
            "p1()= 1 2 3\r\n"
            "p2()= 4 5 6\r\n"
            "Значение полинома p3 = [ 4 13 28 27 18 ]\r\n"
            "Нажмите любую клавишу\r\n");
}

TEST(KeyWait, AnyKeyIsTakenWhole) {
  struct Key {
    std::vector<std::string_view> pieces;  // as a slow link delivers them
    tcflag_t input_flags;
  };
  const Key keys[] = {
      {{"\x03"}, 0},              // Ctrl-C is a key like any other
      {{"\x1b[A"}, 0},            // an arrow
      {{"\x1b", "[A"}, 0},        // the same, split
      {{"я"}, 0},                 // a Cyrillic letter
      {{"xyz"}, 0},               // keys typed after the one awaited
      {{"\r"}, IGNCR},            // Enter, where stty igncr would swallow it
      {{"\xd1", "\x8f"}, ISTRIP}  // split, where stty istrip would make it ASCII
  };
  for (const Key& key : keys) {
    Terminal terminal({.input_flags = key.input_flags});
    AnswerDialogue(terminal);
    for (std::size_t i = 0; i < key.pieces.size(); ++i) {
      if (i > 0)
        terminal.WaitUntil([&](const std::string&) { return terminal.ReadsRestOfKey(); });
      terminal.Type(key.pieces[i]);
    }
    EXPECT_EQ(terminal.Report(), Ending(0)) << "key " << key.pieces.front();
  }
}

// qemu-user gives its program the host's real-time signals two up: the host's
// first two reach it as the two that its C library keeps for itself.
int FirstRealTimeSignalOfTheProgram() {
  const char* launcher = std::getenv("POLYMUL_LAUNCHER");
  const bool under_qemu =
      launcher != nullptr && std::strstr(launcher, "qemu-") != nullptr;
  return SIGRTMIN + (under_qemu ? 2 : 0);
}

TEST(KeyWait, TerminalIsRestoredWhenTheWaitIsKilled) {
  for (const int signal_number :
       {SIGTERM, SIGHUP, SIGUSR1, SIGALRM, FirstRealTimeSignalOfTheProgram(), SIGIO,
        SIGPWR, SIGSTKFLT}) {
    Terminal terminal;
    AnswerDialogue(terminal);
    terminal.Signal(signal_number);
    EXPECT_EQ(terminal.Report(), Ending(-1, signal_number));
  }
}

TEST(KeyWait, StoppedAndContinuedTheWaitGoesOn) {
  for (const int signal_number : {SIGTSTP, SIGSTOP}) {
    Terminal terminal;
    AnswerDialogue(terminal);
    terminal.Signal(signal_number);
    terminal.WaitFor(kContinuedMark);
    terminal.AwaitKeyWait();
    terminal.Type("x");
    EXPECT_EQ(terminal.Report(), Ending(0)) << "stopped by " << signal_number;
  }
}

TEST(KeyWait, StoppedJustAfterTheTerminalIsRestored) {
  Terminal terminal({.stop_after_restore = true});
  AnswerDialogue(terminal);
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
  EXPECT_NE(terminal.Dialogue().find(kContinuedMark), std::string::npos)
      << "it was never stopped";
}

TEST(KeyWait, AnIgnoredHangupStaysIgnored) {
  Terminal terminal({.ignored_signal = SIGHUP});
  AnswerDialogue(terminal);
  terminal.Signal(SIGHUP);
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended by SIGHUP";
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, KeysTypedBeforeTheRequestAreNotTheKey) {
  Terminal terminal;
  AnswerDialogue(terminal, "4 5 6\n7 8\n");
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, WithoutAControllingTerminalTheLineStillEnds) {
  Terminal terminal({.in = Stdin::kPipe, .out = Stdout::kTerminalOutsideSession});
  EXPECT_EQ(terminal.Report(), Ending(0));
  EXPECT_TRUE(terminal.Dialogue().ends_with("клавишу\r\n")) << terminal.Dialogue();
}

TEST(KeyWait, WaitsAtTheTerminalWhenInputIsAPipe) {
  Terminal terminal({.in = Stdin::kPipe});
  terminal.WaitFor(kPressAnyKey);
  terminal.AwaitKeyWait();
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
  terminal.Type("q");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, NoWaitWhenTheOutputIsNotOnScreen) {
  Terminal terminal({.in = Stdin::kPipe, .out = Stdout::kDevNull});
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, NoPseudoTerminalFailsTheTestAlone) {
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const int lowest_free = open("/dev/null", O_RDONLY);
  close(lowest_free);
  rlimit no_more = saved;
  no_more.rlim_cur = static_cast<rlim_t>(lowest_free);
  setrlimit(RLIMIT_NOFILE, &no_more);
  EXPECT_THROW(Terminal{}, std::runtime_error);
  setrlimit(RLIMIT_NOFILE, &saved);
}

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
      size = raw.find_first_of("@ABCDEFGHJKSTfhlmsu", at) - at + 1;
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

// The Windows program in a console that Wine draws on a Unix terminal: what a
// user sees, whatever the terminal's charset.
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
#define CONSOLE_BAD_INPUT                                                                                                  \
  CONSOLE_HEAD "1\n" CONSOLE_HINTS                                                                                         \
               "p1()= 1,5 2\n\n"                                                                                           \
               "Ошибка: коэффициент должен быть числом, например 2 или -1.5\n" \
               "Нажмите любую клавишу"

const ConsoleCase kConsoleCases[] = {
    // The 7 is typed before the request to press a key, and is not the key.
    {"ProductUtf8", "ru_RU.UTF-8", {"2", "1 2 3", "4 5 6\r7"}, CONSOLE_PRODUCT, 0},
    {"ProductKoi8R", "ru_RU.KOI8-R", {"2", "1 2 3", "4 5 6"}, CONSOLE_PRODUCT, 0},
    {"BadInputUtf8", "ru_RU.UTF-8", {"1", "1,5 2"}, CONSOLE_BAD_INPUT, 1},
    {"BadInputKoi8R", "ru_RU.KOI8-R", {"1", "1,5 2"}, CONSOLE_BAD_INPUT, 1},
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
  // by the terminal itself, and its Enter taken for a line feed.
  const auto wait_for = [&](std::string_view text) {
    terminal.WaitUntil([&](const std::string& raw) {
      return shown(raw).ends_with(text) && terminal.ReadsKeys();
    });
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
