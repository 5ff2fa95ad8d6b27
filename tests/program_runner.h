// Runs the built program as a user's shell would, with no terminal around it.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ProgramRun {
  std::string out;
  std::string err;
  int status = -1;    // the exit status, or -1 if it did not exit
  int killed_by = 0;  // the signal that ended it, if one did
  long peak_kib = 0;  // its largest resident memory
};

// Fields that exclude each other are refused together (see RunProgram).
struct ProgramOptions {
  std::vector<std::string> command = {};  // instead of the program under test
  // Standard input is a pipe fed with `input`, then each answer once its
  // prompt has been written, then a token of `digits_after_input` 7s.
  std::string input = {};
  std::vector<std::pair<std::string, std::string>> answers = {};
  std::size_t digits_after_input = 0;
  bool nonblocking_input = false;   // as another program may leave it
  bool answer_once_asleep = false;  // and it sleeps, waiting for the answer
  // Variables to set; every locale variable not named here is removed.
  std::vector<std::pair<std::string, std::string>> environment = {};
  std::vector<std::string> arguments = {};
  const char* stdin_file = nullptr;   // read instead of the pipe above
  const char* stdout_file = nullptr;  // emptied, or made, instead of capturing output
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
// it after a minute; whatever it leaves running ends with it. Throws
// std::invalid_argument, naming them, for options that exclude each other
// (`stdin_file` with `input`, `answers` or `digits_after_input`;
// `stdout_closed` with `stdout_file`; `answers` without captured output), and
// std::runtime_error if a file cannot be opened or the program started.
ProgramRun RunProgram(const ProgramOptions& options);

// Makes the calling process the one that orphans below it are given to
// (PR_SET_CHILD_SUBREAPER), whatever session or group they made. The tests'
// main (tests/supervised_main.cpp) does this where the tests start.
void AdoptOrphans();

// Ends every descendant of the test process with SIGKILL, however deep and in
// whatever session or group, and reaps every child but `keep`, whose status
// its caller still wants. A program broken so that it blocks every signal and
// spins, or stops itself for ever, would otherwise outlive its case. Orphans
// are found only once adopted (AdoptOrphans).
void EndCaseProcesses(pid_t keep = 0);

// A process as /proc/<pid>/status tells at one moment.
struct ProcessStatus {
  pid_t pid = 0;  // 0 if there is no such process
  pid_t parent = 0;
  // As the kernel tells it: 'R' runs, 'S' sleeps until woken, 'D' sleeps
  // unwakeable, 'T' stopped by a signal, 't' by a tracer, 'Z' ended and not
  // yet reaped; 0 if there is no such process.
  char state = 0;
  // A signal waits that it has not taken yet, sent to it or to its thread
  // group (SigPnd, ShdPnd): blocked, or about to wake it.
  bool signal_pending = false;

  // Waiting for something, using no processor, with no signal to take first.
  bool Sleeps() const { return state == 'S' && !signal_pending; }
  bool Ended() const { return state == 'Z'; }
};

// `pid` as /proc tells of it; a state of 0 if it is gone or was never there.
ProcessStatus ReadProcessStatus(pid_t pid);

// Converts all of `text` from one charset into another with iconv, with the
// shift sequence that ends a stateful charset (ISO-2022-JP). Throws
// std::runtime_error if iconv knows either charset not, if a byte sequence is
// no character of `from` or `text` ends inside one, or if a character has no
// exact equivalent in `to`, even where `to` asks iconv to transliterate
// ("//TRANSLIT") or to skip ("//IGNORE").
std::string Convert(std::string_view text, const char* from, const char* to);

// Converts UTF-8 text into `charset` with iconv, and "\n" into `line_end`.
std::string Encode(std::string_view utf8, const char* charset,
                   std::string_view line_end = "\n");
