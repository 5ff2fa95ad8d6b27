// Standard input on POSIX systems, read with the system's own calls so that a
// non-blocking descriptor and a read error are told from the end of the input.
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>

#include "console/output_posix.h"
#include "console/standard_input.h"

namespace {

// Whether the last read had to wait for its input: the line was not yet typed
// when the output before it was flushed.
bool g_last_read_waited = false;
// How much standard output had written once that input came.
sig_atomic_t g_output_at_last_read = -1;

bool InputWaiting() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  return poll(&input, 1, 0) > 0;
}

}  // namespace

StandardInputStream::Buffer::int_type StandardInputStream::Buffer::underflow() {
  // Input already waiting was typed ahead, before the output was on screen.
  bool typed_ahead = InputWaiting();
  while (!ended_) {
    const ssize_t got = ::read(STDIN_FILENO, bytes_.data(), bytes_.size());
    if (got > 0) {
      g_last_read_waited = !typed_ahead;
      g_output_at_last_read = StandardOutputWritten();
      return Deliver(static_cast<std::size_t>(got));
    }
    if (got == 0) return NoMore(false);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A terminal left non-blocking by a program that crashed: the user
      // still has to be given the time to type.
      pollfd input{STDIN_FILENO, POLLIN, 0};
      poll(&input, 1, -1);
      typed_ahead = false;
    } else if (errno != EINTR) {
      return NoMore(true);
    }
  }
  return traits_type::eof();
}

namespace {

// Standard input is a terminal that echoes whole lines, and standard output
// is the same terminal.
bool EchoedOnTheOutputsTerminal() {
  termios settings;
  struct stat in {};
  struct stat out {};
  return tcgetattr(STDIN_FILENO, &settings) == 0 && (settings.c_lflag & ICANON) != 0 &&
         (settings.c_lflag & (ECHO | ECHONL)) != 0 && isatty(STDOUT_FILENO) != 0 &&
         fstat(STDIN_FILENO, &in) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
         in.st_rdev == out.st_rdev;
}

}  // namespace

bool InputEchoedWithOutput() {
  // What the stream still holds counts as written since.
  StandardOutput().flush();
  return g_last_read_waited && StandardOutputWritten() == g_output_at_last_read &&
         EchoedOnTheOutputsTerminal();
}
