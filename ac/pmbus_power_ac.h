#pragma once
// Protocol logic of an AC distribution screen: its records, the parse
// operations of the 0x40 answers, value access, cache restore and round end.
//
// Threads (see child/child_device.h): the group record and the channel list
// are guarded by the device lock `mutex_`. `history_` is touched only by
// RoundDone on the polling thread; each round's work item saves a copy of
// its own.
//
// The bodies live in pmbus_power_ac_parse.h, pmbus_power_ac_round.h and
// pmbus_power_ac_values.h, built once for the unit's screen (ac/psma_ac.cpp);
// the alarm tables in ac_alarms.h.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ac/ac_layout.h"
#include "child/alarm_texts.h"
#include "child/deferred_output.h"
#include "child/screen_device.h"

template <typename TeleAC, typename TeleACChannel, int RT_AC>
class PMBusPowerAC : public psma::ScreenDevice {
 public:
  PMBusPowerAC() : ScreenDevice(20.0f, 20.0f) {}

  // Fixed keys "ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert", and
  // channel keys holding "channel_<index>_<a|b|c|f>" (the index from 0).
  // Refusals: "数据未就绪", "数据已超时", "通道参数越界" (no such channel),
  // "数据未提供" (no such key).
  float Get_Value(unsigned index, const std::string& key) const override;
  using VDeviceInterface::LoadFromCache;
  // Accepts only a whole block: the group record and exactly its channels.
  bool LoadFromCache(const std::uint8_t* data, int len) override;
  // Stamps the group record, publishes the block (kind RT_AC), checks the
  // alarms and hands the round's rules and block to the threshold worker.
  void RoundDone() override;

  // This screen's portion of the 0x40/0x41, 0x40/0x43 and 0x40/0x44 answers:
  // the bytes it took, or -1 when the portion could not be taken.
  virtual int parse40_41(const std::uint8_t* data, int len);
  virtual int parse40_43(const std::uint8_t* data, int len);
  virtual int parse40_44(const std::uint8_t* data, int len);
  // The leaf's own alarm checks, after the screen's.
  virtual void DoImpCheckAlert() = 0;

  // The records as they stand: for the polling thread, or a device that no
  // other thread touches. The copies may be taken on any thread.
  const TeleAC& Record() const { return record_; }
  const std::vector<TeleACChannel>& Channels() const { return channels_; }
  TeleAC RecordCopy() const { return CopyLocked(record_); }
  std::vector<TeleACChannel> ChannelsCopy() const { return CopyLocked(channels_); }

 protected:
  // Nothing before the first round or restore; then the six fixed keys and
  // "channel_<k>_a", "_b", "_c", "_f" for every channel k in order.
  std::vector<std::string> ValueKeys() const override;
  // The phase currents in amperes, the alarm states, the channels' voltages
  // in volts and their frequency in hertz.
  std::vector<psma::KeyClass> ValueClasses() const override;
  // Every field of the block, named.
  const psma::BlockLayout& Layout() const override {
    static const psma::BlockLayout layout =
        psma::ac::Layout<TeleAC, TeleACChannel>(RT_AC, kStaleSeconds);
    return layout;
  }
  // The group record's data id.
  void SetRecordId(unsigned id) override { record_.data_id = id; }

  TeleAC record_{};  // zero-filled until the first answer or cache block
  std::vector<TeleACChannel> channels_;
  std::unique_ptr<std::uint8_t[]> history_;
  std::uint32_t history_len_ = 0;

 private:
  // The parse operations' bodies; the device lock is held.
  int Parse40_41(const std::uint8_t* data, int len, psma::DeferredOutput& out);
  int Parse40_43(const std::uint8_t* data, int len, psma::DeferredOutput& out);
  int Parse40_44(const std::uint8_t* data, int len, psma::DeferredOutput& out);
  // Whether this round's values lie at least a threshold away from the
  // previous round's copy in history_.
  bool MovedSinceLastRound(const TeleAC& group, const std::vector<TeleACChannel>& channels) const;
  void CheckAlarms(const TeleAC& group, const std::vector<TeleACChannel>& channels);

  // "交流屏" + channel number + row description, per channel and row.
  psma::NumberedTexts channel_descriptions_;
  // The round's copy of the channels (polling thread only).
  std::vector<TeleACChannel> round_channels_;
};
