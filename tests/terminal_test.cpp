// The key wait at a real pseudo-terminal: it waits, shows nothing, takes any
// key whole, and leaves the terminal as it found it whatever ends or stops it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
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
#include <fstream>
#include <iostream>
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

// kPipeLeftOpen: a pipe whose writer has more to say later, as in
// `(echo 0 3 5; sleep 9) | polymul`. kClosed: closed, as `polymul <&-` leaves it.
enum class Stdin { kTerminal, kPipe, kPipeLeftOpen, kClosed };
// kTerminalOutsideSession: on the terminal, but without a controlling terminal.
// kOtherTerminal: on a terminal other than the one the key comes from.
enum class Stdout { kTerminal, kDevNull, kTerminalOutsideSession, kOtherTerminal };
// kOwnSession: the first program of a session of its own on the terminal, as
// `xterm -e` and `ssh -t` start one; the kernel discards a stop there.
// kOrphaned: in the foreground, its parent gone from the session, as a program
// that `sh -c 'polymul < input & sleep 1'` leaves behind; on SIGUSR1 the shell
// takes the terminal back, as dash does once `sh -c` ends.
// kPidNamespaceInit: the first process of a PID namespace of its own, as
// `docker run -it` and `unshare --pid --fork` start one.
enum class Job { kForeground, kBackground, kOwnSession, kOrphaned, kPidNamespaceInit };

struct Scene {
  Stdin in = Stdin::kTerminal;
  Stdout out = Stdout::kTerminal;
  Job job = Job::kForeground;
  bool killed_when_stopped = false;  // as bash's `kill %1`, instead of `fg`
  const char* locale = "C.UTF-8";
  tcflag_t input_flags = 0;              // set on the terminal first, as stty would
  int ignored_signal = 0;                // ignored from the start, as under nohup
  bool stop_after_restore = false;       // stopped just after it restores the terminal
  bool continued_in_background = false;  // once stopped, `bg` before `fg`
  bool stty_while_stopped = false;       // `stty erase ^H` at the shell's prompt
};

