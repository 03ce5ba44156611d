#include "gateway/outputs/exec/exec_output.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "gateway/core/journal.h"
#include "gateway/core/json_text.h"

namespace korv_host {
namespace {

using Clock = std::chrono::steady_clock;

// How often the thread looks whether the program ended.
constexpr std::chrono::milliseconds kReapStep{10};

// The program's whole environment starts with these.
const char* const kFixedEnvironment[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8"};

// NAME=value, a text from the unit shown as korv-host's lines show it.
std::string Variable(const char* name, const std::string& text) {
  return std::string(name) + "=" + Shortened(Readable(text), kValueLongest);
}

std::vector<std::string> Environment(const char* kind, unsigned unit,
                                     std::chrono::system_clock::time_point at) {
  std::vector<std::string> env(std::begin(kFixedEnvironment), std::end(kFixedEnvironment));
  env.push_back(Variable("KORV_EVENT", kind));
  env.push_back(Variable("KORV_UNIT", std::to_string(unit)));
  env.push_back(Variable("KORV_AT", UtcText(at)));
  return env;
}

// Ends what the program started too, should it have left children behind.
void SignalGroup(pid_t pid, int signal) { ::kill(-pid, signal); }

}  // namespace

ExecOutput::ExecOutput(ExecSettings settings) : settings_(std::move(settings)) {}

ExecOutput::~ExecOutput() { Stop(); }

bool ExecOutput::Start(std::string& error) {
  const char* path = settings_.command.c_str();
  struct stat st {};
  std::string why;
  if (::stat(path, &st) != 0 || (S_ISREG(st.st_mode) && ::access(path, X_OK) != 0)) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a file";
  }
  if (!why.empty()) {
    error = fmt::format("--notify-exec {}: no program to run: {}", settings_.command, why);
    return false;
  }
  thread_ = std::thread(&ExecOutput::Run, this);
  return true;
}

void ExecOutput::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    stop_ = true;
    stop_by_ = Clock::now() + settings_.stop_grace;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ExecOutput::OnAlarm(unsigned unit, const AlarmEvent& check) {
  const char* kind =
      check.transition == korv::AlarmTransition::Raised ? "alarm-raised" : "alarm-cleared";
  Notice notice{kind, Environment(kind, unit, check.at),
                fmt::format("{} of unit {} device {} {}", kind, unit, check.device, check.key)};
  auto& env = notice.env;
  env.push_back(Variable("KORV_DEVICE", std::to_string(check.device)));
  env.push_back(Variable("KORV_DEVICE_TYPE", check.device_type));
  env.push_back(Variable("KORV_KEY", check.key));
  env.push_back(Variable("KORV_CODE", check.code));
  env.push_back(Variable("KORV_LEVEL", std::to_string(check.level)));
  env.push_back(Variable("KORV_NAME", check.name));
  env.push_back(Variable("KORV_DESCRIPTION", check.description));
  env.push_back(Variable("KORV_SEQ", std::to_string(check.seq)));
  if (check.is_map) env.push_back(Variable("KORV_STATE_TEXT", check.state_text));
  Queue(std::move(notice));
}

void ExecOutput::OnLinkState(unsigned unit, const LinkEvent& event) {
  const bool troubled = !event.answering || event.no_round;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool& was = troubled_[unit];
    // A first contact, or rounds that never stopped, change nothing.
    if (!troubled && !was) return;
    was = troubled;
  }
  const char* kind = !event.answering ? "link-lost"
                     : event.no_round ? "link-no-round"
                                      : "link-regained";
  Notice notice{kind, Environment(kind, unit, std::chrono::system_clock::now()),
                fmt::format("{} of unit {}", kind, unit)};
  notice.env.push_back(Variable("KORV_LINK_TEXT", event.text));
  Queue(std::move(notice));
}

void ExecOutput::OnUnitRemoved(unsigned unit, const UnitRemovedEvent&) {
  std::lock_guard<std::mutex> lock(mutex_);
  troubled_.erase(unit);
}

void ExecOutput::Queue(Notice notice) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= settings_.queue_limit) {
      // The newest tells most about the site now.
      queue_.pop_front();
      ++dropped_;
    }
    queue_.push_back(std::move(notice));
  }
  cv_.notify_all();
}

ExecOutput::Counts ExecOutput::Counted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {sent_, failed_, dropped_, queue_.size() + (running_ ? 1 : 0)};
}

bool ExecOutput::Drain(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [this] { return queue_.empty() && !running_; });
}

std::vector<HealthNumber> ExecOutput::Metrics() const {
  const Counts counts = Counted();
  return {
      {"korv_notify_sent_total", "counter", "Notification commands that exited with status 0.",
       static_cast<double>(counts.sent)},
      {"korv_notify_failed_total", "counter",
       "Notification commands that failed: a status not 0, a signal, the timeout, or no start.",
       static_cast<double>(counts.failed)},
      {"korv_notify_dropped_total", "counter", "Notifications dropped because the queue was full.",
       static_cast<double>(counts.dropped)},
      {"korv_notify_waiting", "gauge", "Notifications queued or running.",
       static_cast<double>(counts.waiting)},
  };
}

