// The key wait at a real pseudo-terminal: it waits, shows nothing, takes any
// key whole, and leaves the terminal as it found it whatever ends or stops it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/dialogue_cases.h"
#include "tests/terminal_harness.h"

namespace {

using namespace std::chrono_literals;

// `text` as the terminal shows it: each line end a carriage return and a line feed.
std::string OnScreen(std::string_view text) {
  std::string shown;
  for (const char c : text) shown += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return shown;
}

// A paste three times larger than the kernel's buffer for terminal input:
// lines that a shell would run, were any to reach it.
std::string Paste() {
  std::string lines;
  for (int i = 0; i < 1000; ++i) lines += "echo LEAK" + std::to_string(i) + "\n";
  return lines;
}

const std::vector<std::string> kAnswers = {"2\n", "1 2 3\n", "4 5 6\n"};

// Types the dialogue's answers as a user would, each once its prompt is shown
// and awaits it, and comes back once a key counts: the request to press one is
// on screen; or without waiting for it.
void AnswerDialogue(Terminal& terminal,
                    const std::vector<std::string>& answers = kAnswers,
                    bool await_request = true) {
  const std::string_view prompts[] = {ORDER_PROMPT, "p1()= ", "p2()= "};
  for (std::size_t i = 0; i < answers.size(); ++i) {
    terminal.WaitFor(prompts[i]);
    // As slow as a user: the program has gone on to wait for the answer.
    terminal.AwaitSignalsTaken();
    terminal.Type(answers[i]);
  }
  if (await_request) terminal.WaitFor(kPressAnyKey);
}

// Keeps the program dropping what was typed before the request, as a held key
// would, until it is seen doing so.
void HoldInDropping(Terminal& terminal) {
  AnswerDialogue(terminal, kAnswers, false);
  terminal.TypeUntil("x", [&](const std::string&) { return terminal.DropsInput(); });
}

// Comes back once the program, done dropping type-ahead, is asleep in the
// write of the request to a terminal whose output is stopped
// (StopAt::kOutputAtDrop).
void AwaitRequestWaitingForOutput(Terminal& terminal) {
  AnswerDialogue(terminal, kAnswers, false);
  terminal.WaitUntil("the drop's end", [&](const std::string&) {
    return terminal.ReadsKeys() && !terminal.DropsInput();
  });
  terminal.AwaitSignalsTaken();
}

// What the program wrote at the terminal, without what the shell showed as it
// brought the program back to the foreground.
std::string ProgramsOwn(std::string shown) {
  for (std::size_t at; (at = shown.find(kContinuedMark)) != std::string::npos;) {
    shown.erase(at, kContinuedMark.size());
  }
  return shown;
}

// The last `size` bytes of `shown`, to compare with its expected end.
std::string EndOf(const std::string& shown, std::size_t size) {
  return shown.substr(shown.size() - std::min(size, shown.size()));
}

// The end of the screen of a run whose request was shown `times` times: once,
// then again from the start of the line after each return to the foreground
// during the wait; and the line end after the key.
std::string RequestShown(int times) {
  std::string shown = "]\r\n" + std::string(kPressAnyKey);
  for (int i = 1; i < times; ++i) shown += "\r" + std::string(kPressAnyKey);
  return shown + "\r\n";
}

bool UnderQemu() {
  const char* launcher = std::getenv("POLYMUL_LAUNCHER");
  return launcher != nullptr && std::strstr(launcher, "qemu-") != nullptr;
}

TEST(KeyWait, WaitsForOneKeyAndShowsItNot) {
  Terminal terminal;
  terminal.WaitFor(ORDER_PROMPT);
  // Input is dropped before the request and after the key, each time until
  // the terminal has been quiet for a tenth of a second: not for the drop's
  // upper bound, a second, each time.
  const auto answered = std::chrono::steady_clock::now();
  AnswerDialogue(terminal);
  auto dropping = std::chrono::steady_clock::now() - answered;
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
  const auto pressed = std::chrono::steady_clock::now();
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
  dropping += std::chrono::steady_clock::now() - pressed;
  EXPECT_LT(dropping, 2s) << "no drop found the terminal quiet";
  // Typed numbers are echoed by the terminal; the key is not; a line end
  // after the key gives the shell a fresh line.
  EXPECT_EQ(terminal.Dialogue(), OnScreen(INTRODUCTION ORDER_PROMPT
                                          "2\n" HINTS "p1()= 1 2 3\np2()= 4 5 6\n" RESULT
                                          "4 13 28 27 18 ]\n" PRESS_ANY_KEY "\n"));
}

TEST(KeyWait, AnyKeyIsTakenWhole) {
  struct Key {
    std::vector<std::string> pieces;  // as a slow link delivers them
    tcflag_t input_flags;
  };
  const Key keys[] = {
      {{"\x03"}, 0},               // Ctrl-C is a key like any other
      {{"\x1a"}, 0},               // so is Ctrl-Z
      {{"\x1b[A"}, 0},             // an arrow
      {{"\x1b", "[A"}, 0},         // the same, split
      {{"я"}, 0},                  // a Cyrillic letter
      {{"xyz"}, 0},                // keys typed after the one awaited
      {{Paste()}, 0},              // a paste: none of it reaches the shell
      {{"\r"}, IGNCR},             // Enter, where stty igncr would swallow it
      {{"\xd1", "\x8f"}, ISTRIP},  // split, where stty istrip would make it ASCII
  };
  for (const Key& key : keys) {
    Terminal terminal({.input_flags = key.input_flags});
    AnswerDialogue(terminal);
    for (std::size_t i = 0; i < key.pieces.size(); ++i) {
      if (i > 0) {
        terminal.WaitUntil("the drop of the rest of the key",
                           [&](const std::string&) { return terminal.DropsInput(); });
      }
      terminal.Type(key.pieces[i]);
    }
    EXPECT_EQ(terminal.Report(), Ending(0)) << "key " << key.pieces.front().substr(0, 9);
  }
}

// qemu-user gives its program the host's real-time signals two up: the host's
// first two reach it as the two that its C library keeps for itself.
int FirstRealTimeSignalOfTheProgram() { return SIGRTMIN + (UnderQemu() ? 2 : 0); }

struct Kill {
  Scene scene;
  int signal_number;  // sent during the wait; 0: only the shell kills it
  int exit_status = -1;
  std::string_view typed_while_dropping = {};  // instead of the signal
};

// Ends the program as `kill` says, and checks how it ended and that it gave
// the terminal back.
void ExpectKilled(const Kill& kill) {
  Terminal terminal(kill.scene);
  if (!kill.typed_while_dropping.empty()) {
    HoldInDropping(terminal);
    terminal.Type(kill.typed_while_dropping);
  } else if (kill.signal_number != 0) {
    AnswerDialogue(terminal);
    terminal.AwaitKeyWait();  // and its handlers are in place
    terminal.Signal(kill.signal_number);
  }
  EXPECT_EQ(terminal.Report(),
            kill.exit_status >= 0
                ? Ending(kill.exit_status)
                : Ending(-1, kill.signal_number != 0 ? kill.signal_number : SIGTERM))
      << "killed by " << kill.signal_number;
}

TEST(KeyWait, TerminalIsRestoredWhenTheWaitIsKilled) {
  const Kill kills[] = {
      {{}, SIGTERM},
      {{}, SIGHUP},
      {{}, SIGUSR1},
      {{}, SIGALRM},
      {{}, FirstRealTimeSignalOfTheProgram()},
      {{}, SIGRTMAX},
      {{}, SIGIO},
      {{}, SIGPWR},
      {{}, SIGSTKFLT},
      // Started in the background, stopped once it wants the terminal, and
      // killed there, as `kill %1` does it: SIGTERM, then SIGCONT.
      {{.in = Stdin::kPipe, .job = Job::kBackground, .killed_when_stopped = true}, 0},
      // Ctrl-C ends the program until the request is on screen, as at its
      // prompts, however long the keys typed before it keep coming.
      {{}, SIGINT, -1, "\x03"},
  };
  for (const Kill& kill : kills) ExpectKilled(kill);
}

// Whether this process may make a PID namespace: root, or a user namespace.
bool PidNamespaceCanBeMade() {
  const pid_t child = fork();
  if (child == 0) _exit(unshare(CLONE_NEWPID) == 0 ? 0 : 1);
  int status = 1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The kernel discards a signal that the first process of a PID namespace
// leaves to its default action: it ends all the same.
TEST(KeyWait, TheFirstProcessOfAPidNamespaceIsKilledAllTheSame) {
  if (UnderQemu())
    GTEST_SKIP() << "qemu-user, not the program, would be its first process";
  if (!PidNamespaceCanBeMade()) GTEST_SKIP() << "no PID namespace can be made here";
  ExpectKilled({{.job = Job::kPidNamespaceInit}, SIGTERM, 128 + SIGTERM});
  // At a prompt too, before the wait holds the terminal.
  Terminal terminal({.job = Job::kPidNamespaceInit});
  terminal.WaitFor(ORDER_PROMPT);
  terminal.Type("\x03");
  EXPECT_EQ(terminal.Report(), Ending(128 + SIGINT));
}

// After each return to the foreground during the wait the request is on
// screen again, on a line of its own: the screen shows the shell's `fg`.
TEST(KeyWait, StoppedAndContinuedTheWaitGoesOn) {
  struct Stop {
    Scene scene;
    int signal_number;
    bool while_request_is_written = false;  // to a terminal whose output is stopped
    int requests_shown = 2;
  };
  const Stop stops[] = {
      {{}, SIGTSTP},
      {{}, SIGSTOP},
      {{}, SIGTTIN},
      {{}, SIGTTOU},
      // Where the kernel discards the stop, the wait goes on at once, and the
      // screen stays as it was.
      {{.job = Job::kOwnSession}, SIGTSTP, false, 1},
      // Continued in the background first, it leaves the shell's prompt alone,
      // and shows the request again once it is back in the foreground.
      {{.continued_in_background = true}, SIGSTOP},
      // What the user changed at the shell's prompt is what it gets back,
      // even after a stop that no program can catch.
      {{.stty_while_stopped = true}, SIGTSTP},
      {{.stty_while_stopped = true}, SIGSTOP},
      // Where the shell leaves the wait's mode on the terminal, the user's
      // change is made to that mode: the rest of the mode is not the user's.
      {{.stty_while_stopped = true, .shell_puts_nothing_back = true}, SIGSTOP},
      // A stop and a continue while the request waits for the terminal to
      // take output (Ctrl-S, a stalled link) do not lose it, nor show it twice.
      {{.stop_at = StopAt::kOutputAtDrop}, SIGTSTP, true, 1},
  };
  for (const Stop& stop : stops) {
    SCOPED_TRACE("stopped by signal " + std::to_string(stop.signal_number));
    Terminal terminal(stop.scene);
    if (stop.while_request_is_written) {
      AwaitRequestWaitingForOutput(terminal);
    } else {
      AnswerDialogue(terminal);
      terminal.AwaitKeyWait();
      terminal.AwaitSignalsTaken();  // asleep in the read of the key
    }
    terminal.Signal(stop.signal_number);
    if (stop.scene.job == Job::kOwnSession || stop.while_request_is_written) {
      terminal.AwaitSignalsTaken();
      terminal.SetOutputStopped(false);
    } else {
      terminal.WaitFor(kContinuedMark);
    }
    terminal.AwaitKeyWait();
    terminal.Type("x");
    EXPECT_EQ(terminal.Report(), Ending(0));
    const std::string expected = RequestShown(stop.requests_shown);
    EXPECT_EQ(EndOf(ProgramsOwn(terminal.Dialogue()), expected.size()), expected);
  }
}

// Stops at the edges of the wait for the key. Just after the request is
// written, before the key is read, the wait has begun: the request is shown
// again. Just as the wait has given the terminal back its line mode, it is
// over: the request is not shown again.
TEST(KeyWait, StoppedAtTheEdgesOfTheWait) {
  const std::pair<Scene, int> scenes[] = {
      {{.stop_at = StopAt::kAfterRequest}, 2},
      {{.stop_at = StopAt::kAfterRestore}, 1},
      // What the user changes at the shell then is what it keeps.
      {{.stop_at = StopAt::kAfterRestore, .stty_while_stopped = true}, 1},
      // Or just before: the settings it was about to give back are the old ones.
      {{.stop_at = StopAt::kBeforeRestore, .stty_while_stopped = true}, 1},
  };
  for (const auto& [scene, requests_shown] : scenes) {
    Terminal terminal(scene);
    AnswerDialogue(terminal);
    if (scene.stop_at == StopAt::kAfterRequest) {
      terminal.WaitFor(kContinuedMark);  // typed while stopped, the key would echo
      terminal.AwaitKeyWait();
    }
    terminal.Type("x");
    EXPECT_EQ(terminal.Report(), Ending(0));
    const std::string shown = terminal.Dialogue();
    EXPECT_NE(shown.find(kContinuedMark), std::string::npos) << "it was never stopped";
    const std::string expected = RequestShown(requests_shown);
    EXPECT_EQ(EndOf(ProgramsOwn(shown), expected.size()), expected);
  }
}

// Until the request is out, Ctrl-C still ends the program: with its output
// stopped (a stalled link) as the request is to be written, a Ctrl-C typed
// then is no key.
TEST(KeyWait, CtrlCEndsItUntilTheRequestIsOut) {
  Terminal terminal({.stop_at = StopAt::kOutputAtDrop});
  AwaitRequestWaitingForOutput(terminal);
  terminal.Type("\x03");
  // Once the terminal has taken it: a key read after the write would end it
  // too. The terminal then has the user's settings, or the shell's as it
  // looks for input left over.
  terminal.WaitUntil("the program's mode gone", [&](const std::string&) {
    return !terminal.ReadsKeys() || terminal.DropsInput();
  });
  terminal.SetOutputStopped(false);
  EXPECT_EQ(terminal.Report(), Ending(-1, SIGINT));
}

TEST(KeyWait, AnIgnoredHangupStaysIgnored) {
  Terminal terminal({.ignored_signal = SIGHUP});
  AnswerDialogue(terminal);
  terminal.AwaitKeyWait();
  terminal.Signal(SIGHUP);
  EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended by SIGHUP";
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, WhatCameBeforeTheRequestIsNotTheKey) {
  const std::vector<std::string> dialogues[] = {
      {"2\n", "1 2 3\n", "4 5 6\n7 8\n"},
      {"2\n", "1 2 3\n", "4 5 6\n" + Paste()},
      // The end of the input, which ends the last number too, at once.
      {"0\n", "5 3\x04\x04"},
  };
  for (const auto& answers : dialogues) {
    Terminal terminal;
    AnswerDialogue(terminal, answers);
    EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
    terminal.Type("x");
    EXPECT_EQ(terminal.Report(), Ending(0)) << answers.back().substr(0, 9);
  }
}

TEST(KeyWait, TheRequestsLineEndsWhereItIsShown) {
  {
    // Without a controlling terminal, at once: no key is read from elsewhere.
    Terminal terminal({.in = Stdin::kPipeLeftOpen, .job = Job::kWithoutTerminal});
    EXPECT_EQ(terminal.Report(), Ending(0));
    EXPECT_TRUE(terminal.Dialogue().ends_with(PRESS_ANY_KEY "\r\n"))
        << terminal.Dialogue();
  }
  // On another terminal than the one whose key it waits for.
  Terminal terminal({.in = Stdin::kPipe, .out = Stdout::kOtherTerminal});
  terminal.AwaitKeyWait();
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
  EXPECT_EQ(terminal.Dialogue(), "");
  const std::string other = terminal.OtherScreen();
  EXPECT_TRUE(other.ends_with("]\r\n" PRESS_ANY_KEY "\r\n")) << other;
}

TEST(KeyWait, GivesTheTerminalBackAfterTheShellTookIt) {
  Terminal terminal({.in = Stdin::kPipe, .job = Job::kOrphaned});
  terminal.WaitFor(kPressAnyKey);
  terminal.AwaitKeyWait();
  terminal.AwaitSignalsTaken();  // blocked in its read, which outlasts the foreground
  terminal.ShellTakesTheTerminalBack();
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, SteadyInputDoesNotKeepTheRequestAway) {
  Terminal terminal;
  AnswerDialogue(terminal, kAnswers, false);
  EXPECT_TRUE(terminal.TypeUntil("x", [](const std::string& shown) {
    return shown.find(kPressAnyKey) != std::string::npos;
  })) << "the request never showed while keys kept coming";
  // The last "x" may have come after the request, as its key.
  terminal.WaitUntil("the program's end or its wait for a key", [&](const std::string&) {
    return terminal.EndsWithin(0ms) || terminal.WaitsForKey();
  });
  if (terminal.WaitsForKey()) terminal.Type("q");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

TEST(KeyWait, WaitsAtTheTerminalWhateverStandardInputIs) {
  struct Start {
    Scene scene;
    int exit_status;
  };
  const Start starts[] = {
      {{.in = Stdin::kPipe}, 0},
      // In the background it stops once it wants the terminal, leaving it
      // alone, and waits for the key once the shell brings it back.
      {{.in = Stdin::kPipe, .job = Job::kBackground}, 0},
      // The terminal it opens is then descriptor 0; no input is a read error.
      {{.in = Stdin::kClosed}, 1},
  };
  for (const Start& start : starts) {
    Terminal terminal(start.scene);
    const std::string& shown = terminal.WaitFor(kPressAnyKey);
    EXPECT_EQ(shown.find(kContinuedMark) < shown.find(kPressAnyKey),
              start.scene.job == Job::kBackground);
    EXPECT_FALSE(terminal.EndsWithin(kLongEnoughToShowItWaits)) << "ended without a key";
    terminal.Type("q");
    EXPECT_EQ(terminal.Report(), Ending(start.exit_status));
    // Stopped before the request was first shown: it is shown once.
    const std::string program_shown = ProgramsOwn(terminal.Dialogue());
    EXPECT_TRUE(program_shown.ends_with(std::string(kPressAnyKey) + "\r\n") &&
                program_shown.find(kPressAnyKey) == program_shown.rfind(kPressAnyKey))
        << program_shown;
  }
}

// Another program left the terminal non-blocking, and its output is stopped
// (Ctrl-S) while the answers are typed: the output waits for Ctrl-Q.
TEST(TerminalOutput, WaitsWhileTheTerminalTakesNone) {
  Terminal terminal({.left_nonblocking = true});
  terminal.WaitFor(ORDER_PROMPT);
  terminal.SetOutputStopped(true);
  terminal.TypeAndAwaitTheirRead("0 3 5\n");  // and asleep, with output to write
  terminal.SetOutputStopped(false);
  terminal.WaitFor(RESULT "15 ]\r\n");
  terminal.AwaitKeyWait();
  terminal.Type("x");
  EXPECT_EQ(terminal.Report(), Ending(0));
}

// At a terminal the user's Enter has ended the line with the answer: an error
// follows it directly. Where the line was not ended (the end of the input in
// the middle of a line, the prompt written after the line was typed), the
// program ends it first.
TEST(TerminalOutput, AnErrorFollowsTheTypedLine) {
  struct Typed {
    std::vector<std::string> answers;
    std::string_view screen;  // from the last prompt on, with "\n" for line ends
    bool left_nonblocking = false;
  };
  const Typed typed[] = {
      {{"abc\n"}, ORDER_PROMPT "abc\n" ERROR_ORDER_NOT_WHOLE},
      {{"1\n", "1,5\n"}, "p1()= 1,5\n" ERROR_NOT_A_NUMBER},
      {{"0\n", "1\n", "x y\n"}, "p2()= x y\n" ERROR_NOT_A_NUMBER},
      // "1,5" then Ctrl-D twice: the second ends the input.
      {{"1\n", "1,5\x04\x04"}, "p1()= 1,5\n" ERROR_NOT_A_NUMBER},
      // The coefficient comes on the order's line, read before "p1()= " was written.
      {{"1 1,5\n"}, "p1()= \n" ERROR_NOT_A_NUMBER},
      // Or on a line of its own, typed ahead: echoed before "p1()= " was written.
      {{"0\n1,5\n"}, "p1()= \n" ERROR_NOT_A_NUMBER},
      // Typed while the program waits for a terminal left non-blocking.
      {{"abc\n"}, ORDER_PROMPT "abc\n" ERROR_ORDER_NOT_WHOLE, true},
  };
  for (const Typed& run : typed) {
    Terminal terminal({.left_nonblocking = run.left_nonblocking});
    AnswerDialogue(terminal, run.answers);
    terminal.Type("x");
    EXPECT_EQ(terminal.Report(), Ending(1));
    const std::string expected = OnScreen(std::string(run.screen) + PRESS_ANY_KEY "\n");
    EXPECT_EQ(EndOf(terminal.Dialogue(), expected.size()), expected);
  }
}

TEST(KeyWait, NoWaitWhereNoKeyCanBeAwaited) {
  const Scene scenes[] = {
      {.in = Stdin::kPipe, .out = Stdout::kDevNull},
      // `trap '' TTOU; polymul < input &`: the terminal can never be its own.
      {.in = Stdin::kPipe, .job = Job::kBackground, .ignored_signal = SIGTTOU},
      // Nor in an orphaned group, where the kernel answers EIO instead of
      // stopping it: it ends, and does not keep asking.
      {.in = Stdin::kPipe, .job = Job::kOrphanedInBackground},
  };
  for (const Scene& scene : scenes) {
    Terminal terminal(scene);
    EXPECT_EQ(terminal.Report(), Ending(0));
  }
}

}  // namespace
