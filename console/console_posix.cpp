// The terminal on POSIX systems: its character set comes from the locale, and
// the key is read from the controlling terminal, whatever standard input is.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>

#include "console/console.h"
#include "console/text_conversion.h"

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

struct TerminalCharset {
  Charset charset = Charset::kUtf8;
  iconv_t converter = kNoConverter;  // for Charset::kOther only
};

// The character set part of a locale name such as ru_RU.KOI8-R@euro.
std::string_view CodesetOfLocaleName(std::string_view locale) {
  const auto dot = locale.find('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view codeset = locale.substr(dot + 1);
  return codeset.substr(0, codeset.find('@'));
}

bool IsPlainAscii(std::string_view codeset) {
  return codeset == "ANSI_X3.4-1968" || codeset == "US-ASCII" || codeset == "ASCII";
}

std::string_view TerminalCharsetName() {
  // Only LC_CTYPE: the streams keep the classic locale, so numbers stay 1.5.
  if (std::setlocale(LC_CTYPE, "") != nullptr) {
    const std::string_view codeset = nl_langinfo(CODESET);
    if (!codeset.empty() && !IsPlainAscii(codeset)) return codeset;
  }
  // A locale that is not installed still tells which characters the terminal
  // shows, and no terminal in use today shows bare ASCII: read the variable the
  // C library would have obeyed, and take UTF-8 when it names no character set.
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') {
      const std::string_view codeset = CodesetOfLocaleName(value);
      return codeset.empty() || IsPlainAscii(codeset) ? "UTF-8" : codeset;
    }
  }
  return "UTF-8";
}

std::optional<std::size_t> ConvertWithSystem(iconv_t converter, std::string_view text,
                                             std::span<char> out) {
  char* in = const_cast<char*>(text.data());  // iconv's signature, not a write
  std::size_t in_left = text.size();
  char* at = out.data();
  std::size_t out_left = out.size();
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  // Anything but an exact conversion (a substitute, a failure) is garbage on screen.
  if (iconv(converter, &in, &in_left, &at, &out_left) != 0 ||
      iconv(converter, nullptr, nullptr, &at, &out_left) != 0) {
    return std::nullopt;
  }
  return out.size() - out_left;
}

// Numbers, blanks, brackets, "p1()= " and line ends are written as they are,
// unconverted, and the texts hold Russian letters and ASCII: a charset serves
// only where ASCII stays ASCII and every Russian letter has a code, so that the
// whole run is in one charset (not UTF-16, UTF-7, EBCDIC or KOI-7, say).
bool ServesTheWholeRun(iconv_t converter) {
  std::array<char, 0x7F - 0x20 + 1> ascii{};
  for (std::size_t i = 0; i + 1 < ascii.size(); ++i)
    ascii[i] = static_cast<char>(0x20 + i);
  ascii.back() = '\n';
  std::array<char, 66> letters{'\xA8', '\xB8'};  // Ё and ё, then А to я
  for (std::size_t i = 2; i < letters.size(); ++i)
    letters[i] = static_cast<char>(0xC0 + i - 2);

  std::array<char, ConsoleTextBufferSize * kMaxBytesPerCharacter> out;
  const std::string_view ascii_text(ascii.data(), ascii.size());
  const auto ascii_size = ConvertWithSystem(converter, ascii_text, out);
  return ascii_size && std::string_view(out.data(), *ascii_size) == ascii_text &&
         ConvertWithSystem(converter, {letters.data(), letters.size()}, out);
}

TerminalCharset FindTerminalCharset() {
  const std::string_view name = TerminalCharsetName();
  TerminalCharset terminal{CharsetFromName(name)};
  if (terminal.charset != Charset::kOther) return terminal;

  // The rarer character sets are the system converter's business.
  std::array<char, 64> zero_terminated{};
  if (name.size() < zero_terminated.size()) {
    name.copy(zero_terminated.data(), name.size());
    terminal.converter = iconv_open(zero_terminated.data(), "CP1251");
  }
  if (terminal.converter != kNoConverter && !ServesTheWholeRun(terminal.converter)) {
    iconv_close(terminal.converter);
    terminal.converter = kNoConverter;
  }
  if (terminal.converter == kNoConverter) terminal.charset = Charset::kUtf8;
  return terminal;
}

// Set only while the terminal is in key-wait mode, for the signal handlers.
volatile sig_atomic_t g_waiting_terminal = -1;
termios g_saved_settings;
termios g_key_wait_settings;

