// Preloaded into the program by a terminal test: stops it, as a Ctrl-Z at the
// worst moment would, once it has written a text that ends with
// $POLYMUL_STOP_AFTER_WRITING (the request), just before its next read (of the
// key); or else just before ($POLYMUL_STOP_BEFORE_RESTORE) or right after it
// first gives the terminal back its line-by-line mode. Or, given
// $POLYMUL_STOP_OUTPUT_AT_DROP, stops the terminal's output as the program
// begins to drop what was typed ahead, as a stalled link would.
#include <dlfcn.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

bool g_stopped = false;

const char* StopAfterWriting() { return std::getenv("POLYMUL_STOP_AFTER_WRITING"); }

}  // namespace

extern "C" int tcsetattr(int terminal, int when, const termios* settings) {
  using Function = int (*)(int, int, const termios*);
  static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "tcsetattr"));
  const bool output_at_drop = std::getenv("POLYMUL_STOP_OUTPUT_AT_DROP") != nullptr;
  const bool restores = !g_stopped && StopAfterWriting() == nullptr && !output_at_drop &&
                        (settings->c_lflag & ICANON) != 0;
  const bool before = std::getenv("POLYMUL_STOP_BEFORE_RESTORE") != nullptr;
  if (restores && before) {
    g_stopped = true;
    raise(SIGTSTP);
  }
  const int result = real(terminal, when, settings);
  if (!g_stopped && output_at_drop && (settings->c_lflag & ICANON) == 0 &&
      settings->c_cc[VMIN] == 0) {
    g_stopped = true;
    tcflow(terminal, TCOOFF);
  }
  if (restores && !before) {
    g_stopped = true;
    raise(SIGTSTP);
  }
  return result;
}

// Armed by the text's write, fired by the next read: the stop comes once the
// text is out, before the program reads what follows.
bool g_armed = false;

extern "C" ssize_t write(int descriptor, const void* bytes, size_t size) {
  using Function = ssize_t (*)(int, const void*, size_t);
  static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "write"));
  const ssize_t result = real(descriptor, bytes, size);
  const char* text = StopAfterWriting();
  if (!g_stopped && text != nullptr && descriptor == STDOUT_FILENO && result > 0) {
    const std::size_t length = std::strlen(text);
    const auto written = static_cast<std::size_t>(result);
    g_armed = written >= length &&
              std::memcmp(static_cast<const char*>(bytes) + written - length, text,
                          length) == 0;
  }
  return result;
}

extern "C" ssize_t read(int descriptor, void* bytes, size_t size) {
  using Function = ssize_t (*)(int, void*, size_t);
  static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "read"));
  if (g_armed) {
    g_armed = false;
    g_stopped = true;
    raise(SIGTSTP);
  }
  return real(descriptor, bytes, size);
}
