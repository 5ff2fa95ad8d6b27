// The shell that runs the program at a pseudo-terminal, and the terminal's
// side of the cases: what is typed, shown, and reported.
#include "tests/terminal_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tests/program_runner.h"

std::string Ending(int exit_status, int signal_number) {
  return signal_number != 0 ? "killed by signal " + std::to_string(signal_number)
                            : "exit status " + std::to_string(exit_status);
}

namespace {

using namespace std::chrono_literals;

// How `actual` differs from `expected`, field by field; empty if it does not.
// c_cflag is left out: a driver may change its hardware bits as it likes.
std::string Difference(const termios& actual, const termios& expected) {
  std::string differences;
  const auto compare = [&](const char* name, unsigned long got, unsigned long wanted) {
    if (got == wanted) return;
    std::array<char, 96> line{};
    std::snprintf(line.data(), line.size(), " %s %#lx instead of %#lx", name, got,
                  wanted);
    differences += line.data();
  };
  compare("c_iflag", actual.c_iflag, expected.c_iflag);
  compare("c_oflag", actual.c_oflag, expected.c_oflag);
  compare("c_lflag", actual.c_lflag, expected.c_lflag);
  for (std::size_t i = 0; i < std::size(actual.c_cc); ++i) {
    const std::string name = "c_cc[" + std::to_string(i) + "]";
    compare(name.c_str(), actual.c_cc[i], expected.c_cc[i]);
  }
  return differences;
}

// Whether the program starts with the terminal's settings the user's, not
// the shell's prompt's.
bool StartsInForeground(Job job) {
  return job != Job::kBackground && job != Job::kOrphanedInBackground;
}

// A parent that leaves the session or a namespace to its child, the program,
// and ends as it ends. The program starts once its parent has left, so that
// its group is orphaned before it can look at the terminal.
[[noreturn]] void BecomeProgramsParent(std::vector<std::string> command, Job job) {
  if (job == Job::kPidNamespaceInit && unshare(CLONE_NEWPID) != 0) _exit(126);
  int parent_ready[2] = {-1, -1};
  if (pipe2(parent_ready, O_CLOEXEC) != 0) _exit(126);
  const pid_t program = fork();
  if (program == 0) {
    setpgid(0, 0);
    if (job != Job::kOrphanedInBackground) {
      const int terminal = open("/dev/tty", O_RDWR);  // standard input may be a pipe
      tcsetpgrp(terminal, getpid());
      close(terminal);
    }
    close(parent_ready[1]);
    char none = 0;
    while (read(parent_ready[0], &none, 1) < 0 && errno == EINTR) {
    }
    ExecProgram(std::move(command));
  }
  if (job != Job::kPidNamespaceInit) setsid();
  close(parent_ready[1]);
  int status = 0;
  while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  _exit(WEXITSTATUS(status));
}

// The child that becomes the program: its session and group as the job asks,
// its standard input and output as the scene has them.
[[noreturn]] void BecomeJob(std::vector<std::string> command, const Scene& scene,
                            int feed, int other_terminal) {
  switch (scene.job) {
    case Job::kForeground:
      setpgid(0, 0);
      tcsetpgrp(STDIN_FILENO, getpid());
      break;
    case Job::kBackground:
      setpgid(0, 0);
      break;
    case Job::kWithoutTerminal:
      setsid();
      break;
    case Job::kOwnSession:
      setsid();
      ioctl(STDIN_FILENO, TIOCSCTTY, 0);
      break;
    case Job::kOrphaned:
    case Job::kOrphanedInBackground:
    case Job::kPidNamespaceInit:
      break;  // its parent-to-be, which makes the program's group
  }
  if (scene.left_nonblocking) {
    const int terminal = open(ttyname(STDIN_FILENO), O_RDWR | O_NOCTTY | O_NONBLOCK);
    dup2(terminal, STDIN_FILENO);
    dup2(terminal, STDOUT_FILENO);
    close(terminal);
  }
  switch (scene.in) {
    case Stdin::kTerminal:
      break;
    case Stdin::kPipe:
    case Stdin::kPipeLeftOpen:
      dup2(feed, STDIN_FILENO);
      break;
    case Stdin::kClosed:
      close(STDIN_FILENO);
      break;
  }
  switch (scene.out) {
    case Stdout::kTerminal:
      break;
    case Stdout::kDevNull:
      dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
      break;
    case Stdout::kOtherTerminal:
      dup2(other_terminal, STDOUT_FILENO);
      break;
  }
  setenv("LC_ALL", scene.locale, 1);
  if (scene.stop_at == StopAt::kAfterRequest) {
    setenv("POLYMUL_STOP_AFTER_WRITING", std::string(kPressAnyKey).c_str(), 1);
  }
  if (scene.stop_at == StopAt::kBeforeRestore)
    setenv("POLYMUL_STOP_BEFORE_RESTORE", "1", 1);
  if (scene.stop_at == StopAt::kOutputAtDrop)
    setenv("POLYMUL_STOP_OUTPUT_AT_DROP", "1", 1);
  if (scene.stop_at != StopAt::kNothing) {
    const char* path = std::getenv("POLYMUL_STOP_AFTER_RESTORE");
    const std::string stopper = path != nullptr ? path : POLYMUL_STOP_AFTER_RESTORE;
    // Named alone and found in its folder: LD_PRELOAD splits at blanks.
    const std::size_t slash = stopper.rfind('/');
    const std::string name = stopper.substr(slash + 1);
    const std::string folder = stopper.substr(0, slash);
    // Under qemu-user, for the program that it runs and not for itself.
    if (std::getenv("POLYMUL_LAUNCHER") != nullptr) {
      const char* others = std::getenv("QEMU_SET_ENV");
      const std::string variables = (others != nullptr ? std::string(others) + "," : "") +
                                    "LD_PRELOAD=" + name + ",LD_LIBRARY_PATH=" + folder;
      setenv("QEMU_SET_ENV", variables.c_str(), 1);
    } else {
      setenv("LD_PRELOAD", name.c_str(), 1);
      setenv("LD_LIBRARY_PATH", folder.c_str(), 1);
    }
    // Preloaded, it comes before the sanitizers' runtime of a sanitized build.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
  }
  if (scene.job == Job::kOrphaned || scene.job == Job::kOrphanedInBackground ||
      scene.job == Job::kPidNamespaceInit) {
    BecomeProgramsParent(std::move(command), scene.job);
  }
  ExecProgram(std::move(command), scene.ignored_signal);
}

// Runs inside the pseudo-terminal as its session leader, as bash would: starts
// the program as a job of its own and follows it to its end, noting each
// check that fails on the way.
class Shell {
 public:
  Shell(const Scene& scene, int other_terminal)
      : scene_(scene), other_terminal_(other_terminal) {}

