// Standard input on POSIX systems, read with the system's own calls so that a
// non-blocking descriptor and a read error are told from the end of the input.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "console/standard_input.h"

StandardInputStream::Buffer::int_type StandardInputStream::Buffer::underflow() {
  while (!ended_) {
    const ssize_t got = ::read(STDIN_FILENO, bytes_.data(), bytes_.size());
    if (got > 0) return Deliver(static_cast<std::size_t>(got));
    if (got == 0) return NoMore(false);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A terminal left non-blocking by a program that crashed: the user
      // still has to be given the time to type.
      pollfd input{STDIN_FILENO, POLLIN, 0};
      poll(&input, 1, -1);
    } else if (errno != EINTR) {
      return NoMore(true);
    }
  }
  return traits_type::eof();
}

bool InputEchoedWithOutput() {
  return isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0;
}
