// Runs the built program as a user's shell would, with no terminal around it.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct ProgramRun {
  std::string out;
  std::string err;
  int status = -1;    // the exit status, or -1 if it did not exit
  int killed_by = 0;  // the signal that ended it, if one did
  long peak_kib = 0;  // its largest resident memory
};

struct ProgramOptions {
  std::vector<std::string> command = {};  // instead of the program under test
  std::string input = {};
  // Each answer is sent once its prompt has been written, after the input.
  std::vector<std::pair<std::string, std::string>> answers = {};
  std::size_t digits_after_input = 0;  // a token of that many 7s follows the input
  bool nonblocking_input = false;      // as another program may leave it
  bool answer_once_asleep = false;     // and it sleeps, waiting for the answer
  // Variables to set; every locale variable not named here is removed.
  std::vector<std::pair<std::string, std::string>> environment = {};
  std::vector<std::string> arguments = {};
  const char* stdin_file = nullptr;   // instead of the input above
  const char* stdout_file = nullptr;  // instead of capturing standard output
  bool stdout_closed = false;         // its reader gone before it writes
};

// The command that starts the program under test: the words of
// POLYMUL_LAUNCHER (such as "wine" or "valgrind -q"), if set, then POLYMUL_PROGRAM.
std::vector<std::string> ProgramCommand();

// Becomes `command` with the signal dispositions and mask that a shell gives
// its commands, whatever the tests set for themselves, but for
// `ignored_signal`, ignored as nohup does; 127 if exec fails.
[[noreturn]] void ExecProgram(std::vector<std::string> command, int ignored_signal = 0);

// Starts the program in a session of its own, so that it has no controlling
// terminal, feeds it its input and collects what it writes. Gives up and kills
// it after a minute; whatever it leaves running ends with it. Throws if it
// cannot be started.
ProgramRun RunProgram(const ProgramOptions& options);

// Ends every descendant of the test process with SIGKILL, however deep and in
// whatever session or group, and reaps every child but `keep`, whose status
// its caller still wants. A program broken so that it blocks every signal and
// spins, or stops itself for ever, would otherwise outlive its case.
void EndCaseProcesses(pid_t keep = 0);

// Converts `text` from one charset into another with iconv; throws unless exact.
std::string Convert(std::string_view text, const char* from, const char* to);

// Converts UTF-8 text into `charset` with iconv, and "\n" into `line_end`.
std::string Encode(std::string_view utf8, const char* charset,
                   std::string_view line_end = "\n");