  [[noreturn]] void Run(std::vector<std::string> command, int report) {
    TakeTerminal();
    const pid_t program = StartJob(std::move(command));
    const int status = FollowJob(program);
    CheckEnd();
    std::fputs("%% done\n", stdout);  // shown as kJobDone
    std::fflush(stdout);
    const std::string line = Ending(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                                    WIFSIGNALED(status) ? WTERMSIG(status) : 0) +
                             failures_ + "\n";
    [[maybe_unused]] const ssize_t written = write(report, line.data(), line.size());
    _exit(0);
  }

 private:
  // The user's settings, with the scene's input flags; bash and zsh edit
  // their command line without ICANON and ECHO, which a job in the background
  // must leave alone, reading the settings it is to give back only in the
  // foreground.
  void TakeTerminal() {
    signal(SIGTTOU, SIG_IGN);  // to hand the terminal to the job and back
    tcgetattr(STDIN_FILENO, &users_);
    users_.c_iflag |= scene_.input_flags;
    prompt_ = users_;
    prompt_.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    in_foreground_ = StartsInForeground(scene_.job);
    tcsetattr(STDIN_FILENO, TCSANOW, in_foreground_ ? &users_ : &prompt_);
    if (scene_.job == Job::kOrphaned) {
      signal(SIGUSR1, [](int) { tcsetpgrp(STDIN_FILENO, getpgrp()); });
    }
  }

