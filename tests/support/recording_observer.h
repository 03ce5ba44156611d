#pragma once
// Records every host call a device makes, in order, as one short text per
// call, plus the blocks and checks themselves for closer looks.
//
//   log <device> <line>
//   check <device> <level> <key> <code> <name> <description> <0|1> <seq>
//   map <device> <value> <level> <key> <code> <name> <description> <text> <seq>
//   send <device> <kind> <len>
//   save <device> <len>
//   request <device> <cid1> <cid2> [info hex]     (hex in lower case)
//   work <device> / batch <device> <rules> / reset <device> / link <device> <reason>

#include <fmt/format.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_observer.h"

namespace testing_support {

class RecordingObserver : public korv::HostObserver {
 public:
  struct Block {
    unsigned device;
    int kind;  // -1 for a saved history block
    std::vector<std::uint8_t> bytes;
  };

  void OnLog(unsigned device, const std::string& line) override {
    Add(fmt::format("log {} {}", device, line));
  }
  void OnAlarmCheck(const korv::AlarmCheck& c) override {
    std::lock_guard<std::mutex> lock(mutex_);
    checks_.push_back(c);
    if (c.is_map) {
      calls_.push_back(fmt::format("map {} {} {} {} {} {} {} {} {}", c.device, c.value, c.level,
                                   c.key, c.code, c.name, c.description, c.state_text, c.seq));
    } else {
      calls_.push_back(fmt::format("check {} {} {} {} {} {} {} {}", c.device, c.level, c.key,
                                   c.code, c.name, c.description, c.active ? 1 : 0, c.seq));
    }
  }
  void OnSendSP(unsigned device, const std::string&, int kind,
                const std::vector<std::uint8_t>& block, bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.push_back({device, kind, block});
    calls_.push_back(fmt::format("send {} {} {}", device, kind, block.size()));
  }
  void OnSaveHistory(unsigned device, const std::string&,
                     const std::vector<std::uint8_t>& block) override {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.push_back({device, -1, block});
    calls_.push_back(fmt::format("save {} {}", device, block.size()));
  }
  void OnRequest(unsigned device, std::uint8_t cid1, std::uint8_t cid2,
                 const std::vector<std::uint8_t>& info) override {
    std::string line = fmt::format("request {} {:02x} {:02x}", device, cid1, cid2);
    if (!info.empty()) {
      line += ' ';
      for (auto b : info) line += fmt::format("{:02x}", b);
    }
    Add(line);
  }
  void OnWorkSubmitted(unsigned device) override { Add(fmt::format("work {}", device)); }
  void OnBatchCheck(unsigned device, const std::vector<rule_value>& rules) override {
    Add(fmt::format("batch {} {}", device, rules.size()));
  }
  void OnReset(unsigned device) override { Add(fmt::format("reset {}", device)); }
  void OnLinkError(unsigned device, yd1363::Fault fault, const std::string& reason) override {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
    calls_.push_back(fmt::format("link {} {}", device, reason));
  }

  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // The calls that start with `prefix` (for example "check" or "request").
  std::vector<std::string> Calls(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& c : calls_) {
      if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
    }
    return out;
  }
  std::vector<korv::AlarmCheck> Checks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return checks_;
  }
  std::vector<Block> Blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_;
  }
  // The codes of the link faults, in the order of their "link" calls.
  std::vector<yd1363::Fault> Faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    checks_.clear();
    blocks_.clear();
    faults_.clear();
  }

 private:
  void Add(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(line));
  }

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<korv::AlarmCheck> checks_;
  std::vector<Block> blocks_;
  std::vector<yd1363::Fault> faults_;
};

}  // namespace testing_support
