#pragma once
// Protocol logic of an AC distribution screen: its records, the parse
// operations of the 0x40 answers, value access, cache restore and round end.
//
// Threads: the polling thread parses answers and ends rounds, the host's
// cache restore may run on another thread, any host thread reads values, and
// the threshold worker saves each round's history. The group record and the
// channel list are guarded by `mutex_`; nothing that calls into the host runs
// while it is held (log and trace lines are gathered and written afterwards).
// `history_` is touched only by RoundDone on the polling thread; each round's
// work item saves a copy of its own.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/io_codes.h"
#include "host/korv_device.h"
#include "child/app_setting.h"
#include "child/byte_reader.h"
#include "child/deferred_output.h"

template <typename TeleAC, typename TeleACChannel, int RT_AC>
class PMBusPowerAC : public KorvSPDevice {
 public:
  PMBusPowerAC() { std::memset(&record_, 0, sizeof(record_)); }
  ~PMBusPowerAC() override = default;

  // Fixed keys "ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert", and
  // channel keys holding "channel_<index>_<a|b|c|f>"; see pmbus_power_ac_values.h.
  float Get_Value(unsigned index, const std::string& key) const override;
  using VDeviceInterface::LoadFromCache;
  // Accepts only a whole block: the group record and exactly its channels.
  bool LoadFromCache(const std::uint8_t* data, int len) override;
  void RoundDone() override;

  bool InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      record_.data_id = id;
    }
    psma::ReadAppThresholds(settings, diff_v, diff_i);
    return KorvVDevice::InitV(parent, id, settings);
  }

  // This screen's portion of the 0x40/0x41, 0x40/0x43 and 0x40/0x44 answers:
  // the bytes it took, or -1 when the portion could not be taken.
  virtual int parse40_41(const std::uint8_t* data, int len);
  virtual int parse40_43(const std::uint8_t* data, int len);
  virtual int parse40_44(const std::uint8_t* data, int len);
  virtual void DoImpCheckAlert() = 0;

  // The records as they stand: for the polling thread, or a device that no
  // other thread touches. The copies may be taken on any thread.
  const TeleAC& Record() const { return record_; }
  const std::vector<TeleACChannel>& Channels() const { return channels_; }
  TeleAC RecordCopy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
  }
  std::vector<TeleACChannel> ChannelsCopy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return channels_;
  }
  float DiffV() const { return diff_v; }
  float DiffI() const { return diff_i; }
  // Whether the last round's values moved by at least a threshold (or were
  // the first the device published); see pmbus_power_ac_round.h.
  bool ValuesChanged() const { return values_changed_.load(std::memory_order_acquire); }
  // psma::kIoValuesChanged: ValuesChanged() as one byte; -2 for other codes.
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& returned) override {
    if (code != psma::kIoValuesChanged) {
      return KorvSPDevice::DeviceIoControl(code, in, in_len, out, out_len, returned);
    }
    return psma::AnswerValuesChanged(ValuesChanged(), out, out_len, returned);
  }

  // Values older than this many whole seconds are not served.
  static constexpr std::int64_t kStaleSeconds = 61;

 protected:
  TeleAC record_;
  std::vector<TeleACChannel> channels_;
  std::unique_ptr<std::uint8_t[]> history_;
  std::uint32_t history_len_ = 0;
  float diff_v = 20.0f;
  float diff_i = 20.0f;
  // Guards record_ and channels_.
  mutable std::mutex mutex_;
  std::atomic<bool> values_changed_{false};

 private:
  // The parse operations' bodies; the device lock is held.
  int Parse40_41(const std::uint8_t* data, int len, psma::DeferredOutput& out);
  int Parse40_43(const std::uint8_t* data, int len, psma::DeferredOutput& out);
  int Parse40_44(const std::uint8_t* data, int len, psma::DeferredOutput& out);
  // Whether this round's values lie at least a threshold away from the
  // previous round's copy in history_.
  bool MovedSinceLastRound(const TeleAC& group, const std::vector<TeleACChannel>& channels) const;
  void CheckAlarms(const TeleAC& group, const std::vector<TeleACChannel>& channels);
  void HandOverRules();
};

#include "ac/pmbus_power_ac_parse.h"
#include "ac/pmbus_power_ac_round.h"
#include "ac/pmbus_power_ac_values.h"