  pid_t StartJob(std::vector<std::string> command) {
    int feed[2] = {-1, -1};
    if (scene_.in == Stdin::kPipe || scene_.in == Stdin::kPipeLeftOpen) {
      if (pipe(feed) == 0) {
        [[maybe_unused]] const auto written = write(feed[1], "0 3 5\n", 6);
        if (scene_.in == Stdin::kPipe) close(feed[1]);
      }
    }
    if (scene_.job == Job::kOwnSession) {  // hands the terminal on to the program
      signal(SIGHUP, SIG_IGN);
      ioctl(STDIN_FILENO, TIOCNOTTY);
    }
    const pid_t program = fork();
    if (program == 0) BecomeJob(std::move(command), scene_, feed[0], other_terminal_);
    // Both sides make the group, whichever comes first, as shells do.
    if (scene_.job == Job::kForeground || scene_.job == Job::kBackground) {
      setpgid(program, program);
    }
    if (scene_.job == Job::kForeground) tcsetpgrp(STDIN_FILENO, program);
    return program;
  }

  // Whenever the program stops, checks that the terminal was given back, or
  // left alone (which SIGSTOP allows no program), puts back its own settings
  // and continues it in the foreground (or in the background first), or kills
  // it; comes back with how it ended.
  int FollowJob(pid_t program) {
    int status = 0;
    for (;;) {
      if (waitpid(program, &status, WUNTRACED) < 0) {
        if (errno == EINTR) continue;
        return status;
      }
      if (!WIFSTOPPED(status)) return status;
      const std::string stop =
          "at the stop by signal " + std::to_string(WSTOPSIG(status));
      if (!in_foreground_) {
        Check(prompt_, stop + " in the background, the prompt's settings were changed:");
      } else if (WSTOPSIG(status) != SIGSTOP) {
        Check(users_, stop + ", the user's settings were not given back:");
      } else if (termios now{}; tcgetattr(STDIN_FILENO, &now) == 0 &&
                                (now.c_iflag & ICRNL) != (users_.c_iflag & ICRNL)) {
        failures_ += "; " + stop + ", the key mode left Enter no line end at the shell";
      }
      if (scene_.killed_when_stopped) {
        kill(-program, SIGTERM);
        kill(-program, SIGCONT);
      } else if (scene_.continued_in_background && in_foreground_) {  // bg
        tcsetattr(STDIN_FILENO, TCSANOW, &prompt_);
        tcsetpgrp(STDIN_FILENO, getpgrp());
        in_foreground_ = false;
        kill(-program, SIGCONT);
      } else {  // fg
        if (scene_.stty_while_stopped) users_.c_cc[VERASE] = '\b';
        termios settings = users_;
        if (scene_.shell_puts_nothing_back) {
          tcgetattr(STDIN_FILENO, &settings);
          settings.c_cc[VERASE] = users_.c_cc[VERASE];
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &settings);
        tcsetpgrp(STDIN_FILENO, program);
        in_foreground_ = true;
        kill(-program, SIGCONT);
        // After the program goes on: output that is stopped holds the shell here.
        std::fputs("%% continued\n", stdout);  // shown as kContinuedMark
        std::fflush(stdout);
      }
    }
  }

  // The terminal back with the shell, with the settings it had before the
  // program (the user's, changed or not while it was stopped), and no input
  // left for the next program.
  void CheckEnd() {
    tcsetpgrp(STDIN_FILENO, getpgrp());
    // What else the job started may still hold the terminal: Wine's console
    // puts back the settings it found as it ends, after the program.
    const termios& expected = in_foreground_ ? users_ : prompt_;
    termios now{};
    for (int tenth_seconds = 0; tenth_seconds < 50; ++tenth_seconds) {
      tcgetattr(STDIN_FILENO, &now);
      if (Difference(now, expected).empty()) break;
      poll(nullptr, 0, 100);
    }
    Check(expected, "at the end, the settings were not given back:");
    termios peek = now;
    peek.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    peek.c_cc[VMIN] = 0;
    peek.c_cc[VTIME] = 3;  // tenths of a second: the rest of a key may be late
    tcsetattr(STDIN_FILENO, TCSANOW, &peek);
    std::array<unsigned char, 64> left{};
    const ssize_t left_size = read(STDIN_FILENO, left.data(), left.size());
    if (left_size <= 0) return;
    failures_ += "; input was left for the shell:";
    for (ssize_t i = 0; i < left_size; ++i) {
      std::array<char, 4> byte{};
      std::snprintf(byte.data(), byte.size(), " %02x", left[static_cast<std::size_t>(i)]);
      failures_ += byte.data();
    }
  }

