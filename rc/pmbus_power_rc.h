#pragma once
// Protocol logic of the rectifier group: its records, the parse operations of
// the 0x41 answers and of the two parameter answers, cache restore and round
// end.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/korv_device.h"

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public KorvSPDevice {
 public:
  PMBusPowerRC() { std::memset(&record_, 0, sizeof(record_)); }
  ~PMBusPowerRC() override = default;

  float Get_Value(unsigned index, const std::string& key) const override {
    return KorvSPDevice::Get_Value(index, key);
  }
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return false; }
  void RoundDone() override {}

  bool InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings) override {
    record_.data_id = id;
    return KorvVDevice::InitV(parent, id, settings);
  }

  virtual int parse41_41(const std::uint8_t*, int) { return -1; }
  virtual int parse41_43(const std::uint8_t*, int) { return -1; }
  virtual int parse41_44(const std::uint8_t*, int) { return -1; }
  virtual int parse40_46(const std::uint8_t*, int) { return -1; }
  virtual int parse42_46(const std::uint8_t*, int) { return -1; }
  virtual void DoImpCheckAlert() {}

  const TeleRC& Record() const { return record_; }
  const std::vector<TeleRCChannel>& Modules() const { return modules_; }

 protected:
  TeleRC record_;  // zero-filled until the first answer or cache block
  std::vector<TeleRCChannel> modules_;
  std::unique_ptr<std::uint8_t[]> history_;
  int history_len_ = 0;
};
