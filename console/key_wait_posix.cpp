// The key wait on POSIX systems: one key read from the controlling terminal,
// whatever standard input is, in a mode that the program takes only while it is
// the terminal's foreground job, gives back whenever a signal ends or stops it,
// and takes again when it goes on.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <iostream>

#include "console/console.h"

namespace {

// The terminal while the key wait holds it, for the signal handlers; else -1.
volatile sig_atomic_t g_terminal = -1;
termios g_saved_settings;
// The mode to take again when the program goes on; changed with signals held.
termios g_mode;

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
// Ctrl-Z is a key during the wait, but `kill -TSTP` and the kernel's checks
// on a job in the background still stop the program.
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

bool InForeground(int terminal) { return tcgetpgrp(terminal) == getpgrp(); }

// Only the foreground job may change the terminal: from the background the
// settings would land under the shell or another program.
void SetTerminal(int terminal, int when, const termios& settings) {
  if (terminal < 0 || !InForeground(terminal)) return;
  while (tcsetattr(terminal, when, &settings) != 0 && errno == EINTR) {
  }
}

void SetHandler(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  // While one handler runs the others wait, so that none undoes another's work.
  sigfillset(&action.sa_mask);
  sigaction(number, &action, nullptr);
}

void SetBlocked(int number, int how) {
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, number);
  sigprocmask(how, &one, nullptr);
}

template <typename Action>
void WithSignalsHeld(Action action) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  action();
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

extern "C" void GiveTerminalBackAndEnd(int number) {
  SetTerminal(g_terminal, TCSANOW, g_saved_settings);
  g_terminal = -1;  // a signal waiting behind this one must not take it again
  SetHandler(number, SIG_DFL);
  raise(number);
  SetBlocked(number, SIG_UNBLOCK);  // ends the program here
}

// As full-screen programs do: the shell gets its terminal back while the
// program is stopped, and the wait takes it again when the program goes on.
// In an orphaned group (a program that is its session's first) the kernel
// discards the stop, and the terminal is taken again at once.
extern "C" void GiveTerminalBackAndStop(int number) {
  const int saved_errno = errno;
  SetTerminal(g_terminal, TCSANOW, g_saved_settings);
  SetHandler(number, SIG_DFL);
  raise(number);
  SetBlocked(number, SIG_UNBLOCK);  // stopped here until SIGCONT
  SetBlocked(number, SIG_BLOCK);
  SetHandler(number, GiveTerminalBackAndStop);
  SetTerminal(g_terminal, TCSANOW, g_mode);
  errno = saved_errno;
}

// However the program was stopped: a shell puts back its own settings even
// after SIGSTOP, which no program can catch.
extern "C" void TakeTerminalAgain(int) {
  const int saved_errno = errno;
  SetTerminal(g_terminal, TCSANOW, g_mode);
  errno = saved_errno;
}

struct Watched {
  int number = 0;
  void (*handler)(int) = nullptr;
  struct sigaction previous {};
  bool set = false;
};

struct KeyWait {
  bool on_screen = false;
  termios key_wait{};
  std::array<Watched, 100> watched{};
  std::size_t watched_count = 0;

  void Watch(int number, void (*handler)(int)) {
    if (watched_count < watched.size()) watched[watched_count++] = {number, handler};
  }
};
KeyWait g_wait;

void WatchSignals() {
  g_wait.watched_count = 0;
  for (const int number : kEndingSignals) g_wait.Watch(number, GiveTerminalBackAndEnd);
#ifdef SIGRTMIN  // real-time signals, where the system has them
  for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) {
    g_wait.Watch(number, GiveTerminalBackAndEnd);
  }
#endif
  for (const int number : kStopSignals) g_wait.Watch(number, GiveTerminalBackAndStop);
  g_wait.Watch(SIGCONT, TakeTerminalAgain);
  for (std::size_t i = 0; i < g_wait.watched_count; ++i) {
    Watched& signal = g_wait.watched[i];
    signal.set = sigaction(signal.number, nullptr, &signal.previous) == 0 &&
                 // An ignored signal stays ignored, as under nohup; SIGCONT
                 // continues the program even then.
                 (signal.previous.sa_handler != SIG_IGN || signal.number == SIGCONT);
    if (signal.set) SetHandler(signal.number, signal.handler);
  }
}

