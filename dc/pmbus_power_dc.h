#pragma once
// Protocol logic of a DC distribution screen: its record, the parse
// operations of the 0x42 answers, value access, cache restore and round end.

#include <cstdint>
#include <cstring>
#include <string>

#include "host/korv_device.h"
#include "plugin/app_setting.h"

template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public KorvSPDevice {
 public:
  PMBusPowerDC() { std::memset(&record_, 0, sizeof(record_)); }
  explicit PMBusPowerDC(const std::string& model) : PMBusPowerDC() { model_text = model; }
  ~PMBusPowerDC() override = default;

  float Get_Value(unsigned index, const std::string& key) const override {
    return KorvSPDevice::Get_Value(index, key);
  }
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return false; }
  void RoundDone() override {}

  bool InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings) override {
    record_.data_id = id;
    psma::ReadAppThresholds(settings, diff_v, diff_i);
    return KorvVDevice::InitV(parent, id, settings);
  }

  virtual int parse42_41(const std::uint8_t*, int) { return -1; }
  virtual int parse42_44(const std::uint8_t*, int) { return -1; }
  virtual void DoImpCheckAlert() = 0;

  const TeleDC& Record() const { return record_; }
  float DiffV() const { return diff_v; }
  float DiffI() const { return diff_i; }
  const std::string& ModelText() const { return model_text; }

 protected:
  TeleDC record_;  // zero-filled until the first answer or cache block
  float prev_v = 0.0f;
  float prev_i = 0.0f;
  float diff_v = 0.1f;
  float diff_i = 20.0f;
  std::string model_text;
};
