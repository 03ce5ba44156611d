#include "tools/psma-sim/sim_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace psma_sim {

SimLoop::SimLoop() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;  // the wake-up; watches count from 1
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
}

SimLoop::~SimLoop() {
  Stop();
  if (wake_ >= 0) ::close(wake_);
  if (epoll_ >= 0) ::close(epoll_);
}

void SimLoop::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return;
  running_ = true;
  stopping_ = false;
  thread_ = std::thread([this] { Loop(); });
  loop_thread_ = thread_.get_id();
}

void SimLoop::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
  }
  Run([this] { stopping_ = true; });
  thread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    loop_thread_ = std::thread::id();
  }
  RunCalls();  // any queued after the loop's last look
}

void SimLoop::Run(const std::function<void()>& call) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_ || std::this_thread::get_id() == loop_thread_) {
    lock.unlock();
    call();
    return;
  }
  calls_.push_back(call);
  const std::uint64_t mine = ++queued_;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t put = ::write(wake_, &one, sizeof one);
  done_cv_.wait(lock, [&] { return done_ >= mine; });
}

std::uint64_t SimLoop::Watch(int fd, std::function<void()> ready) {
  const std::uint64_t id = next_id_++;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = id;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) return 0;
  watched_[id] = {fd, std::make_shared<std::function<void()>>(std::move(ready))};
  return id;
}

void SimLoop::Unwatch(std::uint64_t id) {
  const auto it = watched_.find(id);
  if (it == watched_.end()) return;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.first, nullptr);
  watched_.erase(it);
}

std::uint64_t SimLoop::At(Clock::time_point when, std::function<void()> due) {
  const std::uint64_t id = next_id_++;
  timers_.emplace(when, id);
  timer_calls_[id] = std::move(due);
  return id;
}

void SimLoop::Cancel(std::uint64_t id) {
  // The entry in timers_ stays until it is due and then finds no call.
  timer_calls_.erase(id);
}

void SimLoop::RunCalls() {
  std::deque<std::function<void()>> calls;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls.swap(calls_);
  }
  for (auto& call : calls) {
    call();
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
  }
  done_cv_.notify_all();
}

void SimLoop::RunTimers() {
  const auto now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    const std::uint64_t id = timers_.begin()->second;
    timers_.erase(timers_.begin());
    const auto it = timer_calls_.find(id);
    if (it == timer_calls_.end()) continue;
    const auto due = std::move(it->second);
    timer_calls_.erase(it);
    due();
  }
}

void SimLoop::Loop() {
  std::vector<epoll_event> events(256);
  while (!stopping_) {
    int timeout = -1;
    if (!timers_.empty()) {
      // Rounded up, so a timer is never woken for just before it is due.
      const auto wait = timers_.begin()->first - Clock::now();
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
      timeout = us <= 0 ? 0 : static_cast<int>((us + 999) / 1000);
    }
    const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout);
    for (int k = 0; k < n; ++k) {
      const std::uint64_t id = events[static_cast<std::size_t>(k)].data.u64;
      if (id == 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
        continue;
      }
      // A call before this one may have ended the watch.
      const auto it = watched_.find(id);
      if (it == watched_.end()) continue;
      const auto ready = it->second.second;
      (*ready)();
    }
    RunCalls();
    RunTimers();
  }
  RunCalls();
}

}  // namespace psma_sim