// The signals that end a process unless caught: each must give the terminal
// back first, or a shell that does not repair it (sh, dash) sits on a raw one.
struct Signals {
  std::array<int, 64> numbers{};
  std::size_t count = 0;
};
Signals SignalsThatEndTheWait() {
  Signals signals;
  for (const int number : {SIGABRT, SIGALRM, SIGBUS, SIGFPE, SIGHUP, SIGILL, SIGINT,
                           SIGPIPE, SIGPROF, SIGQUIT, SIGSEGV, SIGSYS, SIGTERM, SIGTRAP,
                           SIGUSR1, SIGUSR2, SIGVTALRM, SIGXCPU, SIGXFSZ}) {
    signals.numbers[signals.count++] = number;
  }
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

extern "C" void RestoreTerminalAndDie(int signal_number) {
  SetTerminal(g_saved_settings);
  signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered, with its default action, when this returns
}

// As full-screen programs do: the shell gets its terminal back while the
// program is stopped, and the wait takes it again when the program goes on.
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
  SetTerminal(g_key_wait_settings);
  errno = saved_errno;
}

// An arrow or a function key sends several bytes, a Cyrillic letter two in
// UTF-8. Left unread, the rest would reach the shell as typed text.
void ReadRestOfKey(int terminal, termios settings) {
  constexpr cc_t kTenthsOfSecondBetweenBytes = 1;
  constexpr int kLongestKey = 32;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = kTenthsOfSecondBetweenBytes;
  tcsetattr(terminal, TCSANOW, &settings);
  unsigned char byte = 0;
  for (int count = 0; count < kLongestKey && read(terminal, &byte, 1) == 1; ++count) {
  }
}

}  // namespace

void PrintConsoleText(std::ostream& out, const MessageText& text) {
  static const TerminalCharset terminal = FindTerminalCharset();
  std::array<char, ConsoleTextBufferSize * kMaxBytesPerCharacter> buffer;
  auto size = terminal.charset == Charset::kOther
                  ? ConvertWithSystem(terminal.converter, text.view(), buffer)
                  : ConvertFromWindows1251(text.view(), terminal.charset, buffer);
  if (!size) size = ConvertFromWindows1251(text.view(), Charset::kUtf8, buffer);
  out.write(buffer.data(), static_cast<std::streamsize>(size.value_or(0)));
}

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
  // One byte at a time, unechoed; Ctrl-C and Ctrl-S are keys like any other.
  termios key_wait = saved;
  key_wait.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  key_wait.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
  key_wait.c_cc[VMIN] = 1;
  key_wait.c_cc[VTIME] = 0;

  g_saved_settings = saved;
  g_key_wait_settings = key_wait;
  g_waiting_terminal = terminal;
  const Signals signals = SignalsThatEndTheWait();
  std::array<struct sigaction, Signals{}.numbers.size() + 1> previous{};
  const auto watch = [&](int number, std::size_t slot, void (*handler)(int)) {
    if (sigaction(number, nullptr, &previous[slot]) != 0) return;
    // An ignored signal stays ignored, as under nohup.
    if (previous[slot].sa_handler != SIG_IGN) SetHandler(number, handler);
  };
  for (std::size_t i = 0; i < signals.count; ++i) {
    watch(signals.numbers[i], i, RestoreTerminalAndDie);
  }
  watch(SIGTSTP, signals.count, RestoreTerminalAndStop);

  // TCSAFLUSH drops what was typed or pasted before the request to press a
  // key: the key is one pressed after it.
  if (tcsetattr(terminal, TCSAFLUSH, &key_wait) == 0) {
    unsigned char key = 0;
    ssize_t got = 0;
    do {
      got = read(terminal, &key, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1 && (key == 0x1B || key >= 0x80)) ReadRestOfKey(terminal, key_wait);
  }
  // TCSAFLUSH also drops keys typed after the one awaited.
  tcsetattr(terminal, TCSAFLUSH, &saved);
  g_waiting_terminal = -1;
  for (std::size_t i = 0; i < signals.count; ++i) {
    sigaction(signals.numbers[i], &previous[i], nullptr);
  }
  sigaction(SIGTSTP, &previous[signals.count], nullptr);
  // The prompt has no line end of its own; give the shell a fresh line.
  [[maybe_unused]] const ssize_t written = write(terminal, "\n", 1);
  close(terminal);
}
