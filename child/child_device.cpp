#include "child/child_device.h"

#include <functional>
#include <memory>
#include <stdexcept>

#include "host/local_clock.h"

namespace psma {

ChildDevice::ChildDevice() = default;
ChildDevice::~ChildDevice() = default;

std::string ChildDevice::SettingsProblem(const Json::Value&) { return {}; }

bool ChildDevice::InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    SetRecordId(id);
  }
  TakeSettings(settings);
  return KorvVDevice::InitV(parent, id, settings);
}

void ChildDevice::TakeSettings(const Json::Value&) {}

int ChildDevice::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                 int& returned) {
  if (code == kIoValuesChanged) {
    if (const std::optional<bool> moved = LastRoundMoved()) {
      return AnswerValuesChanged(*moved, out, out_len, returned);
    }
  } else if (code == kIoValueKeys) {
    return AnswerValueKeys(ValueKeys(), out, out_len, returned);
  } else if (code == kIoValueClasses) {
    return AnswerValueClasses(ValueClasses(), out, out_len, returned);
  } else if (code == kIoBlockLayout) {
    return AnswerBlockLayout(LayoutJson(Layout()), out, out_len, returned);
  }
  return KorvSPDevice::DeviceIoControl(code, in, in_len, out, out_len, returned);
}

void ChildDevice::RequireServable() const {
  if (!IsDataReady()) throw std::out_of_range("数据未就绪");
  if (DataAgeSeconds() >= kStaleSeconds) throw std::out_of_range("数据已超时");
}

void ChildDevice::MarkRestored() {
  SetLastUpdate(korv::LocalNow());
  SetDataReady(true);
}

void ChildDevice::HandOverRound(const std::uint8_t* block, std::size_t len) {
  std::unique_ptr<RoundWork> work = TakeRoundWork();
  if (block != nullptr && len > 0) {
    work->block.assign(block, block + len);
  } else {
    work->block.clear();
  }
  // The rules go with the item; the device keeps the room of an earlier
  // round's list for the next round's rules.
  const std::size_t pending = rules_.size();
  work->rules.swap(rules_);
  rules_.clear();
  rules_.reserve(pending);
  work->keep = weak_from_this().lock();
  if (work->keep == nullptr) {
    RunRoundWork(work.release());
    return;
  }
  // Two plain words: the item fits inside the function object, no allocation.
  RoundWork* const raw = work.release();
  CheckThresholdWork([this, raw] { RunRoundWork(raw); });
}

std::unique_ptr<ChildDevice::RoundWork> ChildDevice::TakeRoundWork() {
  {
    std::lock_guard<std::mutex> lock(round_work_mutex_);
    if (!free_round_work_.empty()) {
      std::unique_ptr<RoundWork> work = std::move(free_round_work_.back());
      free_round_work_.pop_back();
      return work;
    }
  }
  return std::make_unique<RoundWork>();
}

void ChildDevice::RunRoundWork(RoundWork* raw) {
  std::unique_ptr<RoundWork> work(raw);
  if (DoBatchCheckThreshold(work->rules)) batch_result_.store(true, std::memory_order_release);
  SaveDeviceHistory(work->block.data(), static_cast<int>(work->block.size()));
  // The device may live on through this share alone: it goes last, after the
  // storage is back in the device's free list.
  const std::shared_ptr<KorvVDevice> keep = std::move(work->keep);
  work->rules.clear();
  std::lock_guard<std::mutex> lock(round_work_mutex_);
  free_round_work_.push_back(std::move(work));
}

std::optional<bool> ChildDevice::LastRoundMoved() const { return std::nullopt; }

}  // namespace psma
