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
#include <cstring>
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

void AdoptOrphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

ProcessStatus ReadProcessStatus(pid_t pid) {
  ProcessStatus process;
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  // "Key:\tvalue" lines; the name is escaped, and its colons come after "Name".
  for (std::string line; std::getline(file, line);) {
    const std::size_t colon = line.find(':');
    if (colon == line.npos) continue;
    const std::string_view key(line.data(), colon);
    const char* value = line.c_str() + colon + 1;
    value += std::strspn(value, " \t");
    if (key == "State") process.state = *value;
    if (key == "Pid") process.pid = static_cast<pid_t>(std::atol(value));
    if (key == "PPid") process.parent = static_cast<pid_t>(std::atol(value));
    if (key == "SigPnd" || key == "ShdPnd") {
      process.signal_pending = process.signal_pending || value[std::strspn(value, "0")];
    }
  }
  return process;
}

namespace {

// Every descendant of this process, from /proc.
std::vector<ProcessStatus> Descendants() {
  std::vector<ProcessStatus> all;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    // Not a process, as /proc/self is not, is pid 0, which none has.
    const pid_t pid = std::atoi(entry.path().filename().c_str());
    if (const ProcessStatus process = ReadProcessStatus(pid); process.state != 0) {
      all.push_back(process);
    }
  }
  std::vector<ProcessStatus> found;
  std::vector<pid_t> parents{getpid()};
  while (!parents.empty()) {
    const pid_t parent = parents.back();
    parents.pop_back();
    for (const ProcessStatus& process : all) {
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
    const std::vector<ProcessStatus> left = Descendants();
    if (std::all_of(left.begin(), left.end(), [keep](const ProcessStatus& process) {
          return process.pid == keep && process.Ended();
        })) {
      return;
    }
    for (const ProcessStatus& process : left) {
      if (!process.Ended()) kill(process.pid, SIGKILL);
    }
    for (const ProcessStatus& process : left) {
      if (process.parent == getpid() && process.pid != keep) {
        waitpid(process.pid, nullptr, 0);
      }
    }
    poll(nullptr, 0, 1);  // for the deeper ones to end and come here
  }
}

namespace {

void RefuseOptionsThatExcludeEachOther(const ProgramOptions& options) {
  struct Field {
    const char* name;
    bool given;
  };
  const Field input{"input", !options.input.empty()};
  const Field answers{"answers", !options.answers.empty()};
  const Field digits{"digits_after_input", options.digits_after_input > 0};
  const Field stdin_file{"stdin_file", options.stdin_file != nullptr};
  const Field stdout_file{"stdout_file", options.stdout_file != nullptr};
  const Field stdout_closed{"stdout_closed", options.stdout_closed};
  // Answers wait for prompts in the output that is captured.
  const std::pair<Field, Field> excluding[] = {
      {input, stdin_file},          {answers, stdin_file},  {digits, stdin_file},
      {stdout_file, stdout_closed}, {answers, stdout_file}, {answers, stdout_closed}};
  for (const auto& [first, second] : excluding) {
    if (first.given && second.given) {
      throw std::invalid_argument(std::string("ProgramOptions: ") + first.name + " and " +
                                  second.name + " exclude each other");
    }
  }
}

// The program's standard input, output and error, each a pipe or a file: the
// descriptors it is given, and the other ends of its pipes, kept here to be
// polled (-1 for a file, or once closed). The tests' main keeps descriptors 0
// to 2 open, so that none of these can be one of them.
struct Streams {
  std::array<int, 3> program{-1, -1, -1};
  std::array<pollfd, 3> ours{{{-1, POLLOUT, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}}};

  explicit Streams(const ProgramOptions& options) {
    if (options.stdin_file != nullptr) {
      program[0] = Open(options.stdin_file, O_RDONLY);
    } else {
      Pipe(0, /*program_reads=*/true);
    }
    if (options.stdout_file != nullptr) {
      program[1] = Open(options.stdout_file, O_WRONLY | O_CREAT | O_TRUNC);
    } else {
      Pipe(1, false);
    }
    if (options.stdout_closed) Close(ours[1].fd);
    Pipe(2, false);
  }
  ~Streams() { CloseAll(); }
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;

