// The built program from the outside: exact bytes, exit status, character sets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/dialogue_cases.h"
#include "tests/program_runner.h"

namespace {

// Under Wine the program is a Russian Windows console program: it writes code
// page 866 and ends lines with CR LF.
bool UnderWindows() { return std::getenv("POLYMUL_WINDOWS") != nullptr; }
const char* PlatformCharset() { return UnderWindows() ? "IBM866" : "UTF-8"; }
std::string_view PlatformLineEnd() { return UnderWindows() ? "\r\n" : "\n"; }
std::vector<std::pair<std::string, std::string>> PlatformLocale() {
  return {{"LC_ALL", UnderWindows() ? "ru_RU.UTF-8" : "C.UTF-8"}};
}

void ExpectRun(const ProgramRun& run, const DialogueCase& expected, const char* charset,
               std::string_view line_end) {
  EXPECT_EQ(run.out, Encode(expected.out, charset, line_end));
  EXPECT_EQ(run.err, Encode(expected.err, charset, line_end));
  EXPECT_EQ(run.status, expected.status);
}

class EndToEnd : public testing::TestWithParam<DialogueCase> {};

TEST_P(EndToEnd, WritesExactlyTheExpectedBytes) {
  const DialogueCase& expected = GetParam();
  const ProgramRun run =
      RunProgram({.input = std::string(expected.input), .environment = PlatformLocale()});
  ExpectRun(run, expected, PlatformCharset(), PlatformLineEnd());
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, testing::ValuesIn(kDialogueCases),
                         [](const auto& test) { return std::string(test.param.name); });

const DialogueCase& Case(std::string_view name) {
  for (const auto& run : kDialogueCases) {
    if (run.name == name) return run;
  }
  throw std::invalid_argument(std::string(name));
}

TEST(EndToEndProgram, IgnoresItsArguments) {
  const ProgramRun run = RunProgram({.input = "2 1 2 3 4 5 6",
                                     .environment = PlatformLocale(),
                                     .arguments = {"--help", "5", "-"}});
  ExpectRun(run, Case("OrderTwo"), PlatformCharset(), PlatformLineEnd());
}

// `script` run by sh, then the program's command as its arguments.
std::vector<std::string> InShell(const char* script) {
  std::vector<std::string> command = {"sh", "-c", script, "sh"};
  for (std::string& word : ProgramCommand()) command.push_back(std::move(word));
  return command;
}

// Output that cannot be written at all: status 2, and a word on standard error.
TEST(EndToEndProgram, FailedWriteIsNotSuccess) {
  const struct {
    const char* how;
    ProgramOptions options;
  } failures[] = {
      {"a full disk", {.stdout_file = "/dev/full"}},
      {"standard output closed", {.command = InShell("exec \"$@\" >&-")}},
      {"its reader gone, SIGPIPE ignored",
       {.command = InShell("trap '' PIPE; exec \"$@\""), .stdout_closed = true}},
  };
  for (auto [how, options] : failures) {
    options.input = "0 3 5";
    options.environment = PlatformLocale();
    const ProgramRun run = RunProgram(options);
    EXPECT_EQ(run.status, 2) << how;
    EXPECT_EQ(run.err, Encode(ERROR_OUTPUT_FAILED, PlatformCharset(), PlatformLineEnd()))
        << how;
  }
  // With its reader gone, a Unix program ends as the tools of a pipeline do.
  const ProgramRun closed = RunProgram(
      {.input = "0 3 5", .environment = PlatformLocale(), .stdout_closed = true});
  if (UnderWindows()) {
    EXPECT_EQ(closed.status, 2);
  } else {
    EXPECT_EQ(closed.killed_by, SIGPIPE);
  }
}

// Standard output and standard error one non-blocking pipe that is all but
// full when the program starts, as another program may leave it, and read only
// once the program sleeps waiting for room: every byte arrives, the error's
// too.
TEST(EndToEndProgram, OutputWaitsForRoomInAFullPipe) {
  const DialogueCase runs[] = {
      Case("OrderZero"),
      {"ErrorToo", "0 3 x", UP_TO_FACTORS "\n" ERROR_NOT_A_NUMBER PRESS_ANY_KEY, "", 1},
  };
  for (const DialogueCase& run : runs) {
    SCOPED_TRACE(run.name);
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(out[1], F_SETPIPE_SZ, 4096), 4096);
    fcntl(out[1], F_SETFL, O_NONBLOCK);
    const std::string before(3900, '.');
    ASSERT_EQ(write(out[1], before.data(), before.size()), 3900);
    const std::string input(run.input);
    ASSERT_EQ(write(in[1], input.data(), input.size()),
              static_cast<ssize_t>(input.size()));
    close(in[1]);
    std::vector<std::string> command = ProgramCommand();
    const pid_t program = fork();
    if (program == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      for (const auto& [name, value] : PlatformLocale())
        setenv(name.c_str(), value.c_str(), 1);
      ExecProgram(std::move(command));
    }
    close(in[0]);
    close(out[1]);
    // What it could write is in the pipe, and it sleeps; one that does not
    // wait would end, and one that spins would never sleep.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool asleep_with_pipe_full = false;
    for (int queued = 0;
         !asleep_with_pipe_full && std::chrono::steady_clock::now() < deadline;
         poll(nullptr, 0, 1)) {
      ioctl(out[0], FIONREAD, &queued);
      const ProcessStatus status = ReadProcessStatus(program);
      asleep_with_pipe_full = queued > 3900 && status.Sleeps();
      if (status.Ended()) break;
    }
    EXPECT_TRUE(asleep_with_pipe_full) << "it never slept waiting for room";
    std::string written;
    std::array<char, 4096> buffer;
    for (ssize_t got; (got = read(out[0], buffer.data(), buffer.size())) > 0;) {
      written.append(buffer.data(), static_cast<std::size_t>(got));
    }
    close(out[0]);
    int status = -1;
    waitpid(program, &status, 0);
    EXPECT_TRUE(written.starts_with(before));
    EXPECT_EQ(written.substr(std::min(written.size(), before.size())),
              Encode(run.out, PlatformCharset(), PlatformLineEnd()));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == run.status) << status;
  }
}

