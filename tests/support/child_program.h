#pragma once
// A program the test talks to while it runs: started with more environment,
// its standard output and error read by a thread of the test (on one pipe,
// as systemd connects both to the journal, or on two), signalled, and ended
// with a bounded wait. Reading its standard output can be held, so the
// program's writes block as they would behind a consumer that stalls; with
// a set pipe size, holding also fills the pipe, so the next write blocks.
// Its standard input is empty, or a pipe the test writes to (`input`).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/run_program.h"
#include "support/wait_for.h"

extern char** environ;

namespace testing_support {

class ChildProgram {
 public:
  struct Settings {
    std::vector<std::string> env;  // "NAME=value", beside the test's own
    bool one_stream = false;       // standard error on the standard output's pipe
    bool journal = false;          // JOURNAL_STREAM names the standard output's pipe
    int pipe_size = 0;             // the standard output pipe's capacity (0: as it is)
    bool input = false;            // standard input a pipe the test writes (Write)
  };

  ChildProgram(const std::string& program, std::vector<std::string> args, Settings settings) {
    if (::pipe2(out_, O_CLOEXEC) != 0 || ::pipe2(err_, O_CLOEXEC) != 0) return;
    if (settings.input && ::pipe2(in_, O_CLOEXEC) != 0) return;
    if (settings.pipe_size > 0) {
      ::fcntl(out_[1], F_SETPIPE_SZ, settings.pipe_size);
      // An end of the pipe of our own that never blocks (a new open, so the
      // program's end stays blocking).
      fill_ = ::open(("/proc/self/fd/" + std::to_string(out_[1])).c_str(),
                     O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (settings.journal) {
      struct stat st {};
      ::fstat(out_[1], &st);
      settings.env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                             std::to_string(st.st_ino));
    }
    args = CommandLine(program, std::move(args));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = settings.env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out_[1], STDOUT_FILENO);
      ::dup2(settings.one_stream ? out_[1] : err_[1], STDERR_FILENO);
      const int null = in_[0] >= 0 ? in_[0] : ::open("/dev/null", O_RDONLY);
      if (null >= 0) ::dup2(null, STDIN_FILENO);
      ::execvpe(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out_[1]);
    ::close(err_[1]);
    if (in_[0] >= 0) ::close(in_[0]);
    in_[0] = -1;
    reader_ = std::thread([this] { Read(); });
  }
  ~ChildProgram() {
    if (pid_ > 0 && !ended_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    done_.store(true);
    if (reader_.joinable()) reader_.join();
    for (int fd : {out_[0], err_[0], fill_, in_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  std::string Out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_text_;
  }
  std::string Err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_text_;
  }
  // Writes `text` to the program's standard input (with `input`); false
  // when it did not all go.
  bool Write(const std::string& text) const {
    return in_[1] >= 0 &&
           ::write(in_[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  // Waits until `done(out, err)` holds, at most `limit`.
  bool Until(const std::function<bool(const std::string&, const std::string&)>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
    return WaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex_);
          return done(out_text_, err_text_);
        },
        limit);
  }
  // While held, nothing is read from the standard output's pipe.
  void HoldOut(bool hold) {
    hold_.store(hold);
    if (hold && fill_ >= 0) {
      // Wait for the reader to let go of the pipe, then fill it.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const std::string filler(512, '\n');
      for (std::size_t size : {filler.size(), std::size_t{1}}) {
        while (::write(fill_, filler.data(), size) > 0) {
        }
      }
    }
  }
  void Signal(int signal) const { ::kill(pid_, signal); }
  // SIGTERM, and its exit status (-1 when it did not end within `limit`).
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    HoldOut(false);
    ::kill(pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  void Read() {
    pollfd fds[2] = {{out_[0], POLLIN, 0}, {err_[0], POLLIN, 0}};
    while (!done_.load() && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
      const bool hold = hold_.load();
      pollfd now[2] = {{hold ? -1 : fds[0].fd, POLLIN, 0}, fds[1]};
      if (::poll(now, 2, 20) <= 0) continue;
      for (int k = 0; k < 2; ++k) {
        if (now[k].fd < 0 || now[k].revents == 0) continue;
        char buf[4096];
        const ssize_t n = ::read(now[k].fd, buf, sizeof buf);
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          (k == 0 ? out_text_ : err_text_).append(buf, static_cast<std::size_t>(n));
        } else {
          fds[k].fd = -1;
        }
      }
    }
  }

  int out_[2] = {-1, -1}, err_[2] = {-1, -1}, in_[2] = {-1, -1}, fill_ = -1;
  pid_t pid_ = -1;
  bool ended_ = false;
  std::atomic<bool> hold_{false}, done_{false};
  mutable std::mutex mutex_;
  std::string out_text_, err_text_;
  std::thread reader_;
};

}  // namespace testing_support