  static void Close(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

 private:
  int Open(const char* path, int flags) {
    const int fd = open(path, flags | O_CLOEXEC, 0600);
    if (fd < 0) Fail(std::string("cannot open ") + path);
    return fd;
  }
  void Pipe(std::size_t number, bool program_reads) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) Fail("pipe failed");
    program[number] = ends[program_reads ? 0 : 1];
    ours[number].fd = ends[program_reads ? 1 : 0];
  }
  void CloseAll() {
    for (int& fd : program) Close(fd);
    for (pollfd& end : ours) Close(end.fd);
  }
  // No destructor runs for a constructor that throws.
  [[noreturn]] void Fail(const std::string& what) {
    const std::string reason = std::strerror(errno);
    CloseAll();
    throw std::runtime_error(what + ": " + reason);
  }
};

[[noreturn]] void BecomeProgram(const ProgramOptions& options,
                                std::vector<std::string> command,
                                const Streams& streams) {
  setsid();
  for (int number = 0; number < 3; ++number) {
    dup2(streams.program[static_cast<std::size_t>(number)], number);
  }
  if (options.nonblocking_input) fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
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
  RefuseOptionsThatExcludeEachOther(options);
  std::vector<std::string> command =
      options.command.empty() ? ProgramCommand() : options.command;
  Streams streams(options);
  const pid_t child = fork();
  if (child == 0) BecomeProgram(options, std::move(command), streams);
  if (child < 0) throw std::runtime_error("fork failed");
  for (int& fd : streams.program) Streams::Close(fd);
  signal(SIGPIPE, SIG_IGN);  // a program that stops reading early is no test failure
  pollfd& in = streams.ours[0];
  if (in.fd >= 0) fcntl(in.fd, F_SETFL, O_NONBLOCK);

  ProgramRun run;
  std::string input = options.input;
  std::size_t answered = 0;
  std::size_t prompts_seen_up_to = 0;
  std::size_t digits_left = options.digits_after_input;
  const std::string digits(65536, '7');
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  const std::array<std::string*, 3> sinks{nullptr, &run.out, &run.err};
  const auto writing = [&streams] {
    return streams.ours[1].fd >= 0 || streams.ours[2].fd >= 0;
  };
  while (writing() && std::chrono::steady_clock::now() < deadline) {
    for (; answered < options.answers.size(); ++answered) {
      const auto& [prompt, answer] = options.answers[answered];
      const auto at = run.out.find(prompt, prompts_seen_up_to);
      if (at == std::string::npos) break;
      if (options.answer_once_asleep && !ReadProcessStatus(child).Sleeps()) break;
      prompts_seen_up_to = at + prompt.size();
      input += answer;
    }
    const bool more_to_send = !input.empty() || digits_left > 0;
    if (!more_to_send && answered == options.answers.size()) {
      Streams::Close(in.fd);  // all sent
    }
    in.events = more_to_send ? POLLOUT : 0;
    if (poll(streams.ours.data(), streams.ours.size(), 100) <= 0) continue;
    for (std::size_t i = 1; i < sinks.size(); ++i) {
      pollfd& out = streams.ours[i];
      if (out.fd < 0 || out.revents == 0) continue;
      std::array<char, 4096> buffer;
      const ssize_t got = read(out.fd, buffer.data(), buffer.size());
      if (got > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(got));
      } else {
        Streams::Close(out.fd);
      }
    }
    if (in.fd >= 0 && in.revents != 0) {
      const std::string_view next =
          !input.empty() ? input : std::string_view(digits).substr(0, digits_left);
      const bool writable = (in.revents & POLLOUT) != 0;
      const ssize_t sent = writable ? write(in.fd, next.data(), next.size()) : 0;
      if (!writable || (sent < 0 && errno != EAGAIN)) {
        Streams::Close(in.fd);  // the program reads no more
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
  while (!writing() && std::chrono::steady_clock::now() < deadline &&
         waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) ==
             0 &&
         ended.si_pid == 0) {
    poll(nullptr, 0, 10);
  }
  EndCaseProcesses(child);
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
    throw std::runtime_error(std::string("iconv cannot convert from ") + from + " into " +
                             to);
  }
  std::string converted;
  char* in = const_cast<char*>(text.data());
  std::size_t in_left = text.size();
  std::size_t inexact = 0;  // characters that iconv transliterated
  bool failed = false;
  // All of the text, then (with no input) the end of a stateful charset's state.
  for (bool text_done = false;;) {
    std::array<char, 4096> buffer;
    char* out = buffer.data();
    std::size_t out_left = buffer.size();
    const std::size_t result = text_done
                                   ? iconv(converter, nullptr, nullptr, &out, &out_left)
                                   : iconv(converter, &in, &in_left, &out, &out_left);
    converted.append(buffer.data(), buffer.size() - out_left);
    if (result == static_cast<std::size_t>(-1) && errno == E2BIG) continue;
    failed = result == static_cast<std::size_t>(-1);
    if (!failed) inexact += result;
    if (failed || text_done) break;
    text_done = true;
  }
  iconv_close(converter);
  if (failed || inexact != 0) {
    throw std::runtime_error("no exact conversion from " + std::string(from) + " into " +
                             to + " at byte " + std::to_string(text.size() - in_left) +
                             " of " + std::to_string(text.size()));
  }
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
