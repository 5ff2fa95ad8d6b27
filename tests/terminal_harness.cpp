// The shell that runs the program at a pseudo-terminal, and the terminal's
// side of the cases: what is typed, shown, and reported.
#include "tests/terminal_harness.h"

#include <fcntl.h>
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

#include "tests/program_runner.h"

std::string Ending(int exit_status, int signal_number) {
  return "@@ exit=" + std::to_string(exit_status) +
         " signal=" + std::to_string(signal_number) + " restored=1 left=[] ##\r\n";
}

namespace {

using namespace std::chrono_literals;

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

}  // namespace

Terminal::Terminal(const Scene& scene) {
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

Terminal::~Terminal() {
  EndCaseProcesses();  // the shell, the program, and whatever either left
  for (const int fd : {master_, slave_, other_master_}) {
    if (fd >= 0) close(fd);
  }
}

void Terminal::Type(std::string_view keys) {
  while (!keys.empty()) {
    pollfd ready{master_, POLLIN | POLLOUT, 0};
    if (poll(&ready, 1, 10000) <= 0) return;
    if ((ready.revents & POLLIN) != 0) ReadScreen();
    const ssize_t written = write(master_, keys.data(), keys.size());
    if (written < 0 && errno != EAGAIN) return;
    if (written > 0) keys.remove_prefix(static_cast<std::size_t>(written));
  }
}

void Terminal::SetOutputStopped(bool stopped) const {
  tcflow(slave_, stopped ? TCOOFF : TCOON);
}

void Terminal::ShellTakesTheTerminalBack() {
  kill(shell_, SIGUSR1);
  WaitUntil([this](const std::string&) { return tcgetpgrp(master_) == shell_; });
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

bool Terminal::EndsWithin(std::chrono::milliseconds patience) {
  return WaitFor(kReportMark, patience).find(kReportMark) != std::string::npos;
}

std::string Terminal::Report() {
  WaitFor(" ##\r\n");
  const auto at = screen_.find(kReportMark);
  return at == std::string::npos ? "<no report>" : screen_.substr(at);
}

std::string Terminal::Dialogue() {
  const std::string& screen = WaitFor(kReportMark);
  return screen.substr(0, screen.find(kReportMark));
}

void Terminal::Signal(int number) const {
  if (const pid_t job = tcgetpgrp(master_); job > 0) kill(-job, number);
}

bool Terminal::ReadsKeys() const {
  const termios settings = Settings();
  return (settings.c_lflag & ICANON) == 0;
}

void Terminal::AwaitKeyWait() {
  WaitUntil([this](const std::string&) {
    const termios settings = Settings();
    return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 1 &&
           settings.c_cc[VTIME] == 0;
  });
}

bool Terminal::DropsInput() const {
  const termios settings = Settings();
  return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 0;
}

void Terminal::AwaitSignalsTaken() {
  WaitUntil([this](const std::string&) { return Sleeps(); });
}

bool Terminal::WaitsForKey() const {
  const termios settings = Settings();
  int queued = -1;
  ioctl(slave_, FIONREAD, &queued);
  return (settings.c_lflag & ICANON) == 0 && settings.c_cc[VMIN] == 1 && queued == 0 &&
         Sleeps();
}

bool Terminal::ReadScreen() {
  std::array<char, 4096> buffer;
  const ssize_t got = read(master_, buffer.data(), buffer.size());
  if (got > 0) screen_.append(buffer.data(), static_cast<std::size_t>(got));
  return got > 0 || (got < 0 && errno == EAGAIN);
}

bool Terminal::Sleeps() const {
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

termios Terminal::Settings() const {
  termios settings{};
  if (tcgetattr(master_, &settings) != 0) settings.c_lflag = ICANON;
  return settings;
}
