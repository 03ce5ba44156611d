#pragma once
// Protocol logic of a DC distribution screen: its record, the parse
// operations of the 0x42 answers, value access, cache restore and round end.
//
// Threads (see child/child_device.h): the record is guarded by the device
// lock `mutex_`; a parse gathers its protocol-error and trace lines and
// writes them once the record is free.
//
// The bodies live in pmbus_power_dc_parse.h, pmbus_power_dc_round.h and
// pmbus_power_dc_values.h, built once for the unit's screen (dc/psma_dc.cpp);
// the alarm tables in dc_alarms.h.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child/alarm_texts.h"
#include "child/deferred_output.h"
#include "child/screen_device.h"
#include "dc/dc_layout.h"

template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public psma::ScreenDevice {
 public:
  // `model`: the unit's model text, as the root detected it.
  explicit PMBusPowerDC(std::string model = "")
      : ScreenDevice(0.1f, 20.0f), model_text(std::move(model)) {}

  // "v" (output voltage) and "i" (load current) of the record. Refusals:
  // "数据已超时" for stale data, "数据未就绪" before the first round or
  // restore and for any other key.
  float Get_Value(unsigned index, const std::string& key) const override;
  using VDeviceInterface::LoadFromCache;
  // Takes a saved record of exactly sizeof(TeleDC) bytes, data id included.
  bool LoadFromCache(const std::uint8_t* data, int len) override;
  // Stamps the record, publishes it (kind RT_DC), checks the alarms and
  // hands the round's rules and record to the threshold worker.
  void RoundDone() override;

  // The screen's portion of the 0x42/0x41 (analogue) and 0x42/0x44 (alarm)
  // answers: the bytes the portion occupies, or -1 when it runs past len.
  // Every analogue portion writes one trace line: its first four bytes.
  virtual int parse42_41(const std::uint8_t* data, int len);
  virtual int parse42_44(const std::uint8_t* data, int len);
  // The leaf's own alarm checks, after the screen's.
  virtual void DoImpCheckAlert() = 0;

  // A copy of the record as it stands.
  TeleDC Record() const { return CopyLocked(record_); }
  const std::string& ModelText() const { return model_text; }

 protected:
  // "v", "i".
  std::vector<std::string> ValueKeys() const override;
  // The output voltage in volts, the load current in amperes.
  std::vector<psma::KeyClass> ValueClasses() const override;
  // Every field of the block, named.
  const psma::BlockLayout& Layout() const override {
    static const psma::BlockLayout layout = psma::dc::Layout<TeleDC>(RT_DC, kStaleSeconds);
    return layout;
  }
  // The record's data id.
  void SetRecordId(unsigned id) override { record_.data_id = id; }

  // The record as this round ended it: what was sent, what the checks of
  // the round read. Polling thread only.
  const TeleDC& RoundRecord() const { return round_record_; }

  TeleDC record_{};  // zero-filled until the first answer or cache block
  float prev_v = 0.0f;
  float prev_i = 0.0f;
  std::string model_text;

 private:
  // Fill the record from a portion; the device lock is held. Protocol-error
  // lines go to `log`, written once the record is unlocked.
  int Take42_41(const std::uint8_t* data, int len, psma::DeferredOutput& log);
  int Take42_44(const std::uint8_t* data, int len, psma::DeferredOutput& log);
  void CheckVoltageAndFuses(const TeleDC& rec);

  std::uint8_t* RecordBytes(std::size_t offset) {
    return reinterpret_cast<std::uint8_t*>(&record_) + offset;
  }

  TeleDC round_record_{};
  // "直流" + fuse number + "电池熔丝故障告警", per fuse.
  psma::NumberedTexts fuse_descriptions_;
  bool has_prev_ = false;  // prev_v/prev_i hold a round's values
};
