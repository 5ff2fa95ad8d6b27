// The runner's own cases: what reaches the program's standard streams, the
// options it refuses, what it reads in /proc, and its charset conversions.
#include "tests/program_runner.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

TEST(ProgramRunner, StreamsReachTheProgram) {
  const ProgramRun piped =
      RunProgram({.command = {"sh", "-c", "cat; echo to-err >&2"}, .input = "abc"});
  EXPECT_EQ(piped.out, "abc");
  EXPECT_EQ(piped.err, "to-err\n");
  EXPECT_EQ(piped.status, 0);

  const std::filesystem::path file =
      testing::TempDir() + "program_runner_" + std::to_string(getpid());
  std::ofstream(file) << "from a file, longer\n";
  const ProgramRun from_file =
      RunProgram({.command = {"cat"}, .stdin_file = file.c_str()});
  EXPECT_EQ(from_file.out, "from a file, longer\n");
  EXPECT_EQ(from_file.status, 0);

  const ProgramRun to_file =
      RunProgram({.command = {"echo", "into a file"}, .stdout_file = file.c_str()});
  EXPECT_EQ(ReadFile(file), "into a file\n") << "emptied first";
  EXPECT_EQ(to_file.out, "");
  std::filesystem::remove(file);

  const ProgramRun closed = RunProgram({.command = {"echo", "x"}, .stdout_closed = true});
  EXPECT_EQ(closed.killed_by, SIGPIPE);
}

// Descriptors 0 and 1, closed, would be the first that the cases' pipes and
// terminals get: the cases above run again in a test process started so.
TEST(ProgramRunner, StreamsReachTheProgramWhenTheTestsStartWithoutThem) {
  const ProgramRun run = RunProgram(
      {.command = {"sh", "-c",
                   "exec \"$0\" --gtest_filter=ProgramRunner.StreamsReachTheProgram "
                   "--gtest_output=xml:/dev/stderr 0<&- 1>&-",
                   std::filesystem::read_symlink("/proc/self/exe")}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("name=\"StreamsReachTheProgram\""), std::string::npos)
      << run.err;
}

TEST(ProgramRunner, RefusesOptionsThatExcludeEachOther) {
  const struct {
    ProgramOptions options;
    const char* message;
  } refused[] = {
      {{.input = "1", .stdin_file = "/dev/null"}, "input and stdin_file"},
      {{.answers = {{"?", "1"}}, .stdin_file = "/dev/null"}, "answers and stdin_file"},
      {{.digits_after_input = 1, .stdin_file = "/dev/null"},
       "digits_after_input and stdin_file"},
      {{.stdout_file = "/dev/null", .stdout_closed = true},
       "stdout_file and stdout_closed"},
      {{.answers = {{"?", "1"}}, .stdout_file = "/dev/null"}, "answers and stdout_file"},
      {{.answers = {{"?", "1"}}, .stdout_closed = true}, "answers and stdout_closed"},
  };
  for (auto [options, message] : refused) {
    options.command = {"true"};
    try {
      RunProgram(options);
      ADD_FAILURE() << message << " accepted";
    } catch (const std::invalid_argument& refusal) {
      EXPECT_EQ(refusal.what(),
                "ProgramOptions: " + std::string(message) + " exclude each other");
    }
  }
}

TEST(ProgramRunner, FailsWhereAFileCannotBeOpened) {
  for (const ProgramOptions& options :
       {ProgramOptions{.command = {"true"}, .stdin_file = "/no/such/file"},
        ProgramOptions{.command = {"true"}, .stdout_file = "/"}}) {
    try {
      RunProgram(options);
      ADD_FAILURE() << "run without its file";
    } catch (const std::runtime_error& failure) {
      const std::string path = options.stdin_file ? options.stdin_file : "/";
      EXPECT_EQ(std::string(failure.what()).find("cannot open " + path + ": "), 0)
          << failure.what();
    }
  }
}

// A child blocked in pause() with SIGUSR1 blocked, which a signal sent to
// it or to its one thread leaves pending.
TEST(ProgramRunner, ReadsWhetherAProcessSleepsStopsOrHasEnded) {
  const std::function<void(pid_t)> senders[] = {
      [](pid_t child) { kill(child, SIGUSR1); },                        // ShdPnd
      [](pid_t child) { syscall(SYS_tgkill, child, child, SIGUSR1); },  // SigPnd
  };
  for (const auto& send : senders) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigset_t inherited;
    sigprocmask(SIG_BLOCK, &usr1, &inherited);
    const pid_t child = fork();
    if (child == 0) {
      for (;;) pause();
    }
    sigprocmask(SIG_SETMASK, &inherited, nullptr);
    const auto await = [child](const char* what, auto holds) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      ProcessStatus process = ReadProcessStatus(child);
      while (!holds(process) && std::chrono::steady_clock::now() < deadline) {
        poll(nullptr, 0, 1);
        process = ReadProcessStatus(child);
      }
      EXPECT_TRUE(holds(process)) << what << ": state " << process.state;
      return process;
    };
    const ProcessStatus asleep =
        await("asleep", [](const ProcessStatus& process) { return process.Sleeps(); });
    EXPECT_EQ(asleep.pid, child);
    EXPECT_EQ(asleep.parent, getpid());
    EXPECT_FALSE(asleep.signal_pending);
    send(child);
    const ProcessStatus pending = ReadProcessStatus(child);
    EXPECT_EQ(pending.state, 'S');
    EXPECT_TRUE(pending.signal_pending);
    EXPECT_FALSE(pending.Sleeps());
    kill(child, SIGSTOP);
    await("stopped", [](const ProcessStatus& process) { return process.state == 'T'; });
    kill(child, SIGKILL);
    await("ended", [](const ProcessStatus& process) { return process.Ended(); });
    waitpid(child, nullptr, 0);
    EXPECT_EQ(ReadProcessStatus(child).state, 0) << "reaped";
  }
}

TEST(ProgramRunner, ConvertsExactlyOrNotAtAll) {
  EXPECT_EQ(Convert("Съешь", "UTF-8", "KOI8-R"), "\xf3\xdf\xc5\xdb\xd8");
  // Back from JIS X 0208 to ASCII at the end.
  EXPECT_EQ(Convert("Я", "UTF-8", "ISO-2022-JP"), "\x1b$B'A\x1b(B");
  // Four bytes a letter, and a byte-order mark: more than four times the text.
  const std::string letters(5000, 'a');
  const std::string wide = Convert(letters, "UTF-8", "UTF-32");
  EXPECT_EQ(wide.size(), 4 * (letters.size() + 1));
  EXPECT_EQ(Convert(wide, "UTF-32", "UTF-8"), letters);

  const struct {
    const char* text;
    const char* from;
    const char* to;
  } refused[] = {
      {"\xff", "UTF-8", "KOI8-R"},        // no character of UTF-8
      {"a\xd0", "UTF-8", "KOI8-R"},       // ends inside one
      {"ї", "UTF-8", "KOI8-R"},           // no Ukrainian letters
      {"Я", "UTF-8", "ASCII//TRANSLIT"},  // "?", which iconv counts
      {"їa", "UTF-8", "KOI8-R//IGNORE"},  // "a", the rest skipped
      {"a", "UTF-8", "NO-SUCH-CHARSET"},
  };
  for (const auto& [text, from, to] : refused) {
    EXPECT_THROW(Convert(text, from, to), std::runtime_error) << text << " into " << to;
  }
}

}  // namespace
