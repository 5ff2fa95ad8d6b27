// A pseudo-terminal whose session leader starts the program as a shell would,
// and reports how it ended: the harness of the terminal and console cases.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <string_view>

#include "tests/dialogue_cases.h"

inline constexpr std::string_view kPressAnyKey = PRESS_ANY_KEY;
// What the shell shows when it brings the program back to the foreground, as
// bash shows the job's command line; here once the program goes on.
inline constexpr std::string_view kContinuedMark = "%% continued\r\n";
// What the shell shows once the program has ended, as its next prompt.
inline constexpr std::string_view kJobDone = "%% done\r\n";
// The console cases cut the screen here.
inline constexpr std::string_view kReportMark = kJobDone;
// A program that does not wait for its key has ended well within this.
inline constexpr auto kLongEnoughToShowItWaits = std::chrono::milliseconds(300);
// How long a case waits for what it expects before it fails.
inline constexpr auto kPatience = std::chrono::milliseconds(10000);

// kPipeLeftOpen: a pipe whose writer has more to say later, as in
// `(echo 0 3 5; sleep 9) | polymul`. kClosed: closed, as `polymul <&-` leaves it.
enum class Stdin { kTerminal, kPipe, kPipeLeftOpen, kClosed };
// kOtherTerminal: on a terminal other than the one the key comes from.
enum class Stdout { kTerminal, kDevNull, kOtherTerminal };
// kWithoutTerminal: in a session of its own with no controlling terminal, as
// `setsid polymul` starts it, its output still on the terminal.
// kOwnSession: the first program of a session of its own on the terminal, as
// `xterm -e` and `ssh -t` start one; the kernel discards a stop there.
// kOrphaned: in the foreground, its parent gone from the session, as a program
// that `sh -c 'polymul < input & sleep 1'` leaves behind; on SIGUSR1 the shell
// takes the terminal back, as dash does once `sh -c` ends.
// kOrphanedInBackground: the same, never given the terminal: the kernel
// neither stops it nor lets it wait for the terminal (EIO).
// kPidNamespaceInit: the first process of a PID namespace of its own, as
// `docker run -it` and `unshare --pid --fork` start one.
enum class Job {
  kForeground,
  kBackground,
  kWithoutTerminal,
  kOwnSession,
  kOrphaned,
  kOrphanedInBackground,
  kPidNamespaceInit,
};

// Where a preloaded library stops the program, as a Ctrl-Z at the worst
// moment would: right after it writes the request, or just before or just
// after it first gives the terminal back its line-by-line mode. Or stops its
// output, as a stalled link would, as it begins to drop type-ahead.
enum class StopAt {
  kNothing,
  kAfterRequest,
  kBeforeRestore,
  kAfterRestore,
  kOutputAtDrop
};

struct Scene {
  Stdin in = Stdin::kTerminal;
  Stdout out = Stdout::kTerminal;
  Job job = Job::kForeground;
  bool killed_when_stopped = false;  // as bash's `kill %1`, instead of `fg`
  const char* locale = "C.UTF-8";
  tcflag_t input_flags = 0;              // set on the terminal first, as stty would
  int ignored_signal = 0;                // ignored from the start, as under nohup
  StopAt stop_at = StopAt::kNothing;     // stopped there as by a Ctrl-Z
  bool continued_in_background = false;  // once stopped, `bg` before `fg`
  bool stty_while_stopped = false;       // `stty erase ^H` at the shell's prompt
  // As dash: the terminal keeps what the program left there, stty aside.
  bool shell_puts_nothing_back = false;
  // Standard input and output one open file of the terminal, left O_NONBLOCK
  // by another program.
  bool left_nonblocking = false;
};

// The shell's report of a program that ended so, with the terminal as it found
// it at every stop and at the end, and no input left behind for the next
// program; else the report names each of these checks that failed.
std::string Ending(int exit_status, int signal_number = 0);

class Terminal {
 public:
  explicit Terminal(const Scene& scene = {});
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Types `keys`; what the terminal has no room for yet is typed as the program
  // reads, while what it shows meanwhile is read.
  void Type(std::string_view keys);