TEST(EndToEndProgram, ReadErrorIsNotTheEndOfInput) {
  const ProgramRun run = RunProgram({.environment = PlatformLocale(), .stdin_file = "/"});
  ExpectRun(run,
            {"ReadError", "", INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY,
             ERROR_READ_FAILED, 1},
            PlatformCharset(), PlatformLineEnd());
}

// Someone at the other end of a pipe, or a terminal that another program left
// non-blocking: each answer is typed once its prompt is there to read, and
// the program waits for it asleep, not spinning. The last is one byte, read
// alone, and the end of the input ends it.
TEST(EndToEndProgram, EachPromptIsShownBeforeItsAnswerIsAwaited) {
  for (const bool nonblocking : {false, true}) {
    const ProgramRun run =
        RunProgram({.answers = {{Encode(ORDER_PROMPT, PlatformCharset()), "0\n"},
                                {"p1()= ", "3\n"},
                                {"p2()= ", "5"}},
                    .nonblocking_input = nonblocking,
                    .answer_once_asleep = true,
                    .environment = PlatformLocale()});
    ExpectRun(run, Case("OrderZero"), PlatformCharset(), PlatformLineEnd());
  }
}

TEST(EndToEndMemory, ALongNumberIsReadInFixedMemory) {
  const ProgramRun normal =
      RunProgram({.input = "0 3 5", .environment = PlatformLocale()});
  const ProgramRun long_token = RunProgram({.input = "0 ",
                                            .digits_after_input = std::size_t{256} << 20,
                                            .environment = PlatformLocale()});
  EXPECT_EQ(long_token.err,
            Encode(ERROR_COEFFICIENT_TOO_LARGE, PlatformCharset(), PlatformLineEnd()));
  EXPECT_EQ(long_token.status, 1);
  EXPECT_LT(long_token.peak_kib, normal.peak_kib + 16 * 1024)
      << "a normal run takes " << normal.peak_kib << " KiB";
}

// A program broken so that it leaves a child behind, in a session of its own,
// every signal it can blocked, spinning: the child ends with the case.
TEST(EndToEndHarness, NothingOutlivesItsCase) {
  const ProgramRun run =
      RunProgram({.command = {"perl", "-MPOSIX", "-e",
                              "my $all = POSIX::SigSet->new; $all->fillset; "
                              "sigprocmask(SIG_BLOCK, $all); $pid = fork; "
                              "if ($pid) { print $pid; exit 0 } "
                              "setsid; close STDOUT; close STDERR; 1 while 1"}});
  const pid_t spinner = std::stoi(run.out);
  EXPECT_EQ(kill(spinner, 0), -1) << "the spinner still runs";
  EXPECT_EQ(errno, ESRCH);
}

// The test process's hidden mode for the test below: set in its environment,
// as soon as the tests start it leaves a spinner behind, as a case that
// started a broken program would, writes the spinner's number, and is killed.
constexpr const char* kKilledInTheMiddleOfACase = "POLYMUL_TESTS_KILLED_IN_A_CASE";

class KilledInTheMiddleOfACase : public testing::Environment {
 public:
  void SetUp() override {
    const pid_t spinner = fork();
    if (spinner == 0) {
      setsid();
      sigset_t all;
      sigfillset(&all);
      sigprocmask(SIG_BLOCK, &all, nullptr);
      close(STDOUT_FILENO);
      close(STDERR_FILENO);
      for (std::atomic<unsigned> turns = 0;; turns.fetch_add(1)) {
      }
    }
    std::printf("%d\n", spinner);
    std::fflush(stdout);
    raise(SIGKILL);
  }
};

[[maybe_unused]] const testing::Environment* const kKilledInACase =
    std::getenv(kKilledInTheMiddleOfACase) != nullptr
        ? testing::AddGlobalTestEnvironment(new KilledInTheMiddleOfACase)
        : nullptr;