void UnwatchSignals() {
  for (std::size_t i = 0; i < g_wait.watched_count; ++i) {
    const Watched& signal = g_wait.watched[i];
    if (signal.set) sigaction(signal.number, &signal.previous, nullptr);
  }
}

// Takes `mode` now, if in the foreground, and again whenever the program goes on.
// No signal is held across the change: from the background it stops the
// program, as it should.
void TakeMode(int terminal, int when, const termios& mode) {
  WithSignalsHeld([&] { g_mode = mode; });
  SetTerminal(terminal, when, mode);
}

// Comes back once the program is the terminal's foreground job. From the
// background the kernel's own check stops it here ("Stopped (tty output)")
// until the shell brings it back. False where that can never be: in an
// orphaned group, or with SIGTTOU ignored or blocked.
bool AwaitForeground(int terminal) {
  for (;;) {
    if (InForeground(terminal)) return true;
    const int drained = tcdrain(terminal);
    if (InForeground(terminal)) return true;
    if (drained == 0 || errno != EINTR) return false;
  }
}

// Drops what the terminal delivers until it has been quiet for a tenth of a
// second: a paste larger than the kernel's buffer, or the rest of a key that
// sends several bytes (an arrow, a Cyrillic letter in UTF-8), would otherwise
// be taken for the key or reach the shell as typed text.
void DropInputUntilQuiet(int terminal, int when) {
  constexpr cc_t kQuietTenthsOfSecond = 1;
  termios drain = g_wait.key_wait;
  drain.c_cc[VMIN] = 0;
  drain.c_cc[VTIME] = kQuietTenthsOfSecond;
  TakeMode(terminal, when, drain);
  std::array<char, 512> dropped;
  for (;;) {
    const ssize_t got = read(terminal, dropped.data(), dropped.size());
    if (got == 0 || (got < 0 && errno != EINTR)) return;
  }
}

}  // namespace

void PrepareForKeyPress() {
  std::cout.flush();
  // Output that goes to a file or a pipe has no reader to wait for.
  g_wait.on_screen = isatty(STDOUT_FILENO) != 0;
  if (!g_wait.on_screen) return;
  const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios saved;
  // The settings are read in the foreground: in the background they may be
  // the shell's own, for editing its command line.
  if (terminal < 0 || !AwaitForeground(terminal) || tcgetattr(terminal, &saved) != 0) {
    if (terminal >= 0) close(terminal);
    return;
  }
  // One byte at a time, unechoed; Ctrl-C, Ctrl-Z and Ctrl-S are keys like any
  // other, and no input translation may swallow or change one (stty igncr,
  // istrip).
  g_wait.key_wait = saved;
  g_wait.key_wait.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  g_wait.key_wait.c_iflag &=
      ~static_cast<tcflag_t>(IXON | ICRNL | IGNCR | INLCR | ISTRIP);
  g_wait.key_wait.c_cc[VMIN] = 1;
  g_wait.key_wait.c_cc[VTIME] = 0;
  WithSignalsHeld([&] {
    g_saved_settings = saved;
    g_mode = saved;
    g_terminal = terminal;
    WatchSignals();
  });
  // Keys typed or pasted before the request are not the key; one pressed once
  // the request is on screen is never dropped.
  DropInputUntilQuiet(terminal, TCSAFLUSH);
  TakeMode(terminal, TCSANOW, g_wait.key_wait);
}

void WaitForKeyPress() {
  std::cout.flush();
  if (!g_wait.on_screen) return;
  const int terminal = g_terminal;
  if (terminal < 0) {
    // No terminal to read a key from (setsid, say): still, the shell's prompt
    // should not run on after the last text.
    [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, "\n", 1);
    return;
  }
  unsigned char key = 0;
  ssize_t got = 0;
  do {
    got = read(terminal, &key, 1);
  } while (got < 0 && errno == EINTR);
  if (got == 1) DropInputUntilQuiet(terminal, TCSANOW);
  // A stop from here on gives back, and takes again, the shell's own settings;
  // after the handlers are gone a stop has its default action.
  TakeMode(terminal, TCSAFLUSH, g_saved_settings);
  WithSignalsHeld([&] {
    g_terminal = -1;
    UnwatchSignals();
  });
  // The request has no line end of its own; give the shell a fresh line.
  [[maybe_unused]] const ssize_t written = write(terminal, "\n", 1);
  close(terminal);
}
