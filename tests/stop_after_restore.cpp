// Preloaded into the program by a terminal test: stops it, as a Ctrl-Z at the
// worst moment would, right after it first gives the terminal back its
// line-by-line mode.
#include <dlfcn.h>
#include <signal.h>
#include <termios.h>

extern "C" int tcsetattr(int terminal, int when, const termios* settings) {
  using Function = int (*)(int, int, const termios*);
  static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "tcsetattr"));
  static bool stopped = false;
  const int result = real(terminal, when, settings);
  if (!stopped && (settings->c_lflag & ICANON) != 0) {
    stopped = true;
    raise(SIGTSTP);
  }
  return result;
}
