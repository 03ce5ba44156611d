#pragma once
// Protocol logic of a DC distribution screen: its record, the parse
// operations of the 0x42 answers, value access, cache restore and round end.
//
// Threads: the polling thread parses answers and ends rounds, the host may
// restore a cached record and read values from any thread, and the threshold
// worker saves each round's record later. The record is guarded by
// record_mutex_; the lock is never held across a host call, so a parse
// collects its protocol-error lines and writes them once the record is free.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "host/io_codes.h"
#include "host/korv_device.h"
#include "child/app_setting.h"
#include "child/byte_reader.h"
#include "child/deferred_output.h"

template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public KorvSPDevice {
 public:
  PMBusPowerDC() {
    std::memset(&record_, 0, sizeof(record_));
    std::memset(&round_record_, 0, sizeof(round_record_));
  }
  explicit PMBusPowerDC(const std::string& model) : PMBusPowerDC() { model_text = model; }
  ~PMBusPowerDC() override = default;

  // "v" (output voltage) and "i" (load current) of the record.
  float Get_Value(unsigned index, const std::string& key) const override;
  using VDeviceInterface::LoadFromCache;
  // Takes a saved record of exactly sizeof(TeleDC) bytes, data id included.
  bool LoadFromCache(const std::uint8_t* data, int len) override;
  void RoundDone() override;

  bool InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings) override {
    {
      std::lock_guard<std::mutex> lock(record_mutex_);
      record_.data_id = id;
    }
    psma::ReadAppThresholds(settings, diff_v, diff_i);
    return KorvVDevice::InitV(parent, id, settings);
  }

  // The screen's portion of the 0x42/0x41 (analogue) and 0x42/0x44 (alarm)
  // answers: the bytes the portion occupies, or -1 when it runs past len.
  virtual int parse42_41(const std::uint8_t* data, int len);
  virtual int parse42_44(const std::uint8_t* data, int len);
  virtual void DoImpCheckAlert() = 0;

  // A copy of the record as it stands.
  TeleDC Record() const {
    std::lock_guard<std::mutex> lock(record_mutex_);
    return record_;
  }
  // Whether the last round's voltage or current moved by at least its
  // threshold (always true for the first round, which has nothing to compare).
  bool ValuesChanged() const { return values_changed_.load(std::memory_order_acquire); }
  // psma::kIoValuesChanged: ValuesChanged() as one byte; -2 for other codes.
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& returned) override {
    if (code != psma::kIoValuesChanged) {
      return KorvSPDevice::DeviceIoControl(code, in, in_len, out, out_len, returned);
    }
    return psma::AnswerValuesChanged(ValuesChanged(), out, out_len, returned);
  }
  float DiffV() const { return diff_v; }
  float DiffI() const { return diff_i; }
  const std::string& ModelText() const { return model_text; }

 protected:
  // The record as this round ended it: what was sent, what the checks of
  // the round read. Polling thread only.
  const TeleDC& RoundRecord() const { return round_record_; }

  mutable std::mutex record_mutex_;
  TeleDC record_;  // zero-filled until the first answer or cache block
  float prev_v = 0.0f;
  float prev_i = 0.0f;
  float diff_v = 0.1f;
  float diff_i = 20.0f;
  std::string model_text;

 private:
  // Fill the record from a portion; record_mutex_ held. Protocol-error lines
  // go to `log`, written once the record is unlocked.
  int Take42_41(const std::uint8_t* data, int len, psma::DeferredOutput& log);
  int Take42_44(const std::uint8_t* data, int len, psma::DeferredOutput& log);
  void CheckVoltageAndFuses(const TeleDC& rec);

  std::uint8_t* RecordBytes(std::size_t offset) {
    return reinterpret_cast<std::uint8_t*>(&record_) + offset;
  }

  TeleDC round_record_;
  bool has_prev_ = false;  // prev_v/prev_i hold a round's values
  std::atomic<bool> values_changed_{false};
};

#include "dc/pmbus_power_dc_parse.h"
#include "dc/pmbus_power_dc_round.h"
