#pragma once
// Log lines and trace lines gathered while a device holds its record lock, written
// once it is released: the host's log may block, and a reader of the
// records must never wait for it.

#include <functional>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "host/korv_device.h"

namespace psma {

class DeferredOutput {
 public:
  // An InfoLog line of the device; the values are kept by value, with
  // their types, so they render as InfoLog would have rendered them here.
  template <typename... Args>
  void Log(const char* format, Args... args) {
    entries_.emplace_back(
        [format, args...](const KorvVDevice& device) { device.InfoLog(format, args...); });
  }

  // A whole line for standard output, without its line end.
  void Trace(std::string line) {
    entries_.emplace_back(
        [line = std::move(line)](const KorvVDevice&) { std::cout << line << '\n'; });
  }

  // Writes everything in the order it was gathered.
  void Flush(const KorvVDevice& device) {
    for (const auto& entry : entries_) entry(device);
    entries_.clear();
  }

 private:
  std::vector<std::function<void(const KorvVDevice&)>> entries_;
};

}  // namespace psma
