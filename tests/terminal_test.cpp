// The key wait at a real pseudo-terminal: it waits, shows nothing, takes any
// key whole, and leaves the terminal as it found it whatever ends it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/program_runner.h"

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kPressAnyKey = "Нажмите любую клавишу";
constexpr std::string_view kReportMark = "@@";

enum class Stdin { kTerminal, kPipe };
enum class Stdout { kTerminal, kDevNull };

void IgnoreSignal(int) {}

// Runs inside the pseudo-terminal as its session leader, as a shell would:
// starts the program, then reports how it ended, whether the terminal's
// settings came back, and what input it left behind for the next program.
[[noreturn]] void RunAsShell(std::vector<std::string> command, Stdin in, Stdout out) {
  struct sigaction survive {};
  survive.sa_handler = IgnoreSignal;
  sigaction(SIGTERM, &survive, nullptr);
  sigaction(SIGHUP, &survive, nullptr);
  termios before{};
  tcgetattr(STDIN_FILENO, &before);

  int feed[2] = {-1, -1};
  if (in == Stdin::kPipe && pipe(feed) == 0) {
    [[maybe_unused]] const auto written = write(feed[1], "0 3 5\n", 6);
    close(feed[1]);
  }
  const pid_t program = fork();
  if (program == 0) {
    if (in == Stdin::kPipe) dup2(feed[0], STDIN_FILENO);
    if (out == Stdout::kDevNull) dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    setenv("LC_ALL", "C.UTF-8", 1);
    std::vector<char*> argv;
    for (auto& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(program, &status, 0) < 0) {
  }
  termios after{};
  tcgetattr(STDIN_FILENO, &after);
  const bool restored =
      after.c_lflag == before.c_lflag && after.c_iflag == before.c_iflag &&
      after.c_cc[VMIN] == before.c_cc[VMIN] && after.c_cc[VTIME] == before.c_cc[VTIME];
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
    std::snprintf(byte.data(), byte.size(), "%02x", static_cast<unsigned char>(left[i]));
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
  explicit Terminal(Stdin in = Stdin::kTerminal, Stdout out = Stdout::kTerminal) {
    std::vector<std::string> command = ProgramCommand();
    shell_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (shell_ == 0) RunAsShell(std::move(command), in, out);
  }
  ~Terminal() {
    kill(-shell_, SIGKILL);
    waitpid(shell_, nullptr, 0);
    close(master_);
  }

  void Type(std::string_view keys) {
    [[maybe_unused]] const auto written = write(master_, keys.data(), keys.size());
  }

  // Everything the terminal has shown, once `text` is among it (or time is up).
  const std::string& WaitFor(std::string_view text,
                             std::chrono::milliseconds patience = 10000ms) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (screen_.find(text) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, 20) <= 0) continue;
      std::array<char, 1024> buffer;
      const ssize_t got = read(master_, buffer.data(), buffer.size());
      if (got <= 0) break;
      screen_.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return screen_;
  }

  // The shell's report line, once the program has ended.
  std::string Report() {
    WaitFor(" ##\r\n");
    const auto at = screen_.find(kReportMark);
    return at == std::string::npos ? "<no report>" : screen_.substr(at);
  }

  pid_t shell() const { return shell_; }

 private:
  int master_ = -1;
  pid_t shell_ = -1;
  std::string screen_;
};

// Types the dialogue's answers as a user would, each after its prompt.
void AnswerDialogue(Terminal& terminal) {
  terminal.WaitFor("полиномов: ");
  terminal.Type("2\n");
  terminal.WaitFor("p1()= ");
  terminal.Type("1 2 3\n");
  terminal.WaitFor("p2()= ");
  terminal.Type("4 5 6\n");
  terminal.WaitFor(kPressAnyKey);
  std::this_thread::sleep_for(300ms);  // long enough to show that it waits
}

TEST(KeyWait, WaitsForOneKeyAndShowsItNot) {
  Terminal terminal;
  AnswerDialogue(terminal);
  EXPECT_EQ(terminal.WaitFor(kReportMark, 0ms).find(kReportMark), std::string::npos)
      << "ended without a key";
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), "@@ exit=0 signal=0 restored=1 left=[] ##\r\n");
  // Typed numbers are echoed by the terminal; the key is not; a line end
  // after the key gives the shell a fresh line.
  EXPECT_EQ(
      terminal.WaitFor(kReportMark).substr(0, terminal.WaitFor(kReportMark).find('@')),
      "Программа демонстрирует умножение полиномов\r\n"
      "Задайте порядок полиномов: 2\r\n"
      "Задайте коэффициенты полиномов через пробел\r\n"
      "от a0 при Xn до aN свободный член\r\n"
      "p1()= 1 2 3\r\n"
      "p2()= 4 5 6\r\n"
      "Значение полинома p3 = [ 4 13 28 27 18 ]\r\n"
      "Нажмите любую клавишу\r\n");
}

TEST(KeyWait, CtrlCIsAKeyLikeAnyOther) {
  Terminal terminal;
  AnswerDialogue(terminal);
  terminal.Type("\x03");
  EXPECT_EQ(terminal.Report(), "@@ exit=0 signal=0 restored=1 left=[] ##\r\n");
}

TEST(KeyWait, KeysOfSeveralBytesAreReadWhole) {
  // An arrow key, whole and split as a slow link delivers it; a Cyrillic
  // letter; a key typed after the one awaited.
  const std::vector<std::vector<std::string_view>> keys = {
      {"\x1b[A"}, {"\x1b", "[A"}, {"я"}, {"xyz"}};
  for (const auto& pieces : keys) {
    Terminal terminal;
    AnswerDialogue(terminal);
    for (const auto piece : pieces) {
      terminal.Type(piece);
      std::this_thread::sleep_for(30ms);
    }
    EXPECT_EQ(terminal.Report(), "@@ exit=0 signal=0 restored=1 left=[] ##\r\n")
        << "key " << pieces.front();
  }
}

TEST(KeyWait, TerminalIsRestoredWhenTheWaitIsKilled) {
  for (const int signal_number : {SIGTERM, SIGHUP}) {
    Terminal terminal;
    AnswerDialogue(terminal);
    kill(-terminal.shell(), signal_number);  // the program and the shell that survives it
    EXPECT_EQ(terminal.Report(), "@@ exit=-1 signal=" + std::to_string(signal_number) +
                                     " restored=1 left=[] ##\r\n");
  }
}

TEST(KeyWait, WaitsAtTheTerminalWhenInputIsAPipe) {
  Terminal terminal(Stdin::kPipe);
  terminal.WaitFor(kPressAnyKey);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(terminal.WaitFor(kReportMark, 0ms).find(kReportMark), std::string::npos);
  terminal.Type("q");
  EXPECT_EQ(terminal.Report(), "@@ exit=0 signal=0 restored=1 left=[] ##\r\n");
}

TEST(KeyWait, NoWaitWhenTheOutputIsNotOnScreen) {
  Terminal terminal(Stdin::kPipe, Stdout::kDevNull);
  EXPECT_EQ(terminal.Report(), "@@ exit=0 signal=0 restored=1 left=[] ##\r\n");
}

}  // namespace
