#pragma once
// Value access and cache restore of a DC distribution screen.

#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dc/pmbus_power_dc.h"

template <typename TeleDC, int RT_DC>
std::vector<std::string> PMBusPowerDC<TeleDC, RT_DC>::ValueKeys() const {
  return {"v", "i"};
}

template <typename TeleDC, int RT_DC>
std::vector<psma::KeyClass> PMBusPowerDC<TeleDC, RT_DC>::ValueClasses() const {
  return {{"v", psma::ValueClass::kVoltage}, {"i", psma::ValueClass::kCurrent}};
}

template <typename TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned, const std::string& key) const {
  RequireServable();
  if (key == "v" || key == "i") {
    std::lock_guard<std::mutex> lock(mutex_);
    return key == "v" ? record_.v : record_.i;
  }
  throw std::out_of_range("数据未就绪");
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const std::uint8_t* data, int len) {
  if (data == nullptr || len != static_cast<int>(sizeof(TeleDC))) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(&record_, data, sizeof(TeleDC));
  }
  MarkRestored();
  return true;
}
