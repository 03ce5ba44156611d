#pragma once
// Log lines found while a device holds its record lock, written once the
// lock is released: the host's log may block, and a value reader must never
// wait on it.

#include <functional>
#include <utility>
#include <vector>

#include "host/korv_device.h"

class PendingLines {
 public:
  // Keeps `format` and copies of `args` for a later InfoLog.
  template <typename... Args>
  void Add(const char* format, const Args&... args) {
    lines_.emplace_back(
        [format, args...](const KorvVDevice& device) { device.InfoLog(format, args...); });
  }

  // Writes the kept lines through `device`'s log, in the order they were found.
  void WriteTo(const KorvVDevice& device) const {
    for (const auto& line : lines_) line(device);
  }

 private:
  std::vector<std::function<void(const KorvVDevice&)>> lines_;
};