void ExecOutput::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (dropped_ > dropped_told_) {
      const std::uint64_t count = dropped_ - dropped_told_;
      dropped_told_ = dropped_;
      lock.unlock();
      Note(drops_, count,
           fmt::format("exec: {} notifications dropped: more than {} waited", count,
                       settings_.queue_limit),
           "notifications dropped: the queue was full");
      lock.lock();
    }
    if (queue_.empty() || (stop_ && Clock::now() >= stop_by_)) break;
    const Notice notice = std::move(queue_.front());
    queue_.pop_front();
    running_ = true;
    lock.unlock();
    Failure failure = Failure::kStart;
    const std::string why = RunOne(notice, failure);
    if (why.empty() && failed_since_ok_ > 0) {
      Tell(LOG_NOTICE, fmt::format("exec: {} succeeded again, after {} failed", settings_.command,
                                   failed_since_ok_));
      failed_since_ok_ = 0;
      failures_.clear();
    } else if (!why.empty()) {
      ++failed_since_ok_;
      Note(failures_[failure], 1,
           fmt::format("exec: {} {} ({}); more failures like it are counted", settings_.command,
                       why, notice.about),
           "failures: " + why);
    }
    lock.lock();
    running_ = false;
    ++(why.empty() ? sent_ : failed_);
    cv_.notify_all();
  }
  const std::size_t left = queue_.size();
  queue_.clear();
  cv_.notify_all();
  lock.unlock();
  if (left > 0) Tell(LOG_WARNING, fmt::format("exec: {} notifications not run", left));
  for (auto& [failure, trouble] : failures_) TellUntold(trouble);
  TellUntold(drops_);
}

std::string ExecOutput::RunOne(const Notice& notice, Failure& failure) {
  std::vector<char*> env;
  for (const auto& variable : notice.env) env.push_back(const_cast<char*>(variable.c_str()));
  env.push_back(nullptr);
  char* argv[] = {const_cast<char*>(settings_.command.c_str()),
                  const_cast<char*>(notice.kind.c_str()), nullptr};

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // Its words go where korv-host's own go; a program that writes much waits
  // on that stream itself, and its timeout ends it.
  posix_spawn_file_actions_adddup2(&files, STDERR_FILENO, STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&files, STDERR_FILENO + 1);
#endif
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  // korv-host blocks its stop signals and ignores SIGPIPE; the program
  // starts as any program does.
  sigset_t none, every;
  sigemptyset(&none);
  sigfillset(&every);
  sigdelset(&every, SIGKILL);
  sigdelset(&every, SIGSTOP);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &every);

  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, settings_.command.c_str(), &files, &attr, argv, env.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) {
    failure = Failure::kStart;
    return std::string("cannot start: ") + std::strerror(spawned);
  }

  int status = 0;
  if (!Reap(pid, Clock::now() + settings_.timeout, true, status)) {
    bool stopping = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping = Clock::now() >= stop_by_;
    }
    failure = stopping ? Failure::kStopped : Failure::kTimeout;
    SignalGroup(pid, SIGTERM);
    if (!Reap(pid, Clock::now() + settings_.kill_grace, false, status)) {
      SignalGroup(pid, SIGKILL);
      if (!Reap(pid, Clock::now() + settings_.kill_grace, false, status)) {
        return fmt::format("does not end, even killed (pid {})", pid);
      }
    }
    return stopping ? "was still running at the stop, ended" : "ran past its timeout, ended";
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  if (WIFEXITED(status)) {
    failure = Failure::kStatus;
    return fmt::format("exited with status {}", WEXITSTATUS(status));
  }
  failure = Failure::kSignal;
  return fmt::format("ended by signal {}", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

bool ExecOutput::Reap(int pid, Clock::time_point end, bool until_stop, int& status) {
  for (;;) {
    const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return true;
    if (reaped < 0 && errno != EINTR) {
      // Reaped elsewhere: nothing is known of its end.
      status = 0;
      return true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const auto until = until_stop ? std::min(end, stop_by_) : end;
    if (Clock::now() >= until) return false;
    cv_.wait_for(lock, std::min<Clock::duration>(kReapStep, until - Clock::now()));
  }
}

void ExecOutput::Note(Trouble& trouble, std::uint64_t count, const std::string& first,
                      const std::string& more) {
  const auto now = Clock::now();
  trouble.more = more;
  if (!trouble.told) {
    Tell(LOG_WARNING, first);
    trouble.told = true;
    trouble.told_at = now;
    return;
  }
  trouble.untold += count;
  if (now - trouble.told_at >= settings_.retell) TellUntold(trouble);
}

void ExecOutput::TellUntold(Trouble& trouble) {
  if (trouble.untold == 0) return;
  Tell(LOG_WARNING,
       fmt::format("exec: {}: {} more {}", settings_.command, trouble.untold, trouble.more));
  trouble.untold = 0;
  trouble.told_at = Clock::now();
}

void ExecOutput::Tell(int priority, const std::string& line) const {
  if (settings_.tell) {
    settings_.tell(priority, line);
  } else {
    Say(priority, line);
  }
}

}  // namespace korv_host