  void Check(const termios& expected, const std::string& failure) {
    termios now{};
    tcgetattr(STDIN_FILENO, &now);
    if (const std::string difference = Difference(now, expected); !difference.empty()) {
      failures_ += "; " + failure + difference;
    }
  }

  const Scene scene_;
  const int other_terminal_;
  termios users_{};
  termios prompt_{};
  bool in_foreground_ = true;
  std::string failures_;
};

// `text` with its control characters spelled out, for a failure's message;
// a screen's lines also broken where its line feeds are.
std::string Printable(std::string_view text, bool break_lines = false) {
  std::string printable;
  for (const char c : text) {
    if (c == '\n') {
      printable += break_lines ? "\\n\n" : "\\n";
    } else if (c == '\r') {
      printable += "\\r";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      std::array<char, 8> escape{};
      std::snprintf(escape.data(), escape.size(), "\\x%02x",
                    static_cast<unsigned char>(c));
      printable += escape.data();
    } else {
      printable += c;
    }
  }
  return printable;
}

}  // namespace

Terminal::Terminal(const Scene& scene) {
  std::vector<std::string> command = ProgramCommand();
  int other_slave = -1;
  if (scene.out == Stdout::kOtherTerminal &&
      openpty(&other_master_, &other_slave, nullptr, nullptr, nullptr) != 0) {
    throw std::runtime_error("no second pseudo-terminal: openpty failed");
  }
  int report[2] = {-1, -1};
  if (pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  report_pipe_ = report[0];
  std::fflush(nullptr);  // or the shell would write the tests' pending output too
  shell_ = forkpty(&master_, nullptr, nullptr, nullptr);
  if (shell_ == 0) {
    close(report[0]);
    Shell(scene, other_slave).Run(std::move(command), report[1]);
  }
  close(report[1]);
  if (other_slave >= 0) close(other_slave);
  if (shell_ < 0) throw std::runtime_error("no pseudo-terminal: forkpty failed");
  fcntl(master_, F_SETFL, O_NONBLOCK);  // a paste is typed as the program reads
  fcntl(report_pipe_, F_SETFL, O_NONBLOCK);
  slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
}

Terminal::~Terminal() {
  EndCaseProcesses();  // the shell, the program, and whatever either left
  for (const int fd : {master_, slave_, other_master_, report_pipe_}) {
    if (fd >= 0) close(fd);
  }
}

void Terminal::Type(std::string_view keys) {
  while (!keys.empty()) {
    pollfd ready{master_, POLLIN | POLLOUT, 0};
    if (poll(&ready, 1, static_cast<int>(kPatience.count())) <= 0) {
      if (!gave_up_) GiveUp("the terminal to take what is typed", kPatience);
      return;
    }
    if ((ready.revents & POLLIN) != 0) ReadScreen();
    const ssize_t written = write(master_, keys.data(), keys.size());
    if (written < 0 && errno != EAGAIN) return;
    if (written > 0) keys.remove_prefix(static_cast<std::size_t>(written));
  }
}

const std::string& Terminal::WaitFor(std::string_view text,
                                     std::chrono::milliseconds patience) {
  return WaitUntil(
      "\"" + Printable(text) + "\" on screen",
      [text](const std::string& shown) { return shown.find(text) != std::string::npos; },
      patience);
}

bool Terminal::EndsWithin(std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  // The screen is read meanwhile: a program whose output is not read stalls.
  while (!report_.ends_with('\n')) {
    std::array<pollfd, 2> ready{{{report_pipe_, POLLIN, 0}, {master_, POLLIN, 0}}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (poll(ready.data(), ready.size(), static_cast<int>(std::max(left, 0ms).count())) <=
        0) {
      return false;
    }
    if (ready[1].revents != 0) ReadScreen();
    if (ready[0].revents != 0) {
      std::array<char, 512> buffer;
      const ssize_t got = read(report_pipe_, buffer.data(), buffer.size());
      if (got <= 0) return !report_.empty();
      report_.append(buffer.data(), static_cast<std::size_t>(got));
    }
  }
  return true;
}

std::string Terminal::Report() {
  if (!EndsWithin(gave_up_ ? 0ms : kPatience)) {
    if (!gave_up_) GiveUp("the shell's report: the program has not ended", kPatience);
    return "no report";
  }
  return report_.substr(0, report_.find('\n'));
}

std::string Terminal::Dialogue() {
  Report();
  const std::string& screen = WaitFor(kJobDone);
  return screen.substr(0, screen.rfind(kJobDone));
}

std::string Terminal::OtherScreen() const {
  std::string shown;
  std::array<char, 4096> buffer;
  for (pollfd ready{other_master_, POLLIN, 0}; poll(&ready, 1, 0) > 0;) {
    const ssize_t got = read(other_master_, buffer.data(), buffer.size());
    if (got <= 0) break;
    shown.append(buffer.data(), static_cast<std::size_t>(got));
  }
  return shown;
}

void Terminal::Signal(int number) const {
  if (const pid_t job = tcgetpgrp(master_); job > 0) kill(-job, number);
}

void Terminal::SetOutputStopped(bool stopped) const {
  tcflow(slave_, stopped ? TCOOFF : TCOON);
}

void Terminal::ShellTakesTheTerminalBack() {
  kill(shell_, SIGUSR1);
  WaitUntil("the shell to be the terminal's foreground job again",
            [this](const std::string&) { return tcgetpgrp(master_) == shell_; });
}

bool Terminal::ReadsKeys() const { return (Settings().c_lflag & ICANON) == 0; }

void Terminal::AwaitKeyWait() {
  WaitUntil("the key wait's mode: no ICANON or ISIG, VMIN 1, VTIME 0",
            [this](const std::string&) {
              const termios settings = Settings();
              return (settings.c_lflag & (ICANON | ISIG)) == 0 &&
                     settings.c_cc[VMIN] == 1 && settings.c_cc[VTIME] == 0;
            });
}

bool Terminal::DropsInput() const {
  const termios settings = Settings();
  return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 0;
}

void Terminal::AwaitSignalsTaken() {
  WaitUntil("the program asleep, with no signal pending",
            [this](const std::string&) { return Sleeps(); });
}

void Terminal::TypeAndAwaitTheirRead(std::string_view keys) {
  const long long before = BytesRead();
  Type(keys);
  WaitUntil("the program asleep, with what was typed read", [&](const std::string&) {
    return BytesRead() > before && QueuedInput() == 0 && Sleeps();
  });
}

bool Terminal::WaitsForKey() const {
  const termios settings = Settings();
  return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 1 &&
         QueuedInput() == 0 && Sleeps();
}

bool Terminal::ReadScreen() {
  std::array<char, 4096> buffer;
  const ssize_t got = read(master_, buffer.data(), buffer.size());
  if (got > 0) screen_.append(buffer.data(), static_cast<std::size_t>(got));
  return got > 0 || (got < 0 && errno == EAGAIN);
}

void Terminal::GiveUp(std::string_view awaited, std::chrono::milliseconds patience) {
  gave_up_ = true;
  constexpr std::size_t kShownAtMost = 1000;
  const std::string_view shown = screen_;
  ADD_FAILURE() << "waited " << patience.count() << " ms for " << awaited
                << "; the terminal shows"
                << (shown.size() > kShownAtMost ? ", at its end:\n" : ":\n")
                << Printable(
                       shown.substr(shown.size() - std::min(shown.size(), kShownAtMost)),
                       true);
}

bool Terminal::Sleeps() const { return ReadProcessStatus(tcgetpgrp(master_)).Sleeps(); }

termios Terminal::Settings() const {
  termios settings{};
  if (tcgetattr(master_, &settings) != 0) settings.c_lflag = ICANON;
  return settings;
}

int Terminal::QueuedInput() const {
  int queued = -1;
  ioctl(slave_, FIONREAD, &queued);
  return queued;
}

long long Terminal::BytesRead() const {
  std::ifstream file("/proc/" + std::to_string(tcgetpgrp(master_)) + "/io");
  for (std::string field; file >> field;) {
    long long value = -1;
    file >> value;
    if (field == "rchar:") return value;
  }
  return -1;
}
