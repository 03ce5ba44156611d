#pragma once
// Protocol logic of the rectifier group: its records, the parse operations of
// the 0x41 answers and of the two parameter answers, cache restore and round
// end.
//
// Threads (see child/child_device.h): the records are written on the polling
// thread (answers, round end) and by the host's cache restore, and copied by
// readers on other threads; the device lock `mutex_` guards them and the
// history block. The threshold worker never touches them: each round hands
// it a block of its own.
//
// The bodies live in pmbus_power_rc_parse.h, pmbus_power_rc_round.h and
// pmbus_power_rc_values.h, built once for the unit's group (rc/psma_rc.cpp);
// the alarm tables in rc_alarms.h.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child/alarm_texts.h"
#include "child/child_device.h"
#include "child/deferred_output.h"
#include "rc/rc_layout.h"

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public psma::ChildDevice {
 public:
  // The group offers no value by key; the refusal still tells missing
  // ("数据未就绪") and stale ("数据已超时") data apart.
  float Get_Value(unsigned index, const std::string& key) const override;
  using VDeviceInterface::LoadFromCache;
  // Restores a history block: the group record and exactly module_count
  // module records. Any other block is refused and changes nothing. Two
  // trace lines tell the lengths offered (one when even the group record is
  // missing).
  bool LoadFromCache(const std::uint8_t* data, int len) override;
  // Stamps the records, publishes the block (kind RT_RC), checks the module
  // alarms and hands the round's rules and block to the threshold worker.
  void RoundDone() override;

  // Each takes an answer's information field and returns the bytes it took,
  // or -1 (41_44 returns 0 for more modules than the group has).
  virtual int parse41_41(const std::uint8_t* data, int len);
  virtual int parse41_43(const std::uint8_t* data, int len);
  virtual int parse41_44(const std::uint8_t* data, int len);
  virtual int parse40_46(const std::uint8_t* data, int len);
  virtual int parse42_46(const std::uint8_t* data, int len);
  // The leaf's own alarm checks, after the group's; none by default.
  virtual void DoImpCheckAlert();

  // Copies, consistent with each other only when taken on the polling thread.
  TeleRC Record() const { return CopyLocked(record_); }
  std::vector<TeleRCChannel> Modules() const { return CopyLocked(modules_); }

  static constexpr int kGroupSize = static_cast<int>(sizeof(TeleRC));
  static constexpr int kModuleSize = static_cast<int>(sizeof(TeleRCChannel));
  static constexpr int kAlarmBytes = TeleRCChannel::P41_44_SIZE();

 protected:
  // None: the group serves no key.
  std::vector<std::string> ValueKeys() const override;
  // No row: the group measures nothing.
  std::vector<psma::KeyClass> ValueClasses() const override { return {}; }
  // Every field of the block, named.
  const psma::BlockLayout& Layout() const override {
    static const psma::BlockLayout layout =
        psma::rc::Layout<TeleRC, TeleRCChannel>(RT_RC, kStaleSeconds);
    return layout;
  }
  // The group record's data id.
  void SetRecordId(unsigned id) override { record_.data_id = id; }

  // The module records of the round being ended, as its block carries them:
  // the alarm checks of RoundDone and DoImpCheckAlert judge these. Read and
  // written on the polling thread only.
  const std::vector<TeleRCChannel>& RoundModules() const { return round_modules_; }

  // Notes an overflow line with the position a step would have reached.
  int Overflow(psma::DeferredOutput& log, const char* format, std::int64_t pos, int len) const;

  TeleRC record_{};                     // zero-filled until the first answer or cache block
  std::vector<TeleRCChannel> modules_;  // always record_.module_count records
  std::unique_ptr<std::uint8_t[]> history_;
  int history_len_ = 0;
  std::vector<TeleRCChannel> round_modules_;
  // The round's copy of the block, its room kept between rounds.
  std::vector<std::uint8_t> round_block_;

 private:
  // "模块" + module number + "整流模块故障告警", per module.
  psma::NumberedTexts cycle_descriptions_;

 protected:
 private:
  // The checks of a cache block and, when it is whole, the restore; the
  // trace lines go to `out`.
  bool Restore(const std::uint8_t* data, int len, psma::DeferredOutput& out);
};
