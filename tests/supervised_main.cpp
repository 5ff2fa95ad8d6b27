// The whole-program tests' main: the tests run in a child of the process that
// was started, which outlives them however they end and ends what they leave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "tests/program_runner.h"

namespace {

// Waits for the tests to end, however they end (a crash, SIGKILL), adopting
// whatever their cases leave behind; then ends all of it, and ends as the tests
// did. A signal that would end it ends the tests first. `awaited` has been held
// since before the tests started, so that no SIGCHLD is lost.
[[noreturn]] void OutliveTheTests(pid_t tests, const sigset_t& awaited) {
  int ending_signal = 0;
  int tests_status = 0;
  for (bool tests_ended = false; !tests_ended && ending_signal == 0;) {
    const int number = sigwaitinfo(&awaited, nullptr);
    if (number > 0 && number != SIGCHLD) ending_signal = number;
    int status = 0;
    for (pid_t ended; (ended = waitpid(-1, &status, WNOHANG)) > 0;) {
      if (ended == tests) {
        tests_ended = true;
        tests_status = status;
      }
    }
  }
  EndCaseProcesses();  // the tests too, if a signal came first
  if (ending_signal == 0 && WIFSIGNALED(tests_status)) {
    ending_signal = WTERMSIG(tests_status);
  }
  if (ending_signal != 0) {
    signal(ending_signal, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &awaited, nullptr);
    raise(ending_signal);
    _exit(128 + ending_signal);
  }
  _exit(WEXITSTATUS(tests_status));
}

// Returns in the child that runs the tests.
void RunTheTestsInAChild() {
  sigset_t awaited;
  sigemptyset(&awaited);
  for (const int number : {SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM}) {
    sigaddset(&awaited, number);
  }
  sigset_t inherited;
  sigprocmask(SIG_BLOCK, &awaited, &inherited);
  AdoptOrphans();
  const pid_t tests = fork();
  if (tests > 0) OutliveTheTests(tests, awaited);
  sigprocmask(SIG_SETMASK, &inherited, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // Started with standard input or output closed (`0<&- >&-`), the tests
  // would have a pipe or a terminal of a case's take its number: the test
  // output in the program's input, or a case's terminal made another's.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDWR);  // takes the lowest
  }
  testing::InitGoogleTest(&argc, argv);
  // Under a debugger, the tests in the process it started: docs/testing.md.
  if (std::find(argv + 1, argv + argc, std::string_view("--unsupervised")) ==
      argv + argc) {
    RunTheTestsInAChild();
  }
  AdoptOrphans();  // not inherited: the tests adopt what each case leaves
  return RUN_ALL_TESTS();
}
