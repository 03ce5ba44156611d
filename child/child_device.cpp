#include "child/child_device.h"

#include <functional>
#include <memory>
#include <stdexcept>

#include "host/local_clock.h"

namespace psma {

ChildDevice::ChildDevice() = default;
ChildDevice::~ChildDevice() = default;

int ChildDevice::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                 int& returned) {
  if (code == kIoValuesChanged) {
    if (const std::optional<bool> moved = LastRoundMoved()) {
      return AnswerValuesChanged(*moved, out, out_len, returned);
    }
  } else if (code == kIoValueKeys) {
    return AnswerValueKeys(ValueKeys(), out, out_len, returned);
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

void ChildDevice::HandOverRound(std::vector<std::uint8_t> block) {
  const std::size_t pending = rules_.size();
  std::shared_ptr<KorvVDevice> keep = weak_from_this().lock();
  const bool shared = keep != nullptr;
  std::function<void()> item = [keep = std::move(keep), this, rules = std::move(rules_),
                                block = std::move(block)] {
    if (DoBatchCheckThreshold(rules)) batch_result_.store(true, std::memory_order_release);
    SaveDeviceHistory(block.data(), static_cast<int>(block.size()));
  };
  rules_.clear();  // the moved-from list is made the empty list
  rules_.reserve(pending);
  if (shared) {
    CheckThresholdWork(std::move(item));
  } else {
    item();
  }
}

std::optional<bool> ChildDevice::LastRoundMoved() const { return std::nullopt; }

}  // namespace psma
