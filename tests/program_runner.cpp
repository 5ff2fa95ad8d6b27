// Starting the program under test in a session of its own and collecting its output.
#include "tests/program_runner.h"

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::vector<std::string> ProgramCommand() {
  std::vector<std::string> command;
  if (const char* launcher = std::getenv("POLYMUL_LAUNCHER")) {
    std::istringstream words{launcher};
    for (std::string word; words >> word;) command.push_back(word);
  }
  const char* program = std::getenv("POLYMUL_PROGRAM");
  if (program == nullptr) throw std::runtime_error("POLYMUL_PROGRAM is not set");
  command.emplace_back(program);
  return command;
}

void ExecProgram(std::vector<std::string> command, int ignored_signal) {
  for (int number = 1; number < NSIG; ++number) signal(number, SIG_DFL);
  if (ignored_signal != 0) signal(ignored_signal, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  std::vector<char*> argv;
  for (auto& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

namespace {

// Whatever session or group a process of the tests makes for itself, it stays
// their descendant: orphans are reparented here, not to init.
void AdoptOrphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

struct Process {
  pid_t pid = 0;
  pid_t parent = 0;
  char state = 0;  // S sleeps, Z has ended and waits to be reaped
  bool ended() const { return state == 'Z'; }
};

// A process as its /proc/<pid>/stat tells; no state if it is gone.
Process ReadProcess(const std::filesystem::path& folder) {
  std::ifstream stat(folder / "stat");
  std::string line;
  Process process;
  if (!std::getline(stat, line)) return process;  // not a process, or gone
  // pid (name) state parent ...; the name may hold blanks and parentheses.
  std::istringstream fields(line.substr(line.rfind(')') + 1));
  process.pid = static_cast<pid_t>(std::atoi(line.c_str()));
  fields >> process.state >> process.parent;
  return process;
}

// Every descendant of this process, from /proc.
std::vector<Process> Descendants() {
  std::vector<Process> all;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    if (const Process process = ReadProcess(entry.path()); process.state != 0) {
      all.push_back(process);
    }
  }
  std::vector<Process> found;
  std::vector<pid_t> parents{getpid()};
  while (!parents.empty()) {
    const pid_t parent = parents.back();
    parents.pop_back();
    for (const Process& process : all) {
      if (process.parent != parent) continue;
      found.push_back(process);
      parents.push_back(process.pid);
    }
  }
  return found;
}

}  // namespace

void EndCaseProcesses(pid_t keep) {
  // A process may fork while its siblings are killed: again until none is left.
  for (;;) {
    const std::vector<Process> left = Descendants();
    if (std::all_of(left.begin(), left.end(), [keep](const Process& process) {
          return process.pid == keep && process.ended();
        })) {
      return;
    }
    for (const Process& process : left) {
      if (!process.ended()) kill(process.pid, SIGKILL);
    }
    for (const Process& process : left) {
      if (process.parent == getpid() && process.pid != keep) {
        waitpid(process.pid, nullptr, 0);
      }
    }
    poll(nullptr, 0, 1);  // for the deeper ones to end and come here
  }
}

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

// The tests run in a child of the process that was started: that one stays
// their parent, and nothing a case starts outlives them.
[[maybe_unused]] const bool kTestsOutlived = [] {
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
  AdoptOrphans();  // not inherited: the tests adopt what each case leaves
  return tests == 0;
}();

[[noreturn]] void BecomeProgram(const ProgramOptions& options,
                                std::vector<std::string> command, int in, int out,
                                int err) {
  setsid();
  if (options.stdin_file != nullptr) in = open(options.stdin_file, O_RDONLY);
  dup2(in, STDIN_FILENO);
  if (options.nonblocking_input) fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
  if (options.stdout_file != nullptr) {
    out = open(options.stdout_file, O_WRONLY);
  }
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  for (const char* variable :
       {"LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LC_NUMERIC"}) {
    unsetenv(variable);
  }
  for (const auto& [name, value] : options.environment)
    setenv(name.c_str(), value.c_str(), 1);
  command.insert(command.end(), options.arguments.begin(), options.arguments.end());
  ExecProgram(std::move(command));
}

}  // namespace

ProgramRun RunProgram(const ProgramOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> command =
      options.command.empty() ? ProgramCommand() : options.command;
  const pid_t child = fork();
  if (child == 0) BecomeProgram(options, std::move(command), in[0], out[1], err[1]);
  for (const int end : {in[0], out[1], err[1]}) close(end);
  if (child < 0) {
    for (const int end : {in[1], out[0], err[0]}) close(end);
    throw std::runtime_error("fork failed");
  }
  signal(SIGPIPE, SIG_IGN);  // a program that stops reading early is no test failure
  fcntl(in[1], F_SETFL, O_NONBLOCK);

  ProgramRun run;
  std::string input = options.input;
  std::size_t answered = 0;
  std::size_t prompts_seen_up_to = 0;
  std::size_t digits_left = options.digits_after_input;
  const std::string digits(65536, '7');
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  std::array<pollfd, 3> streams{
      {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}}};
  std::array<std::string*, 2> sinks{&run.out, &run.err};
  const auto stop = [&](pollfd& stream) {
    close(stream.fd);
    stream.fd = -1;
  };
  if (options.stdout_closed) stop(streams[0]);
  while ((streams[0].fd >= 0 || streams[1].fd >= 0) &&
         std::chrono::steady_clock::now() < deadline) {
    for (; answered < options.answers.size(); ++answered) {
      const auto& [prompt, answer] = options.answers[answered];
      const auto at = run.out.find(prompt, prompts_seen_up_to);
      if (at == std::string::npos) break;
      // Asleep: waiting for something, using no processor.
      if (options.answer_once_asleep &&
          ReadProcess("/proc/" + std::to_string(child)).state != 'S') {
        break;
      }
      prompts_seen_up_to = at + prompt.size();
      input += answer;
    }
    const bool more_to_send = !input.empty() || digits_left > 0;
    if (!more_to_send && answered == options.answers.size() && streams[2].fd >= 0) {
      stop(streams[2]);  // all sent
    }
    streams[2].events = more_to_send ? POLLOUT : 0;
    if (poll(streams.data(), streams.size(), 100) <= 0) continue;
    for (std::size_t i = 0; i < sinks.size(); ++i) {
      if (streams[i].revents == 0) continue;
      std::array<char, 4096> buffer;
      const ssize_t got = read(streams[i].fd, buffer.data(), buffer.size());
      if (got > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(got));
      } else {
        stop(streams[i]);
      }
    }
    if (streams[2].fd >= 0 && streams[2].revents != 0) {
      const std::string_view next =
          !input.empty() ? input : std::string_view(digits).substr(0, digits_left);
      const bool writable = (streams[2].revents & POLLOUT) != 0;
      const ssize_t sent = writable ? write(in[1], next.data(), next.size()) : 0;
      if (!writable || (sent < 0 && errno != EAGAIN)) {
        stop(streams[2]);  // the program reads no more
      } else if (sent > 0) {
        const auto size = static_cast<std::size_t>(sent);
        if (!input.empty()) {
          input.erase(0, size);
        } else {
          digits_left -= size;
        }
      }
    }
  }
  // Its output closed, it has ended or is about to: its exit status is kept
  // if it comes before the deadline.
  siginfo_t ended{};
  while (streams[0].fd < 0 && streams[1].fd < 0 &&
         std::chrono::steady_clock::now() < deadline &&
         waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) ==
             0 &&
         ended.si_pid == 0) {
    poll(nullptr, 0, 10);
  }
  EndCaseProcesses(child);
  for (const auto& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.killed_by = WTERMSIG(status);
  run.peak_kib = usage.ru_maxrss;
  return run;
}

std::string Convert(std::string_view text, const char* from, const char* to) {
  const iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error(std::string("iconv cannot convert into ") + to);
  }
  std::string converted(text.size() * 4, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t in_left = text.size();
  char* out = converted.data();
  std::size_t out_left = converted.size();
  const std::size_t result = iconv(converter, &in, &in_left, &out, &out_left);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1)) {
    throw std::runtime_error(std::string("no exact conversion into ") + to);
  }
  converted.resize(converted.size() - out_left);
  return converted;
}

std::string Encode(std::string_view utf8, const char* charset,
                   std::string_view line_end) {
  std::string with_line_ends;
  for (const char c : Convert(utf8, "UTF-8", charset)) {
    if (c == '\n') {
      with_line_ends += line_end;
    } else {
      with_line_ends += c;
    }
  }
  return with_line_ends;
}