// The shell's report of a program that ended with the terminal as it found it,
// at every stop too, and with no input left behind for the next program.
std::string Ending(int exit_status, int signal_number = 0) {
  return "@@ exit=" + std::to_string(exit_status) +
         " signal=" + std::to_string(signal_number) + " restored=1 left=[] ##\r\n";
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
         std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

// A parent that leaves the session or a namespace to its child, the program,
// and ends as it ends.
[[noreturn]] void BecomeProgramsParent(std::vector<std::string> command, Job job) {
  if (job == Job::kPidNamespaceInit && unshare(CLONE_NEWPID) != 0) {
    std::puts("%% no PID namespace");
    std::fflush(stdout);  // _exit would drop it
    _exit(126);
  }
  const pid_t program = fork();
  if (program == 0) {
    setpgid(0, 0);
    const int terminal = open("/dev/tty", O_RDWR);  // standard input may be a pipe
    tcsetpgrp(terminal, getpid());
    close(terminal);
    ExecProgram(std::move(command));
  }
  if (job == Job::kOrphaned) setsid();
  int status = 0;
  while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  _exit(WEXITSTATUS(status));
}

// Runs inside the pseudo-terminal as its session leader, as bash would: starts
// the program as a job of its own; whenever it stops, checks that the terminal
// was given back, or left alone (which SIGSTOP allows no program), puts back its
// own settings and continues it in the foreground, or kills it; then reports how
// it ended, whether the terminal's settings were right, and what input it left.
[[noreturn]] void RunAsShell(std::vector<std::string> command, const Scene& scene,
                             int other_terminal) {
  signal(SIGTTOU, SIG_IGN);  // to hand the terminal to the job and back
  termios before{};
  tcgetattr(STDIN_FILENO, &before);
  before.c_iflag |= scene.input_flags;
  // bash and zsh edit their command line without ICANON and ECHO: a job in
  // the background must leave that alone, and read the settings it is to give
  // back only in the foreground.
  termios prompt = before;
  prompt.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  bool in_foreground = scene.job != Job::kBackground;
  tcsetattr(STDIN_FILENO, TCSANOW, in_foreground ? &before : &prompt);
  if (scene.job == Job::kOrphaned) {
    signal(SIGUSR1, [](int) { tcsetpgrp(STDIN_FILENO, getpgrp()); });
  }

  int feed[2] = {-1, -1};
  const bool piped = scene.in == Stdin::kPipe || scene.in == Stdin::kPipeLeftOpen;
  if (piped && pipe(feed) == 0) {
    [[maybe_unused]] const auto written = write(feed[1], "0 3 5\n", 6);
    if (scene.in == Stdin::kPipe) close(feed[1]);
  }
  const bool job = scene.out != Stdout::kTerminalOutsideSession;
  const bool own_session = scene.job == Job::kOwnSession;
  const bool with_parent =
      scene.job == Job::kOrphaned || scene.job == Job::kPidNamespaceInit;
  if (own_session) {  // hands the terminal on to the program's session
    signal(SIGHUP, SIG_IGN);
    ioctl(STDIN_FILENO, TIOCNOTTY);
  }
  const pid_t program = fork();
  if (program == 0) {
    if (own_session) {
      setsid();
      ioctl(STDIN_FILENO, TIOCSCTTY, 0);
    } else if (with_parent) {
    } else if (job) {
      setpgid(0, 0);
      if (scene.job == Job::kForeground) tcsetpgrp(STDIN_FILENO, getpid());
    } else {
      setsid();
    }
    if (piped) dup2(feed[0], STDIN_FILENO);
    if (scene.in == Stdin::kClosed) close(STDIN_FILENO);
    if (scene.out == Stdout::kDevNull) dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    if (scene.out == Stdout::kOtherTerminal) dup2(other_terminal, STDOUT_FILENO);
    setenv("LC_ALL", scene.locale, 1);
    if (scene.stop_after_restore) {
      const char* path = std::getenv("POLYMUL_STOP_AFTER_RESTORE");
      const std::string stopper = path != nullptr ? path : POLYMUL_STOP_AFTER_RESTORE;
      // Named alone and found in its folder: LD_PRELOAD splits at blanks.
      const std::size_t slash = stopper.rfind('/');
      const std::string name = stopper.substr(slash + 1);
      const std::string folder = stopper.substr(0, slash);
      // Under qemu-user, for the program that it runs and not for itself.
      if (std::getenv("POLYMUL_LAUNCHER") != nullptr) {
        const char* others = std::getenv("QEMU_SET_ENV");
        const std::string variables =
            (others != nullptr ? std::string(others) + "," : "") + "LD_PRELOAD=" + name +
            ",LD_LIBRARY_PATH=" + folder;
        setenv("QEMU_SET_ENV", variables.c_str(), 1);
      } else {
        setenv("LD_PRELOAD", name.c_str(), 1);
        setenv("LD_LIBRARY_PATH", folder.c_str(), 1);
      }
      // Preloaded, it comes before the sanitizers' runtime of a sanitized build.
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    if (with_parent) BecomeProgramsParent(std::move(command), scene.job);
    ExecProgram(std::move(command), scene.ignored_signal);
  }
  if (job && !own_session && !with_parent) {
    setpgid(program, program);
    if (scene.job == Job::kForeground) tcsetpgrp(STDIN_FILENO, program);
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
    // Given back at a stop in the foreground; untouched in the background.
    if (!in_foreground) {
      restored = restored && SameSettings(after, prompt);
    } else if (WSTOPSIG(status) != SIGSTOP) {
      restored = restored && SameSettings(after, before);
    }
    if (scene.killed_when_stopped) {
      kill(-program, SIGTERM);
      kill(-program, SIGCONT);
      continue;
    }
    if (scene.continued_in_background && in_foreground) {  // bg
      tcsetattr(STDIN_FILENO, TCSANOW, &prompt);
      tcsetpgrp(STDIN_FILENO, getpgrp());
      in_foreground = false;
      kill(-program, SIGCONT);
      continue;
    }
    if (scene.stty_while_stopped) before.c_cc[VERASE] = '\b';
    tcsetattr(STDIN_FILENO, TCSANOW, &before);
    tcsetpgrp(STDIN_FILENO, program);  // fg
    in_foreground = true;
    kill(-program, SIGCONT);
    std::fputs("%% continued\n", stdout);  // shown as kContinuedMark
    std::fflush(stdout);
  }
  tcsetpgrp(STDIN_FILENO, getpgrp());
  // What else the job started may still hold the terminal: Wine's console puts
  // back the settings it found as it ends, after the program.
  const termios& expected = in_foreground ? before : prompt;
  for (int tenth_seconds = 0; tenth_seconds < 50; ++tenth_seconds) {
    tcgetattr(STDIN_FILENO, &after);
    if (SameSettings(after, expected)) break;
    poll(nullptr, 0, 100);
  }
  restored = restored && SameSettings(after, expected);
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
  explicit Terminal(const Scene& scene = {}) {
    std::vector<std::string> command = ProgramCommand();
    int other_slave = -1;
    if (scene.out == Stdout::kOtherTerminal &&
        openpty(&other_master_, &other_slave, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("no second pseudo-terminal: openpty failed");
    }
    std::fflush(nullptr);  // or the shell would write the tests' pending output too
    shell_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (shell_ < 0) throw std::runtime_error("no pseudo-terminal: forkpty failed");
    if (shell_ == 0) RunAsShell(std::move(command), scene, other_slave);
    if (other_slave >= 0) close(other_slave);
    fcntl(master_, F_SETFL, O_NONBLOCK);  // a paste is typed as the program reads
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
  }
  ~Terminal() {
    EndCaseProcesses();  // the shell, the program, and whatever either left
    for (const int fd : {master_, slave_, other_master_}) {
      if (fd >= 0) close(fd);
    }
  }

  // Types `keys`; what the terminal has no room for yet is typed as the program
  // reads, while what it shows meanwhile is read.
  void Type(std::string_view keys) {
    while (!keys.empty()) {
      pollfd ready{master_, POLLIN | POLLOUT, 0};
      if (poll(&ready, 1, 10000) <= 0) return;
      if ((ready.revents & POLLIN) != 0) ReadScreen();
      const ssize_t written = write(master_, keys.data(), keys.size());
      if (written < 0 && errno != EAGAIN) return;
      if (written > 0) keys.remove_prefix(static_cast<std::size_t>(written));
    }
  }

  // Types `key` again and again, faster than the terminal falls quiet, until
  // `done` holds; whether it did within `patience`.
  template <typename Predicate>
  bool TypeUntil(std::string_view key, Predicate done,
                 std::chrono::milliseconds patience = 10000ms) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done(screen_)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      Type(key);
      WaitUntil(done, 20ms);
    }
    return true;
  }

  // Stops or restarts the terminal's output, as Ctrl-S and Ctrl-Q do.
  void SetOutputStopped(bool stopped) const { tcflow(slave_, stopped ? TCOOFF : TCOON); }

  // As dash does when the job that started the program ends (Job::kOrphaned).
  void ShellTakesTheTerminalBack() {
    kill(shell_, SIGUSR1);
    WaitUntil([this](const std::string&) { return tcgetpgrp(master_) == shell_; });
  }

  // Everything shown on the other terminal (Stdout::kOtherTerminal).
  std::string OtherScreen() const {
    std::string shown;
    std::array<char, 4096> buffer;
    for (pollfd ready{other_master_, POLLIN, 0}; poll(&ready, 1, 0) > 0;) {
      const ssize_t got = read(other_master_, buffer.data(), buffer.size());
      if (got <= 0) break;
      shown.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return shown;
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
      if (!ReadScreen()) break;
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
  // Once a key counts: one byte at a time, with no time-out. Before the request
  // input is dropped until the terminal is quiet; the request on screen says
  // the same.
  void AwaitKeyWait() {
    WaitUntil([this](const std::string&) {
      const termios settings = Settings();
      return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 1 &&
             settings.c_cc[VTIME] == 0;
    });
  }
  // Whether it is dropping input until the terminal is quiet: after the key,
  // the rest of one of several bytes.
  bool DropsInput() const {
    const termios settings = Settings();
    return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 0;
  }
  // Waits until the program has taken every signal sent to it and sleeps again.
  void AwaitSignalsTaken() {
    WaitUntil([this](const std::string&) { return Sleeps(); });
  }
  // Whether the program waits for its key, blocked in its read with none to
  // take: else it has taken one, or is about to.
  bool WaitsForKey() const {
    const termios settings = Settings();
    int queued = -1;
    ioctl(slave_, FIONREAD, &queued);
    return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 1 && queued == 0 &&
           Sleeps();
  }

 private:
  bool ReadScreen() {
    std::array<char, 4096> buffer;
    const ssize_t got = read(master_, buffer.data(), buffer.size());
    if (got > 0) screen_.append(buffer.data(), static_cast<std::size_t>(got));
    return got > 0 || (got < 0 && errno == EAGAIN);
  }

  // Whether the program sleeps, with no signal waiting for it.
  bool Sleeps() const {
    std::ifstream file("/proc/" + std::to_string(tcgetpgrp(master_)) + "/status");
    bool sleeping = false;
    bool pending = false;
    for (std::string line; std::getline(file, line);) {
      if (line.starts_with("State:")) sleeping = line.find("(sleeping)") != line.npos;
      if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:"))
        pending = pending || line.find_first_not_of('0', 8) != line.npos;
    }
    return sleeping && !pending;
  }

  termios Settings() const {
    termios settings{};
    if (tcgetattr(master_, &settings) != 0) settings.c_lflag = ICANON;
    return settings;
  }

  int master_ = -1;
  int slave_ = -1;         // the terminal's own side, to stop its output
  int other_master_ = -1;  // Stdout::kOtherTerminal
  pid_t shell_ = -1;
  std::string screen_;
};

// A paste three times larger than the kernel's buffer for terminal input:
// lines that a shell would run, were any to reach it.
std::string Paste() {
  std::string lines;
  for (int i = 0; i < 1000; ++i) lines += "echo LEAK" + std::to_string(i) + "\n";
  return lines;
}

const std::vector<std::string> kAnswers = {"2\n", "1 2 3\n", "4 5 6\n"};

// Types the dialogue's answers as a user would, each after its prompt, and
// comes back once a key counts: the request to press one is on screen; or
// without waiting for it.
void AnswerDialogue(Terminal& terminal,
                    const std::vector<std::string>& answers = kAnswers,
                    bool await_request = true) {
  const std::string_view prompts[] = {"полиномов: ", "p1()= ", "p2()= "};
  for (std::size_t i = 0; i < answers.size(); ++i) {
    terminal.WaitFor(prompts[i]);
    terminal.Type(answers[i]);
  }
  if (await_request) terminal.WaitFor(kPressAnyKey);
}

// Keeps the program dropping what was typed before the request, as a held key
// would, until it is seen doing so.
void HoldInDropping(Terminal& terminal) {
  AnswerDialogue(terminal, kAnswers, false);
  terminal.TypeUntil("x", [&](const std::string&) { return terminal.DropsInput(); });
}

bool UnderQemu() {
  const char* launcher = std::getenv("POLYMUL_LAUNCHER");
  return launcher != nullptr && std::strstr(launcher, "qemu-") != nullptr;
}

TEST(KeyWait, WaitsForOneKeyAndShowsItNot) {
  Terminal terminal;
  terminal.WaitFor("полиномов: ");
  // Input is dropped before the request and after the key, each time until
  // the terminal has been quiet for a tenth of a second: not for the drop's
  // upper bound, a second, each time.
  const auto answered = std::chrono::steady_clock::now();
  AnswerDialogue(terminal);
  auto dropping = std::chrono::steady_clock::now() - answered;
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
  const auto pressed = std::chrono::steady_clock::now();
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
  dropping += std::chrono::steady_clock::now() - pressed;
  EXPECT_LT(dropping, 2s) << "no drop found the terminal quiet";
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
    std::vector<std::string> pieces;  // as a slow link delivers them
    tcflag_t input_flags;
  };
  const Key keys[] = {
      {{"\x03"}, 0},               // Ctrl-C is a key like any other
      {{"\x1a"}, 0},               // so is Ctrl-Z
      {{"\x1b[A"}, 0},             // an arrow
      {{"\x1b", "[A"}, 0},         // the same, split
      {{"я"}, 0},                  // a Cyrillic letter
      {{"xyz"}, 0},                // keys typed after the one awaited
      {{Paste()}, 0},              // a paste: none of it reaches the shell
      {{"\r"}, IGNCR},             // Enter, where stty igncr would swallow it
      {{"\xd1", "\x8f"}, ISTRIP},  // split, where stty istrip would make it ASCII
  };
  for (const Key& key : keys) {
    Terminal terminal({.input_flags = key.input_flags});
    AnswerDialogue(terminal);
    for (std::size_t i = 0; i < key.pieces.size(); ++i) {
      if (i > 0)
        terminal.WaitUntil([&](const std::string&) { return terminal.DropsInput(); });
      terminal.Type(key.pieces[i]);
    }
    EXPECT_EQ(terminal.Report(), Ending(0)) << "key " << key.pieces.front().substr(0, 9);
  }
}

// qemu-user gives its program the host's real-time signals two up: the host's
// first two reach it as the two that its C library keeps for itself.
int FirstRealTimeSignalOfTheProgram() { return SIGRTMIN + (UnderQemu() ? 2 : 0); }

TEST(KeyWait, TerminalIsRestoredWhenTheWaitIsKilled) {
  struct Kill {
    Scene scene;
    int signal_number;  // sent during the wait; 0: only the shell kills it
    int exit_status = -1;
    std::string_view typed_while_dropping = {};  // instead of the signal
  };
  const Kill kills[] = {
      {{}, SIGTERM},
      {{}, SIGHUP},
      {{}, SIGUSR1},
      {{}, SIGALRM},
      {{}, FirstRealTimeSignalOfTheProgram()},
      {{}, SIGRTMAX},
      {{}, SIGIO},
      {{}, SIGPWR},
      {{}, SIGSTKFLT},
      // Started in the background, stopped once it wants the terminal, and
      // killed there, as `kill %1` does it: SIGTERM, then SIGCONT.
      {{.in = Stdin::kPipe, .job = Job::kBackground, .killed_when_stopped = true}, 0},
      // Ctrl-C ends the program until the request is on screen, as at its
      // prompts, however long the keys typed before it keep coming.
      {{}, SIGINT, -1, "\x03"},
      // The kernel discards a signal that the first process of a PID namespace
      // leaves to its default action: it ends all the same.
      {{.job = Job::kPidNamespaceInit}, SIGTERM, 128 + SIGTERM},
  };
  for (const Kill& kill : kills) {
    if (kill.scene.job == Job::kPidNamespaceInit && UnderQemu()) continue;  // qemu's own
    Terminal terminal(kill.scene);
    if (!kill.typed_while_dropping.empty()) {
      HoldInDropping(terminal);
      terminal.Type(kill.typed_while_dropping);
    } else if (kill.signal_number != 0) {
      AnswerDialogue(terminal);
      terminal.AwaitKeyWait();  // and its handlers are in place
      terminal.Signal(kill.signal_number);
    }
    if (kill.scene.job == Job::kPidNamespaceInit) {
      constexpr std::string_view kNoNamespace = "%% no PID namespace";
      const std::string& shown = terminal.WaitUntil([&](const std::string& screen) {
        return screen.find(kNoNamespace) != std::string::npos ||
               screen.find(kReportMark) != std::string::npos;
      });
      if (shown.find(kNoNamespace) != std::string::npos) {
        std::cout << "no PID namespace can be made here: that case is left out\n";
        continue;
      }
    }
    EXPECT_EQ(terminal.Report(),
              kill.exit_status >= 0
                  ? Ending(kill.exit_status)
                  : Ending(-1, kill.signal_number != 0 ? kill.signal_number : SIGTERM))
        << "killed by " << kill.signal_number;
  }
}

TEST(KeyWait, StoppedAndContinuedTheWaitGoesOn) {
  struct Stop {
    Scene scene;
    int signal_number;
    bool while_request_is_written = false;  // to a terminal whose output is stopped
  };
  const Stop stops[] = {
      {{}, SIGTSTP},
      {{}, SIGSTOP},
      {{}, SIGTTIN},
      {{}, SIGTTOU},
      // Where the kernel discards the stop, the wait goes on at once.
      {{.job = Job::kOwnSession}, SIGTSTP},
      // Continued in the background first, it leaves the shell's prompt alone.
      {{.continued_in_background = true}, SIGSTOP},
      // What the user changed at the shell's prompt is what it gets back,
      // even after a stop that no program can catch.
      {{.stty_while_stopped = true}, SIGTSTP},
      {{.stty_while_stopped = true}, SIGSTOP},
      // A stop and a continue while the request waits for the terminal to
      // take output (Ctrl-S, a stalled link) do not lose it.
      {{}, SIGTSTP, true},
  };
  for (const Stop& stop : stops) {
    Terminal terminal(stop.scene);
    if (stop.while_request_is_written) {
      HoldInDropping(terminal);
      terminal.SetOutputStopped(true);
      terminal.AwaitKeyWait();
      terminal.AwaitSignalsTaken();  // asleep in the request's write
    } else {
      AnswerDialogue(terminal);
      terminal.AwaitKeyWait();
    }
    terminal.Signal(stop.signal_number);
    if (stop.scene.job == Job::kOwnSession || stop.while_request_is_written) {
      terminal.AwaitSignalsTaken();
      terminal.SetOutputStopped(false);
    } else {
      terminal.WaitFor(kContinuedMark);
    }
    terminal.AwaitKeyWait();
    terminal.Type("x");
    EXPECT_EQ(terminal.Report(), Ending(0)) << "stopped by " << stop.signal_number;
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
  terminal.AwaitKeyWait();
  terminal.Signal(SIGHUP);
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended by SIGHUP";
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, WhatCameBeforeTheRequestIsNotTheKey) {
  const std::vector<std::string> dialogues[] = {
      {"2\n", "1 2 3\n", "4 5 6\n7 8\n"},
      {"2\n", "1 2 3\n", "4 5 6\n" + Paste()},
      // The end of the input, which ends the last number too, at once.
      {"0\n", "5 3\x04\x04"},
  };
  for (const auto& answers : dialogues) {
    Terminal terminal;
    AnswerDialogue(terminal, answers);
    EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
    terminal.Type("x");
    EXPECT_EQ(terminal.Report(), Ending(0)) << answers.back().substr(0, 9);
  }
}

TEST(KeyWait, TheRequestsLineEndsWhereItIsShown) {
  {
    // Without a controlling terminal, at once: no key is read from elsewhere.
    Terminal terminal(
        {.in = Stdin::kPipeLeftOpen, .out = Stdout::kTerminalOutsideSession});
    EXPECT_EQ(terminal.Report(), Ending(0));
    EXPECT_TRUE(terminal.Dialogue().ends_with("клавишу\r\n")) << terminal.Dialogue();
  }
  // On another terminal than the one whose key it waits for.
  Terminal terminal({.in = Stdin::kPipe, .out = Stdout::kOtherTerminal});
  terminal.AwaitKeyWait();
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
  EXPECT_EQ(terminal.Dialogue(), "");
  const std::string other = terminal.OtherScreen();
  EXPECT_TRUE(other.ends_with("]\r\nНажмите любую клавишу\r\n")) << other;
}

TEST(KeyWait, GivesTheTerminalBackAfterTheShellTookIt) {
  Terminal terminal({.in = Stdin::kPipe, .job = Job::kOrphaned});
  terminal.WaitFor(kPressAnyKey);
  terminal.AwaitKeyWait();
  terminal.AwaitSignalsTaken();  // blocked in its read, which outlasts the foreground
  terminal.ShellTakesTheTerminalBack();
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, SteadyInputDoesNotKeepTheRequestAway) {
  Terminal terminal;
  AnswerDialogue(terminal, kAnswers, false);
  EXPECT_TRUE(terminal.TypeUntil("x", [](const std::string& shown) {
    return shown.find(kPressAnyKey) != std::string::npos;
  })) << "the request never showed while keys kept coming";
  // The last "x" may have come after the request, as its key.
  terminal.WaitUntil([&](const std::string& shown) {
    return shown.find(kReportMark) != std::string::npos || terminal.WaitsForKey();
  });
  if (terminal.WaitsForKey()) terminal.Type("q");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, WaitsAtTheTerminalWhateverStandardInputIs) {
  struct Start {
    Scene scene;
    int exit_status;
  };
  const Start starts[] = {
      {{.in = Stdin::kPipe}, 0},
      // In the background it stops once it wants the terminal, leaving it
      // alone, and waits for the key once the shell brings it back.
      {{.in = Stdin::kPipe, .job = Job::kBackground}, 0},
      // The terminal it opens is then descriptor 0; no input is a read error.
      {{.in = Stdin::kClosed}, 1},
  };
  for (const Start& start : starts) {
    Terminal terminal(start.scene);
    const std::string& shown = terminal.WaitFor(kPressAnyKey);
    EXPECT_EQ(shown.find(kContinuedMark) < shown.find(kPressAnyKey),
              start.scene.job == Job::kBackground);
    EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
    terminal.Type("q");
    EXPECT_EQ(terminal.Report(), Ending(start.exit_status));
  }
}

TEST(KeyWait, NoWaitWhereNoKeyCanBeAwaited) {
  const Scene scenes[] = {
      {.in = Stdin::kPipe, .out = Stdout::kDevNull},
      // `trap '' TTOU; polymul < input &`: the terminal can never be its own.
      {.in = Stdin::kPipe, .job = Job::kBackground, .ignored_signal = SIGTTOU},
  };
  for (const Scene& scene : scenes) {
    Terminal terminal(scene);
    EXPECT_EQ(terminal.Report(), Ending(0));
  }
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
