// The key wait on POSIX systems: one key read from the controlling terminal,
// whatever standard input is, in a mode that the program takes only while it is
// the terminal's foreground job, gives back whenever a signal ends or stops it,
// and takes again when it goes on.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <ostream>
#include <span>
#include <streambuf>

#include "console/console.h"
#include "console/output_posix.h"
#include "console/text_conversion.h"

namespace {

// The modes the wait puts the terminal in, each made from the user's settings.
enum class Mode : sig_atomic_t {
  kUsers,                 // the user's own settings: the wait is over
  kDroppingTypeAhead,     // before the request, Ctrl-C and Ctrl-Z still signals
  kKeyWhileRequestWaits,  // its write waits: Ctrl-C and Ctrl-Z still signals
  kKey,                   // one key, whatever it is
  kDroppingRestOfKey,     // after it
};

// What the signal handlers share with the wait: changed by the handlers
// themselves, which hold every other signal while they run, and by the wait
// with signals held, but for what a single store changes (g_output_with_request).
// The terminal the wait holds, or -1.
volatile sig_atomic_t g_terminal = -1;
// The settings to give back: the user's, as the shell gave them to the program.
termios g_users_settings;
// The mode to take again when the program goes on.
volatile Mode g_mode_to_take = Mode::kUsers;

// One byte at a time, unechoed; Ctrl-C, Ctrl-Z and Ctrl-S are keys like any
// other, and no input translation may swallow one (stty igncr, istrip). Enter
// may still send a line end: any key is the key, and a shell that puts
// nothing back after SIGSTOP (dash) is left a terminal whose Enter works.
// While input is dropped, a read ends once the terminal has been quiet for a
// tenth of a second.
constexpr tcflag_t kModeLocalFlags = ICANON | ECHO | ISIG | IEXTEN;
constexpr tcflag_t kModeInputFlags = IXON | IGNCR | INLCR | ISTRIP;

termios SettingsFor(Mode mode, const termios& users) {
  if (mode == Mode::kUsers) return users;
  termios settings = users;
  settings.c_lflag &= ~kModeLocalFlags;
  settings.c_iflag &= ~kModeInputFlags;
  const bool dropping =
      mode == Mode::kDroppingTypeAhead || mode == Mode::kDroppingRestOfKey;
  settings.c_cc[VMIN] = dropping ? 0 : 1;
  settings.c_cc[VTIME] = dropping ? 1 : 0;
  if (mode == Mode::kDroppingTypeAhead || mode == Mode::kKeyWhileRequestWaits) {
    settings.c_lflag |= ISIG;
  }
  return settings;
}

// Leaves out c_cflag, whose hardware bits a driver may change as it likes.
bool SameSettings(const termios& a, const termios& b) {
  for (int i = 0; i < NCCS; ++i) {
    if (a.c_cc[i] != b.c_cc[i]) return false;
  }
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag;
}

bool HoldsOwnMode(const termios& current) {
  for (const Mode mode : {Mode::kDroppingTypeAhead, Mode::kKeyWhileRequestWaits,
                          Mode::kKey, Mode::kDroppingRestOfKey}) {
    if (SameSettings(current, SettingsFor(mode, g_users_settings))) return true;
  }
  return false;
}

// The user's settings, as the terminal holds them now: where it still holds
// the wait's mode (dash puts nothing back after SIGSTOP), perhaps with what
// the user changed at the shell meanwhile (stty erase ^H, typed blind), the
// parts that the mode sets are the user's own from before.
termios UsersSettingsFrom(const termios& current) {
  const bool in_wait_mode =
      HoldsOwnMode(current) ||
      ((current.c_lflag & ICANON) == 0 && (g_users_settings.c_lflag & ICANON) != 0);
  if (!in_wait_mode) return current;
  termios users = current;
  users.c_lflag =
      (current.c_lflag & ~kModeLocalFlags) | (g_users_settings.c_lflag & kModeLocalFlags);
  users.c_iflag =
      (current.c_iflag & ~kModeInputFlags) | (g_users_settings.c_iflag & kModeInputFlags);
  users.c_cc[VMIN] = g_users_settings.c_cc[VMIN];
  users.c_cc[VTIME] = g_users_settings.c_cc[VTIME];
  return users;
}

bool InForeground(int terminal) { return tcgetpgrp(terminal) == getpgrp(); }

void SetSettings(int terminal, int when, const termios& settings) {
  while (tcsetattr(terminal, when, &settings) != 0 && errno == EINTR) {
  }
}

// With SIGTTOU held, as it is in every handler here. The shell may have taken
// the terminal back while the program waited (its parent ended, and dash does
// not repair the terminal): the user's settings go back all the same, as long
// as the terminal still holds this program's mode and nobody else's. Says
// whether they went back.
bool GiveTerminalBack() {
  const int terminal = g_terminal;
  termios current;
  if (terminal < 0 || tcgetattr(terminal, &current) != 0 || !HoldsOwnMode(current)) {
    return false;
  }
  SetSettings(terminal, TCSANOW, g_users_settings);
  return true;
}

// How many times the program has gone on after a stop.
volatile sig_atomic_t g_continues = 0;

// The request as the terminal gets it, from the start of its line, for the
// handler that shows it again; and how many bytes standard output holds once
// all of it is written (or -1 once the key is read): a return to the
// foreground after that shows it again.
std::array<char, 1 + ConsoleTextBufferSize * kMaxBytesPerCharacter> g_request_again;
std::size_t g_request_again_size = 0;
volatile sig_atomic_t g_output_with_request = -1;

// Only the foreground job may take the terminal: from the background the mode
// would land under the shell's prompt. What the terminal holds when the
// program goes on, less the wait's own mode, is what the user wants from now
// on: the settings the shell put back, or those the user changed at the shell
// while the program was stopped (stty erase ^H), whether the stop came during
// the wait or just after it gave the user's settings back.
// Says whether it took the terminal.
bool TakeTerminalAgain() {
  g_continues = g_continues + 1;
  const int terminal = g_terminal;
  if (terminal < 0 || !InForeground(terminal)) return false;
  termios current;
  if (tcgetattr(terminal, &current) == 0) g_users_settings = UsersSettingsFrom(current);
  SetSettings(terminal, TCSANOW, SettingsFor(g_mode_to_take, g_users_settings));
  return true;
}

void SetHandler(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  // While one handler runs the others wait, so that none undoes another's
  // work; a handler that returns does not fail the call it interrupted (the
  // request's write to a terminal whose output is stopped, say).
  sigfillset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
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
  GiveTerminalBack();
  g_terminal = -1;  // a signal waiting behind this one must not take it again
  SetHandler(number, SIG_DFL);
  raise(number);
  SetBlocked(number, SIG_UNBLOCK);  // ends the program here,
  // unless the kernel discards the signal: it does so for the first process
  // of a PID namespace (docker run, unshare --pid).
  _exit(128 + number);
}

// As full-screen programs do: the shell gets its terminal back while the
// program is stopped, and the wait takes it again when the program goes on.
// In an orphaned group (a program that is its session's first) the kernel
// discards the stop, and the terminal is taken again at once.
extern "C" void GiveTerminalBackAndStop(int number) {
  const int saved_errno = errno;
  GiveTerminalBack();
  SetHandler(number, SIG_DFL);
  raise(number);
  SetBlocked(number, SIG_UNBLOCK);  // stopped here until SIGCONT
  SetBlocked(number, SIG_BLOCK);
  SetHandler(number, GiveTerminalBackAndStop);
  TakeTerminalAgain();
  errno = saved_errno;
}

// However the program was stopped, SIGSTOP too, which no program can catch:
// where the terminal still holds the wait's mode (bash puts back the job's),
// the user's settings stay as they were.
extern "C" void TakeTerminalOnContinue(int) {
  const int saved_errno = errno;
  if (TakeTerminalAgain() && g_output_with_request >= 0 &&
      StandardOutputWritten() == g_output_with_request) {
    // The screen shows the shell's `fg`, not what the program waits for. The
    // shells end their line; where none wrote anything (a stop and a continue
    // from elsewhere), the request is written over itself. The write may wait
    // for a terminal whose output is stopped: meanwhile a signal that ends
    // the program still does, and gives the terminal back.
    sigset_t ending;
    sigfillset(&ending);
    for (const int number : {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT})
      sigdelset(&ending, number);
    sigprocmask(SIG_UNBLOCK, &ending, nullptr);
    WriteToStandardOutput(g_request_again.data(), g_request_again_size);
    g_output_with_request = StandardOutputWritten();
  }
  errno = saved_errno;
}

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

// What each signal the wait handles had before, by its number: a table with a
// place for every signal there is, so none can be left out.
struct WatchedSignals {
  std::array<struct sigaction, NSIG> previous{};
  std::array<bool, NSIG> handled{};
};
WatchedSignals g_watched;

void Watch(int number, void (*handler)(int)) {
  const auto at = static_cast<std::size_t>(number);
  struct sigaction& previous = g_watched.previous[at];
  // An ignored signal stays ignored, as under nohup; SIGCONT continues the
  // program even then.
  const bool handled = sigaction(number, nullptr, &previous) == 0 &&
                       (previous.sa_handler != SIG_IGN || number == SIGCONT);
  g_watched.handled[at] = handled;
  if (handled) SetHandler(number, handler);
}

template <typename Action>
void ForEachEndingSignal(Action action) {
  for (const int number : kEndingSignals) action(number);
#ifdef SIGRTMIN  // real-time signals, where the system has them
  for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) action(number);
#endif
}

