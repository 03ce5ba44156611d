#pragma once
// What the AC and DC distribution screens share beyond ChildDevice: the
// change thresholds of their "appSetting" (checked, then read, as a child's
// own settings), and whether the last round moved their values beyond them,
// which psma::kIoValuesChanged tells.

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "child/app_setting.h"
#include "child/child_device.h"

namespace psma {

class ScreenDevice : public ChildDevice {
 public:
  // The keys of its settings element a screen reads (the root reads the
  // element's "data_id").
  static const std::vector<std::string>& SettingKeys() {
    static const std::vector<std::string> keys = {"appSetting"};
    return keys;
  }
  // "appSetting", when given, must be an object of known thresholds, each a
  // number or a text holding one.
  static std::string SettingsProblem(const Json::Value& settings) {
    return AppThresholdsProblem(settings);
  }

  float DiffV() const { return diff_v; }
  float DiffI() const { return diff_i; }
  // Whether the last round's values moved by at least a threshold (or were
  // the first the screen published).
  bool ValuesChanged() const { return values_changed_.load(std::memory_order_acquire); }

 protected:
  // The thresholds a screen keeps when its settings name none.
  ScreenDevice(float default_diff_v, float default_diff_i)
      : diff_v(default_diff_v), diff_i(default_diff_i) {}

  // The change thresholds from "appSetting".
  void TakeSettings(const Json::Value& settings) override {
    ReadAppThresholds(settings, diff_v, diff_i);
  }
  // ValuesChanged().
  std::optional<bool> LastRoundMoved() const override { return ValuesChanged(); }

  float diff_v;
  float diff_i;
  std::atomic<bool> values_changed_{false};
};

}  // namespace psma
