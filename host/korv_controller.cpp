#include "host/korv_controller.h"

#include <exception>

namespace korv {
HostObserver::~HostObserver() = default;
}  // namespace korv

KorvController::KorvController() : worker_([this] { WorkerLoop(); }) {}

KorvController::~KorvController() {
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

void KorvController::Log(unsigned device, const std::string& line) {
  if (auto obs = Observer()) obs->OnLog(device, line);
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
    work_.push_back(std::move(item));
    ++submitted_;
  }
  work_cv_.notify_one();
}

void KorvController::DrainWork() {
  std::unique_lock<std::mutex> lock(work_mutex_);
  const std::uint64_t target = submitted_;
  idle_cv_.wait(lock, [&] { return finished_ >= target; });
}

std::thread::id KorvController::WorkerThreadId() const { return worker_.get_id(); }

void KorvController::WorkerLoop() {
  std::unique_lock<std::mutex> lock(work_mutex_);
  for (;;) {
    work_cv_.wait(lock, [&] { return stopping_ || !work_.empty(); });
    if (work_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> item = std::move(work_.front());
    work_.pop_front();
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
