#pragma once
// What a host meets of the PSM-A plug-in beyond the device classes: the data
// kinds its children publish their blocks under, and the DeviceIoControl
// codes they answer. A host needs nothing else to show what a child offers.

#include <cstring>
#include <string>
#include <vector>

#include "host/korv_device.h"

namespace psma {

// Data kinds of the children's blocks (SendSP, SaveDeviceHistory).
constexpr int kKindAC = 5156;  // AC distribution screen
constexpr int kKindRC = 5157;  // rectifier group
constexpr int kKindDC = 5158;  // DC distribution screen

// Whether the last round moved the screen's values significantly (beyond the
// "appSetting" thresholds, or the first data at all). Out: one byte, 0 or 1.
// AC and DC screens answer 0 (done); other devices -2 (not supported).
constexpr int kIoValuesChanged = 0x5001;

// The keys Get_Value serves on this device now (an AC screen's channel keys
// follow its channel count), in the order a host should show them. Out: each
// key followed by one NUL byte; `returned` is the number of bytes written.
// Every child answers 0 (the rectifier group with no key); -1 when `out` is
// too small, with `returned` the number of bytes the list needs.
constexpr int kIoValueKeys = 0x5002;

// The answer to kIoValuesChanged: 0 with one byte written, -1 without room.
inline int AnswerValuesChanged(bool changed, void* out, int out_len, int& returned) {
  returned = 0;
  if (out == nullptr || out_len < 1) return -1;
  *static_cast<unsigned char*>(out) = changed ? 1 : 0;
  returned = 1;
  return 0;
}

// The answer to kIoValueKeys.
inline int AnswerValueKeys(const std::vector<std::string>& keys, void* out, int out_len,
                           int& returned) {
  std::size_t needed = 0;
  for (const auto& key : keys) needed += key.size() + 1;
  returned = static_cast<int>(needed);
  if (needed > 0 && (out == nullptr || out_len < 0 || needed > static_cast<std::size_t>(out_len))) {
    return -1;
  }
  auto* p = static_cast<char*>(out);
  for (const auto& key : keys) {
    std::memcpy(p, key.c_str(), key.size() + 1);
    p += key.size() + 1;
  }
  return 0;
}

// For hosts: the keys a device offers, empty when it answers no list.
inline std::vector<std::string> ValueKeysOf(VDeviceInterface& device) {
  std::vector<char> buffer(256);
  int returned = 0;
  int rc = device.DeviceIoControl(kIoValueKeys, nullptr, 0, buffer.data(),
                                  static_cast<int>(buffer.size()), returned);
  if (rc == -1 && returned > static_cast<int>(buffer.size())) {
    buffer.resize(static_cast<std::size_t>(returned));
    rc = device.DeviceIoControl(kIoValueKeys, nullptr, 0, buffer.data(),
                                static_cast<int>(buffer.size()), returned);
  }
  std::vector<std::string> keys;
  if (rc != 0 || returned <= 0 || returned > static_cast<int>(buffer.size())) return keys;
  const char* p = buffer.data();
  const char* end = p + returned;
  while (p < end) {
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', end - p));
    if (nul == nullptr) break;  // a list must end each key with its NUL
    keys.emplace_back(p, nul);
    p = nul + 1;
  }
  return keys;
}

}  // namespace psma