void WatchSignals() {
  ForEachEndingSignal([](int number) { Watch(number, GiveTerminalBackAndEnd); });
  for (const int number : kStopSignals) Watch(number, GiveTerminalBackAndStop);
  Watch(SIGCONT, TakeTerminalOnContinue);
}

void UnwatchSignals() {
  for (int number = 1; number < NSIG; ++number) {
    const auto at = static_cast<std::size_t>(number);
    if (g_watched.handled[at]) sigaction(number, &g_watched.previous[at], nullptr);
    g_watched.handled[at] = false;
  }
}

// Takes `mode` now, if in the foreground, and again whenever the program goes
// on. In the background nothing changes now; the next read stops the program
// ("Stopped (tty input)"), and the mode is taken once the shell brings it back.
void TakeMode(int terminal, int when, Mode mode) {
  for (;;) {
    termios settings;
    sig_atomic_t continues = 0;
    WithSignalsHeld([&] {
      g_mode_to_take = mode;
      settings = SettingsFor(mode, g_users_settings);
      continues = g_continues;
    });
    // No signal is held across the change: a stop must be able to come.
    if (InForeground(terminal)) SetSettings(terminal, when, settings);
    // A stop in between may have changed the user's settings, and these
    // were made from the old ones.
    if (g_continues == continues) return;
  }
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

// The controlling terminal, once the program is its foreground job, and the
// user's settings read there: in the background they may be the shell's own,
// for editing its command line. -1 without one.
int OpenTerminalInForeground(termios& users) {
  const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) return -1;
  if (!AwaitForeground(terminal) || tcgetattr(terminal, &users) != 0) {
    close(terminal);
    return -1;
  }
  return terminal;
}

