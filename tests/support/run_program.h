#pragma once
// Runs a program with arguments and collects its standard output, standard
// error and exit status, killing it after a time limit. In a cross build a
// program of the build (named by its path) runs under the emulator the tests
// run under (PSMA_TEST_EMULATOR, its words separated by '|'); one of this
// machine's, named bare (mosquitto_pub), runs as it is. With `kill_when`,
// the program is killed (SIGKILL) as soon as its standard output holds that
// text.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ProgramResult {
  int status = -1;  // exit status, or -1 when killed or not started
  std::string out;
  std::string err;
  bool timed_out = false;
  bool killed = false;  // killed on `kill_when`
};

// The command line that runs `program` with `args`: a program of the build
// under the emulator the tests run under, if any. Its first word is the
// program to start.
inline std::vector<std::string> CommandLine(const std::string& program,
                                            std::vector<std::string> args) {
  args.insert(args.begin(), program);
#ifdef PSMA_TEST_EMULATOR
  const std::string emulator = PSMA_TEST_EMULATOR;
  if (!emulator.empty() && program.find('/') != std::string::npos) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at <= emulator.size()) {
      const std::size_t bar = emulator.find('|', at);
      words.push_back(emulator.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
      if (bar == std::string::npos) break;
      at = bar + 1;
    }
    args.insert(args.begin(), words.begin(), words.end());
  }
#endif
  return args;
}

inline ProgramResult RunProgram(const std::string& program, std::vector<std::string> args,
                                std::chrono::milliseconds limit = std::chrono::seconds(60),
                                const std::string& kill_when = "") {
  ProgramResult r;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return r;
  args = CommandLine(program, std::move(args));
  const std::string run = args.front();
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::execvp(run.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  const auto end = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
      if (n > 0) {
        (k == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
        if (k == 0 && !r.killed && !kill_when.empty() &&
            r.out.find(kill_when) != std::string::npos) {
          ::kill(pid, SIGKILL);
          r.killed = true;
        }
      } else {
        ::close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) ::close(f.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!r.timed_out && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  return r;
}

}  // namespace testing_support