  // Types `key` again and again, faster than the terminal falls quiet, until
  // `done` holds; whether it did within `patience`.
  template <typename Predicate>
  bool TypeUntil(std::string_view key, Predicate done,
                 std::chrono::milliseconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done(screen_)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      Type(key);
      Shows(done, std::chrono::milliseconds(20));
    }
    return true;
  }

  // Everything the terminal has shown, once `done` holds; if it does not
  // within `patience`, the case fails there, saying what it `awaited`, and no
  // later wait of this terminal waits again. With no patience: what it has
  // shown so far, and no failure.
  template <typename Predicate>
  const std::string& WaitUntil(std::string_view awaited, Predicate done,
                               std::chrono::milliseconds patience = kPatience) {
    if (!Shows(done, gave_up_ ? std::chrono::milliseconds(0) : patience) &&
        patience.count() > 0 && !gave_up_) {
      GiveUp(awaited, patience);
    }
    return screen_;
  }
  template <typename Predicate>
  const std::string& WaitUntil(Predicate done,
                               std::chrono::milliseconds patience = kPatience) {
    return WaitUntil("what the case awaits", done, patience);
  }
  const std::string& WaitFor(std::string_view text,
                             std::chrono::milliseconds patience = kPatience);

  // Whether the program ends, with nothing more typed, within `patience`.
  bool EndsWithin(std::chrono::milliseconds patience);
  // The shell's report, once the program has ended.
  std::string Report();
  // What the terminal showed before the shell's next prompt.
  std::string Dialogue();
  // What the other terminal (Stdout::kOtherTerminal) has shown since the last call.
  std::string OtherScreen() const;

  // Sends a signal to the program, the terminal's foreground job.
  // None once the terminal has no session: kill(0) would hit the tests.
  void Signal(int number) const;
  // Stops or restarts the terminal's output, as Ctrl-S and Ctrl-Q do.
  void SetOutputStopped(bool stopped) const;
  // As dash does when the job that started the program ends (Job::kOrphaned).
  void ShellTakesTheTerminalBack();

  // Whether a program reads the keyboard key by key, not line by line.
  bool ReadsKeys() const;
  // Once any key counts: one byte at a time, with no time-out, Ctrl-C and
  // Ctrl-Z keys too. Before the request input is dropped until the terminal is
  // quiet, and until all of it is written they are still signals.
  void AwaitKeyWait();
  // Whether it is dropping input until the terminal is quiet: after the key,
  // the rest of one of several bytes.
  bool DropsInput() const;
  // Waits until the program has taken every signal sent to it and sleeps again.
  void AwaitSignalsTaken();
  // Types `keys`, then waits until the program has read them and sleeps again.
  void TypeAndAwaitTheirRead(std::string_view keys);
  // Whether the program waits for its key, blocked in its read with none to
  // take: else it has taken one, or is about to.
  bool WaitsForKey() const;

 private:
  // Reads what the terminal shows until `done` holds; whether it did within
  // `patience`.
  template <typename Predicate>
  bool Shows(Predicate done, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done(screen_)) {
      const bool late = std::chrono::steady_clock::now() >= deadline;
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, late ? 0 : 20) <= 0) {
        if (late) return false;
        continue;
      }
      if (!ReadScreen()) return done(screen_);
    }
    return true;
  }
  bool ReadScreen();
  void GiveUp(std::string_view awaited, std::chrono::milliseconds patience);
  // Whether the program sleeps, with no signal waiting for it.
  bool Sleeps() const;
  termios Settings() const;
  int QueuedInput() const;
  // The bytes the program has read so far (rchar in /proc/<pid>/io).
  long long BytesRead() const;

  int master_ = -1;
  int slave_ = -1;         // the terminal's own side, to stop its output
  int other_master_ = -1;  // Stdout::kOtherTerminal
  int report_pipe_ = -1;   // the shell's report comes here, as one line
  pid_t shell_ = -1;
  std::string screen_;
  std::string report_;
  bool gave_up_ = false;
};