// From here on every signal that stops or ends the program gives the terminal
// back first.
void HoldTerminal(int terminal, const termios& users) {
  WithSignalsHeld([&] {
    g_users_settings = users;
    g_mode_to_take = Mode::kUsers;
    g_output_with_request = -1;
    g_terminal = terminal;
    WatchSignals();
  });
}

void ReleaseTerminal(int terminal) {
  // A stop from here on gives back, and takes again, the user's settings.
  TakeMode(terminal, TCSAFLUSH, Mode::kUsers);
  WithSignalsHeld([&] {
    GiveTerminalBack();  // where the shell took the terminal back meanwhile
    g_terminal = -1;
    UnwatchSignals();
  });
  close(terminal);
}

double SecondsSince(const timespec& start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Drops what the terminal delivers until it has been quiet for a tenth of a
// second: a paste larger than the kernel's buffer, or the rest of a key that
// sends several bytes (an arrow, a Cyrillic letter in UTF-8), would otherwise
// be taken for the key or reach the shell as typed text. For a second at most:
// steady input (a held key, a noisy line) must not keep the program from going on.
void DropInputUntilQuiet(int terminal, int when, Mode dropping) {
  constexpr double kLongestSeconds = 1.0;
  TakeMode(terminal, when, dropping);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  std::array<char, 512> dropped;
  while (SecondsSince(start) < kLongestSeconds) {
    const ssize_t got = read(terminal, dropped.data(), dropped.size());
    if (got == 0 || (got < 0 && errno != EINTR)) return;
  }
}

bool ReadKey(int terminal) {
  unsigned char key = 0;
  ssize_t got = 0;
  do {
    got = read(terminal, &key, 1);
  } while (got < 0 && errno == EINTR);
  g_output_with_request = -1;
  return got == 1;
}

// The bytes of `request` as PrintConsoleText writes them.
class RequestBytes : public std::streambuf {
 public:
  explicit RequestBytes(std::span<char> bytes) {
    setp(bytes.data(), bytes.data() + bytes.size());
  }
  std::size_t size() const { return static_cast<std::size_t>(pptr() - pbase()); }
};

// Readies the request to be shown again, once standard output holds it all.
void NoteRequest(const MessageText& request) {
  RequestBytes bytes{std::span(g_request_again).subspan(1)};
  std::ostream out(&bytes);
  PrintConsoleText(out, request);
  WithSignalsHeld([&] {
    g_request_again[0] = '\r';
    g_request_again_size = 1 + bytes.size();
    g_output_with_request =
        StandardOutputWritten() + static_cast<sig_atomic_t>(bytes.size());
  });
}

// Whether the output is on screen, for WaitForKeyPress.
bool g_on_screen = false;

}  // namespace

