// Standard output and standard error on POSIX systems, written with the
// system's own calls so that a descriptor left non-blocking waits for room
// instead of losing the output.
#include "console/output_posix.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <ostream>
#include <streambuf>

#include "console/console.h"

namespace {

volatile sig_atomic_t g_standard_output_written = 0;

bool WriteAll(int descriptor, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(descriptor, bytes, size);
    if (written > 0) {
      if (descriptor == STDOUT_FILENO) {
        g_standard_output_written =
            g_standard_output_written + static_cast<sig_atomic_t>(written);
      }
      bytes += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A terminal left non-blocking whose output is stopped (Ctrl-S), or a
      // full pipe: its reader still has to be given the time to read.
      pollfd output{descriptor, POLLOUT, 0};
      poll(&output, 1, -1);
    } else if (written == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

class OutputBuffer : public std::streambuf {
 public:
  explicit OutputBuffer(int descriptor) : descriptor_(descriptor) {
    setp(bytes_.data(), bytes_.data() + bytes_.size());
  }
  ~OutputBuffer() override { sync(); }

 protected:
  int_type overflow(int_type character) override {
    if (sync() != 0) return traits_type::eof();
    if (traits_type::eq_int_type(character, traits_type::eof())) return 0;
    return sputc(traits_type::to_char_type(character));
  }

  // What could not be written is dropped, so that it is not tried again.
  int sync() override {
    const bool written =
        WriteAll(descriptor_, pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(bytes_.data(), bytes_.data() + bytes_.size());
    return written ? 0 : -1;
  }

 private:
  int descriptor_;
  std::array<char, 4096> bytes_;
};

class OutputStream : public std::ostream {
 public:
  explicit OutputStream(int descriptor) : std::ostream(nullptr), buffer_(descriptor) {
    rdbuf(&buffer_);
  }
  // For error messages: written at once, after what `first` holds.
  OutputStream(int descriptor, std::ostream& first) : OutputStream(descriptor) {
    tie(&first);
    setf(std::ios::unitbuf);
  }

 private:
  OutputBuffer buffer_;
};

}  // namespace

std::ostream& StandardOutput() {
  static OutputStream output(STDOUT_FILENO);
  return output;
}

std::ostream& StandardError() {
  static OutputStream error(STDERR_FILENO, StandardOutput());
  return error;
}

sig_atomic_t StandardOutputWritten() { return g_standard_output_written; }

bool WriteToStandardOutput(const char* bytes, std::size_t size) {
  return WriteAll(STDOUT_FILENO, bytes, size);
}
