#pragma once
// Log lines and trace lines gathered while a device holds its record lock, written
// once it is released: the host's log may block, and a reader of the
// records must never wait for it.

#include <cstddef>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
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
    entries_.push_back(
        {[format, args...](const KorvVDevice& device) { device.InfoLog(format, args...); }, 0, 0});
  }

  // A whole line for standard output, without its line end. The text goes
  // into one buffer that keeps its room, so a steady stream of trace lines
  // allocates nothing.
  void Trace(std::string_view line) {
    const std::size_t begin = text_.size();
    text_.append(line);
    entries_.push_back({nullptr, begin, text_.size()});
  }

  // Writes everything in the order it was gathered, and forgets it.
  void Flush(const KorvVDevice& device) {
    for (const auto& entry : entries_) {
      if (entry.log) {
        entry.log(device);
      } else {
        std::cout.write(text_.data() + entry.begin,
                        static_cast<std::streamsize>(entry.end - entry.begin))
            << '\n';
      }
    }
    Clear();
  }

  // Forgets everything gathered, keeping the room.
  void Clear() {
    entries_.clear();
    text_.clear();
  }

 private:
  struct Entry {
    std::function<void(const KorvVDevice&)> log;  // empty for a trace line
    std::size_t begin;                            // a trace line's text in text_
    std::size_t end;
  };
  std::vector<Entry> entries_;
  std::string text_;
};

}  // namespace psma
