// The key wait on POSIX systems: one key read from the controlling terminal,
// whatever standard input is, in a mode that the terminal loses whenever a
// signal ends or stops the program and takes again when it goes on.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <iostream>

#include "console/console.h"

namespace {

// Set only while the terminal is in key-wait mode, for the signal handlers.
volatile sig_atomic_t g_waiting_terminal = -1;
termios g_saved_settings;
termios g_key_wait_settings;  // the mode to take again after a stop

// The signals that end a process unless caught: each must give the terminal
// back first, or a shell that does not repair it (sh, dash) sits on a raw one.
// glibc keeps the two signals below SIGRTMIN for itself; nothing can catch them.
constexpr int kEndingSignals[] = {
    SIGABRT,   SIGALRM, SIGBUS,    SIGFPE,  SIGHUP,  SIGILL,  SIGINT,
    SIGPIPE,   SIGPROF, SIGQUIT,   SIGSEGV, SIGSYS,  SIGTERM, SIGTRAP,
    SIGUSR1,   SIGUSR2, SIGVTALRM, SIGXCPU, SIGXFSZ,
#ifdef __linux__  // elsewhere these are ignored by default, or do not exist
    SIGIO,     SIGPWR,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

struct Signals {
  std::array<int, 96> numbers{};
  std::size_t count = 0;
};
Signals SignalsThatEndTheWait() {
  Signals signals;
  for (const int number : kEndingSignals) signals.numbers[signals.count++] = number;
#ifdef SIGRTMIN  // real-time signals, where the system has them
  for (int number = SIGRTMIN;
       number <= SIGRTMAX && signals.count < signals.numbers.size(); ++number) {
    signals.numbers[signals.count++] = number;
  }
#endif
  return signals;
}

void SetTerminal(const termios& settings) {
  if (g_waiting_terminal >= 0) tcsetattr(g_waiting_terminal, TCSANOW, &settings);
}

void SetHandler(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(number, &action, nullptr);
}

// Runs with every signal held back, so that no handler sees half of it.
template <typename Action>
void WithSignalsHeld(Action action) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  action();
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

extern "C" void RestoreTerminalAndDie(int signal_number) {
  SetTerminal(g_saved_settings);
  signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered, with its default action, when this returns
}

// As full-screen programs do: the shell gets its terminal back while the
// program is stopped...
extern "C" void RestoreTerminalAndStop(int) {
  const int saved_errno = errno;
  SetTerminal(g_saved_settings);
  SetHandler(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  raise(SIGTSTP);  // stopped here until SIGCONT
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  SetHandler(SIGTSTP, RestoreTerminalAndStop);
  errno = saved_errno;
}

// ...and the wait takes it again when the program goes on, however it was
// stopped: a shell puts back its own settings even after SIGSTOP.
extern "C" void TakeTerminalAgain(int) {
  const int saved_errno = errno;
  SetTerminal(g_key_wait_settings);
  errno = saved_errno;
}

bool SetKeyWaitMode(int terminal, int when, const termios& settings) {
  bool set = false;
  WithSignalsHeld([&] {
    g_key_wait_settings = settings;
    set = tcsetattr(terminal, when, &settings) == 0;
  });
  return set;
}

// An arrow or a function key sends several bytes, a Cyrillic letter two in
// UTF-8. Left unread, the rest would reach the shell as typed text.
void ReadRestOfKey(int terminal, termios settings) {
  constexpr cc_t kTenthsOfSecondBetweenBytes = 1;
  constexpr int kLongestKey = 32;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = kTenthsOfSecondBetweenBytes;
  SetKeyWaitMode(terminal, TCSANOW, settings);
  unsigned char byte = 0;
  for (int count = 0; count < kLongestKey && read(terminal, &byte, 1) == 1; ++count) {
  }
}

}  // namespace

void WaitForKeyPress() {
  std::cout.flush();
  // Output that goes to a file or a pipe has no reader to wait for.
  if (isatty(STDOUT_FILENO) == 0) return;
  const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios saved;
  if (terminal < 0 || tcgetattr(terminal, &saved) != 0) {
    // No terminal to read a key from (setsid, say): still, the shell's prompt
    // should not run on after the last text.
    [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, "\n", 1);
    if (terminal >= 0) close(terminal);
    return;
  }
  // One byte at a time, unechoed; Ctrl-C and Ctrl-S are keys like any other,
  // and no input translation may swallow or change one (stty igncr, istrip).
  termios key_wait = saved;
  key_wait.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  key_wait.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | IGNCR | INLCR | ISTRIP);
  key_wait.c_cc[VMIN] = 1;
  key_wait.c_cc[VTIME] = 0;

  g_saved_settings = saved;
  g_key_wait_settings = key_wait;
  g_waiting_terminal = terminal;
  const Signals signals = SignalsThatEndTheWait();
  std::array<struct sigaction, Signals{}.numbers.size() + 2> previous{};
  const auto watch = [&](int number, std::size_t slot, void (*handler)(int)) {
    if (sigaction(number, nullptr, &previous[slot]) != 0) return;
    // An ignored signal stays ignored, as under nohup; SIGCONT continues the
    // program even then.
    if (previous[slot].sa_handler != SIG_IGN || number == SIGCONT) {
      SetHandler(number, handler);
    }
  };
  for (std::size_t i = 0; i < signals.count; ++i) {
    watch(signals.numbers[i], i, RestoreTerminalAndDie);
  }
  watch(SIGTSTP, signals.count, RestoreTerminalAndStop);
  watch(SIGCONT, signals.count + 1, TakeTerminalAgain);

  // TCSAFLUSH drops what was typed or pasted before the request to press a
  // key: the key is one pressed after it.
  if (SetKeyWaitMode(terminal, TCSAFLUSH, key_wait)) {
    unsigned char key = 0;
    ssize_t got = 0;
    do {
      got = read(terminal, &key, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1 && (key == 0x1B || key >= 0x80)) ReadRestOfKey(terminal, key_wait);
  }
  // A signal that comes now waits until the terminal is back and the handlers
  // are the program's again, so that none takes the terminal after this.
  WithSignalsHeld([&] {
    // TCSAFLUSH also drops keys typed after the one awaited.
    tcsetattr(terminal, TCSAFLUSH, &saved);
    g_waiting_terminal = -1;
    for (std::size_t i = 0; i < signals.count; ++i) {
      sigaction(signals.numbers[i], &previous[i], nullptr);
    }
    sigaction(SIGTSTP, &previous[signals.count], nullptr);
    sigaction(SIGCONT, &previous[signals.count + 1], nullptr);
  });
  // The prompt has no line end of its own; give the shell a fresh line.
  [[maybe_unused]] const ssize_t written = write(terminal, "\n", 1);
  close(terminal);
}
