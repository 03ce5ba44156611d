#pragma once
// Protocol logic of the rectifier group: its records, the parse operations of
// the 0x41 answers and of the two parameter answers, cache restore and round
// end.
//
// The records are written on the polling thread (answers, round end) and by
// the host's cache restore, and copied by readers on other threads; one
// device lock guards them. The threshold worker never touches them: each
// round hands it a block of its own.

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/korv_device.h"
#include "child/deferred_output.h"

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public KorvSPDevice {
 public:
  PMBusPowerRC() { std::memset(&record_, 0, sizeof(record_)); }
  ~PMBusPowerRC() override = default;

  // The group offers no value by key; the refusal still tells missing and
  // stale data apart.
  float Get_Value(unsigned index, const std::string& key) const override;
  using VDeviceInterface::LoadFromCache;
  // Restores a history block: the group record and exactly module_count
  // module records. Any other block is refused and changes nothing.
  bool LoadFromCache(const std::uint8_t* data, int len) override;
  // Stamps the records, publishes the block, checks the module alarms and
  // hands the round's rules and block to the threshold worker.
  void RoundDone() override;

  bool InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      record_.data_id = id;
    }
    return KorvVDevice::InitV(parent, id, settings);
  }

  // Each takes an answer's information field and returns the bytes it took,
  // or -1 (41_44 returns 0 for more modules than the group has).
  virtual int parse41_41(const std::uint8_t* data, int len);
  virtual int parse41_43(const std::uint8_t* data, int len);
  virtual int parse41_44(const std::uint8_t* data, int len);
  virtual int parse40_46(const std::uint8_t* data, int len);
  virtual int parse42_46(const std::uint8_t* data, int len);
  virtual void DoImpCheckAlert() {}

  // Copies, consistent with each other only when taken on the polling thread.
  TeleRC Record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
  }
  std::vector<TeleRCChannel> Modules() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return modules_;
  }

  static constexpr int kGroupSize = static_cast<int>(sizeof(TeleRC));
  static constexpr int kModuleSize = static_cast<int>(sizeof(TeleRCChannel));
  static constexpr int kAlarmBytes = TeleRCChannel::P41_44_SIZE();

 protected:
  // The module records of the round being ended, as its block carries them:
  // the alarm checks of RoundDone and DoImpCheckAlert judge these. Read and
  // written on the polling thread only.
  const std::vector<TeleRCChannel>& RoundModules() const { return round_modules_; }

  // Runs `parse` (which returns the result) under the device lock and writes
  // the log lines it found afterwards.
  template <typename Parse>
  int ParseLocked(Parse parse) {
    psma::DeferredOutput log;
    int result;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result = parse(log);
    }
    log.Flush(*this);
    return result;
  }
  // Notes an overflow line with the position a step would have reached.
  int Overflow(psma::DeferredOutput& log, const char* format, std::int64_t pos, int len) const {
    log.Log(format, DataId(), static_cast<int>(pos), len);
    return -1;
  }

  mutable std::mutex mutex_;            // guards record_, modules_, history_ and history_len_
  TeleRC record_;                       // zero-filled until the first answer or cache block
  std::vector<TeleRCChannel> modules_;  // always record_.module_count records
  std::unique_ptr<std::uint8_t[]> history_;
  int history_len_ = 0;
  std::vector<TeleRCChannel> round_modules_;
};

#include "rc/pmbus_power_rc_parse.h"
#include "rc/pmbus_power_rc_round.h"