// There the handler that gives the terminal back ends the program from the
// start, before it holds the terminal.
void EndOnSignalsEvenAsFirstProcess() {
  if (getpid() != 1) return;
  ForEachEndingSignal([](int number) { Watch(number, GiveTerminalBackAndEnd); });
}

void PrepareForKeyPress(const MessageText& request) {
  StandardOutput().flush();
  // Output that goes to a file or a pipe has no reader to wait for.
  g_on_screen = isatty(STDOUT_FILENO) != 0;
  if (!g_on_screen) return;
  termios users;
  const int terminal = OpenTerminalInForeground(users);
  if (terminal < 0) return;
  HoldTerminal(terminal, users);
  // Keys typed or pasted before the request are not the key; one pressed once
  // the request is on screen is never dropped.
  DropInputUntilQuiet(terminal, TCSAFLUSH, Mode::kDroppingTypeAhead);
  // Until the request shows, Ctrl-C still ends the program: where its write
  // is to wait (a stalled link, output stopped with tcflow), the signal keys
  // work until it is out. Elsewhere a Ctrl-C typed as it shows is the key.
  pollfd output{STDOUT_FILENO, POLLOUT, 0};
  const bool request_waits = poll(&output, 1, 0) != 1;
  TakeMode(terminal, TCSANOW, request_waits ? Mode::kKeyWhileRequestWaits : Mode::kKey);
  NoteRequest(request);
}

void WaitForKeyPress() {
  std::ostream& out = StandardOutput();
  out.flush();
  if (!g_on_screen) return;
  if (const int terminal = g_terminal; terminal >= 0) {
    if (g_mode_to_take == Mode::kKeyWhileRequestWaits) {
      TakeMode(terminal, TCSANOW, Mode::kKey);  // once the request is out
    }
    if (ReadKey(terminal)) {
      DropInputUntilQuiet(terminal, TCSANOW, Mode::kDroppingRestOfKey);
    }
    ReleaseTerminal(terminal);
  }
  // The request has no line end of its own: the shell's prompt gets a fresh
  // line, on the terminal that shows the request.
  out.put('\n').flush();
}
