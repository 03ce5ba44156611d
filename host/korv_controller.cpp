#include "host/korv_controller.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "host/local_clock.h"

namespace korv {
HostObserver::~HostObserver() = default;
}  // namespace korv

KorvController::KorvController() : worker_([this] { WorkerLoop(); }) {}

KorvController::~KorvController() {
  FlushRepeats();
  {
    std::lock_guard<std::mutex> lock(work_mutex_);
    stopping_ = true;
  }
  work_cv_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void KorvController::SetObserver(std::shared_ptr<korv::HostObserver> observer) {
  std::lock_guard<std::mutex> lock(observer_mutex_);
  observer_ = std::move(observer);
}

std::shared_ptr<korv::HostObserver> KorvController::Observer() const {
  std::lock_guard<std::mutex> lock(observer_mutex_);
  return observer_;
}

namespace {
std::string RepeatedLine(const std::string& line, unsigned held) {
  return line + " (repeated " + std::to_string(held) + " times)";
}
}  // namespace

void KorvController::TakeDueRepeats(std::int64_t now, bool all,
                                    std::vector<std::pair<unsigned, std::string>>& out) {
  for (auto& [device, last] : last_lines_) {
    if (last.held == 0 || (!all && now - last.since < repeat_window_)) continue;
    out.emplace_back(device, RepeatedLine(last.line, last.held));
    last.held = 0;
    // A copy after the told count starts a new window of its own.
    last.line.clear();
  }
}

void KorvController::Log(unsigned device, const std::string& line) {
  const std::int64_t now = korv::ToEpochSeconds(korv::LocalNow());
  std::vector<std::pair<unsigned, std::string>> tell;
  {
    std::unique_lock<std::mutex> lock(log_mutex_);
    if (repeat_window_ <= 0) {
      lock.unlock();
      if (auto obs = Observer()) obs->OnLog(device, line);
      return;
    }
    LastLine& last = last_lines_[device];
    if (!last.line.empty() && last.line == line && now - last.since < repeat_window_ &&
        now >= last.since) {
      ++last.held;
      return;
    }
    if (last.held != 0) {
      tell.emplace_back(device, RepeatedLine(last.line, last.held));
      last.held = 0;
    }
    TakeDueRepeats(now, false, tell);
    last.line = line;
    last.since = now;
    tell.emplace_back(device, line);
  }
  if (auto obs = Observer()) {
    for (const auto& [from, text] : tell) obs->OnLog(from, text);
  }
}

void KorvController::SetRepeatWindow(std::int64_t seconds) {
  {
    std::lock_guard<std::mutex> lock(log_mutex_);
    repeat_window_ = seconds > 0 ? seconds : 0;
  }
  if (seconds <= 0) FlushRepeats();
}

std::int64_t KorvController::RepeatWindow() const {
  std::lock_guard<std::mutex> lock(log_mutex_);
  return repeat_window_;
}

void KorvController::FlushRepeats() {
  std::vector<std::pair<unsigned, std::string>> tell;
  {
    std::lock_guard<std::mutex> lock(log_mutex_);
    TakeDueRepeats(0, true, tell);
  }
  if (auto obs = Observer()) {
    for (const auto& [from, text] : tell) obs->OnLog(from, text);
  }
}

korv::AlarmTransition KorvController::UpdateAlarm(unsigned device, const std::string& key,
                                                  const std::string& description,
                                                  std::uint8_t state) {
  std::lock_guard<std::mutex> lock(alarm_mutex_);
  const auto it = alarms_.find(std::tie(device, key, description));
  const std::uint8_t before = it == alarms_.end() ? 0 : it->second;
  if (state == before) return korv::AlarmTransition::None;
  if (state == 0) {
    alarms_.erase(it);
    return korv::AlarmTransition::Cleared;
  }
  if (it != alarms_.end()) {
    it->second = state;
  } else {
    alarms_.emplace(std::make_tuple(device, key, description), state);
  }
  return korv::AlarmTransition::Raised;
}

korv::AlarmTransition KorvController::Check(korv::AlarmCheck check) {
  const std::uint8_t state = check.is_map ? check.value : (check.active ? 1 : 0);
  check.active = state != 0;
  check.transition = UpdateAlarm(check.device, check.key, check.description, state);
  if (check.transition != korv::AlarmTransition::None) check.at = std::chrono::system_clock::now();
  if (auto obs = Observer()) obs->OnAlarmCheck(check);
  return check.transition;
}

bool KorvController::IsRaised(unsigned device, const std::string& key,
                              const std::string& description) const {
  std::lock_guard<std::mutex> lock(alarm_mutex_);
  return alarms_.find(std::tie(device, key, description)) != alarms_.end();
}

void KorvController::SubmitWork(unsigned device, std::function<void()> item) {
  if (auto obs = Observer()) obs->OnWorkSubmitted(device);
  {
    std::lock_guard<std::mutex> lock(work_mutex_);
    if (work_count_ == work_.size()) {
      // Full: twice the room, the queued items first, oldest first.
      std::vector<std::function<void()>> grown(std::max<std::size_t>(8, 2 * work_.size()));
      for (std::size_t k = 0; k < work_count_; ++k) {
        grown[k] = std::move(work_[(work_head_ + k) % work_.size()]);
      }
      work_.swap(grown);
      work_head_ = 0;
    }
    work_[(work_head_ + work_count_) % work_.size()] = std::move(item);
    ++work_count_;
    ++submitted_;
    if (!worker_idle_) return;  // it gathers a batch and runs this with it
  }
  work_cv_.notify_one();
}

void KorvController::DrainWork() {
  std::unique_lock<std::mutex> lock(work_mutex_);
  const std::uint64_t target = submitted_;
  ++draining_;
  if (finished_ < target) work_cv_.notify_one();  // a batch being gathered runs now
  idle_cv_.wait(lock, [&] { return finished_ >= target; });
  --draining_;
}

std::thread::id KorvController::WorkerThreadId() const { return worker_.get_id(); }

void KorvController::WorkerLoop() {
  ::pthread_setname_np(::pthread_self(), "korv-worker");
  std::unique_lock<std::mutex> lock(work_mutex_);
  for (;;) {
    if (work_count_ == 0) {
      worker_idle_ = true;
      work_cv_.wait(lock, [&] { return stopping_ || work_count_ != 0; });
      worker_idle_ = false;
      if (work_count_ == 0) return;  // stopping, and nothing left to run
      work_cv_.wait_for(lock, kWorkBatch, [&] { return stopping_ || draining_ != 0; });
    }
    std::function<void()> item = std::move(work_[work_head_]);
    work_[work_head_] = nullptr;
    work_head_ = (work_head_ + 1) % work_.size();
    --work_count_;
    lock.unlock();
    try {
      item();
    } catch (const std::exception& e) {
      Log(0, std::string("KorvController: threshold work item failed: ") + e.what());
    } catch (...) {
      Log(0, "KorvController: threshold work item failed");
    }
    item = nullptr;  // drop what the item holds (a device share) before counting it done
    lock.lock();
    ++finished_;
    idle_cv_.notify_all();
  }
}