TEST(EndToEndHarness, NothingOutlivesItsTestProcess) {
  // Were the mode lost, the one quick case named would run, and no number
  // would come.
  const ProgramRun run = RunProgram(
      {.command = {"sh", "-c",
                   "spinner=$(\"$0\" "
                   "--gtest_filter=EndToEndHarness.NothingOutlivesItsCase "
                   "| tail -n 1); kill -0 \"$spinner\" && echo \"$spinner runs\" "
                   "|| echo \"$spinner gone\"",
                   std::filesystem::read_symlink("/proc/self/exe")},
       .environment = {{kKilledInTheMiddleOfACase, "1"}}});
  EXPECT_GT(std::atoi(run.out.c_str()), 0) << run.out;
  EXPECT_TRUE(run.out.ends_with(" gone\n")) << run.out;
}

struct LocaleCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> environment;
  const char* charset;  // what the terminal is expected to be given
  bool needs_installed_locale;
};

void PrintTo(const LocaleCase& locale, std::ostream* out) { *out << locale.name; }

const LocaleCase kLocaleCases[] = {
    {"RussianUtf8", {{"LANG", "ru_RU.UTF-8"}}, "UTF-8", true},
    {"RussianKoi8R", {{"LANG", "ru_RU.KOI8-R"}}, "KOI8-R", true},
    {"RussianCp1251", {{"LC_CTYPE", "ru_RU.CP1251"}}, "CP1251", true},
    {"RussianIso8859_5", {{"LC_ALL", "ru_RU.ISO-8859-5"}}, "ISO-8859-5", true},
    {"RussianIbm866", {{"LC_ALL", "ru_RU.IBM866"}}, "IBM866", true},
    // A locale that is not installed still names the terminal's charset.
    {"MissingKoi8R", {{"LC_ALL", "xx_XX.KOI8-R"}}, "KOI8-R", false},
    {"MissingIbm866", {{"LANG", "xx_XX.ibm866@euro"}}, "IBM866", false},
    {"LcCtypeOverLang",
     {{"LC_CTYPE", "xx_XX.CP1251"}, {"LANG", "ru_RU.UTF-8"}},
     "CP1251",
     false},
    {"LcAllOverAll", {{"LC_ALL", "C"}, {"LANG", "ru_RU.KOI8-R"}}, "UTF-8", false},
    {"NoLocaleAtAll", {}, "UTF-8", false},
    // Charsets without a table of our own go through the C library's iconv.
    {"MissingKoi8U", {{"LANG", "xx_XX.KOI8-U"}}, "KOI8-U", false},
    {"MissingGb18030", {{"LANG", "xx_XX.GB18030"}}, "GB18030", false},
    // Japanese and Chinese charsets with every Russian letter; GBK has no
    // other letter of the Cyrillic block (no Ukrainian ї, which EUC-JP has).
    {"MissingEucJp", {{"LC_ALL", "ja_JP.EUC-JP"}}, "EUC-JP", false},
    {"MissingGbk", {{"LC_ALL", "zh_CN.GBK"}}, "GBK", false},
    // A charset without Cyrillic letters, or an unknown one, gets UTF-8.
    {"Latin1", {{"LANG", "xx_XX.ISO-8859-1"}}, "UTF-8", false},
    {"UnknownCharset", {{"LANG", "xx_XX.NO-SUCH-CHARSET"}}, "UTF-8", false},
    // So does one that would not keep ASCII as ASCII or has no Latin letters:
    // numbers and "p1()= " are written unconverted, and a run is in one charset.
    {"Utf16", {{"LANG", "xx_XX.UTF-16"}}, "UTF-8", false},
    {"Utf7", {{"LANG", "xx_XX.UTF-7"}}, "UTF-8", false},
    {"Ebcdic", {{"LANG", "xx_XX.IBM1025"}}, "UTF-8", false},
    {"Koi7", {{"LANG", "xx_XX.KOI-7"}}, "UTF-8", false},
};

class EndToEndLocale : public testing::TestWithParam<LocaleCase> {};

TEST_P(EndToEndLocale, RussianTextsReachTheTerminalInItsCharset) {
  const LocaleCase& locale = GetParam();
  if (UnderWindows())
    GTEST_SKIP() << "Windows takes the console's code page, not a locale";
  if (locale.needs_installed_locale) {
    const std::string& name = locale.environment.front().second;
    if (std::setlocale(LC_CTYPE, name.c_str()) == nullptr) {
      GTEST_SKIP() << name << " is not installed (localedef -i ru_RU -f ... makes it)";
    }
    std::setlocale(LC_CTYPE, "C");
  }
  for (const char* name : {"OrderTwo", "WordInSecondFactor"}) {
    const DialogueCase& expected = Case(name);
    const ProgramRun run = RunProgram(
        {.input = std::string(expected.input), .environment = locale.environment});
    ExpectRun(run, expected, locale.charset, "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Locales, EndToEndLocale, testing::ValuesIn(kLocaleCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
