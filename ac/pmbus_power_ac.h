#pragma once
// Protocol logic of an AC distribution screen: its records, the parse
// operations of the 0x40 answers, value access, cache restore and round end.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/korv_device.h"
#include "plugin/app_setting.h"

template <typename TeleAC, typename TeleACChannel, int RT_AC>
class PMBusPowerAC : public KorvSPDevice {
 public:
  PMBusPowerAC() { std::memset(&record_, 0, sizeof(record_)); }
  ~PMBusPowerAC() override = default;

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

  virtual int parse40_41(const std::uint8_t*, int) { return -1; }
  virtual int parse40_43(const std::uint8_t*, int) { return -1; }
  virtual int parse40_44(const std::uint8_t*, int) { return -1; }
  virtual void DoImpCheckAlert() = 0;

  const TeleAC& Record() const { return record_; }
  const std::vector<TeleACChannel>& Channels() const { return channels_; }
  float DiffV() const { return diff_v; }
  float DiffI() const { return diff_i; }

 protected:
  TeleAC record_;
  std::vector<TeleACChannel> channels_;
  std::unique_ptr<std::uint8_t[]> history_;
  std::uint32_t history_len_ = 0;
  float diff_v = 20.0f;
  float diff_i = 20.0f;
};
