#pragma once
// What a host meets of the PSM-A plug-in beyond the device classes: the data
// kinds its children publish their blocks under, and the DeviceIoControl
// codes they answer. A host needs nothing else to show what a child offers:
// which keys it serves, and what each key measures.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/korv_device.h"
#include "plugin/block_layout.h"

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

// What each key the device may ever serve measures, as rows in order: a key
// pattern (one '*' stands for any text, as in "channel_*_a"), one NUL byte,
// one ValueClass byte. The first row whose pattern matches a key gives its
// class; a key no row matches measures nothing a host can name. The rows
// never change while the device lives, so a host asks once. Every child
// answers 0 (the rectifier group with no row); -1 when `out` is too small,
// with `returned` the number of bytes the rows need.
constexpr int kIoValueClasses = 0x5003;

// The layout of the block the device publishes, as a BlockLayout in its
// JSON form (plugin/block_layout.h), without a NUL; `returned` is its
// length in bytes. Every child answers 0; -1 when `out` is too small, with
// `returned` the number of bytes the description needs. It never changes
// while the device lives, so a host asks once.
constexpr int kIoBlockLayout = 0x5004;

// One row of kIoValueClasses.
struct KeyClass {
  std::string pattern;
  ValueClass value_class;
};

// `key` matches `pattern`, whose one '*' (if any) stands for any text.
inline bool KeyMatches(const std::string& pattern, const std::string& key) {
  const std::size_t star = pattern.find('*');
  if (star == std::string::npos) return pattern == key;
  const std::size_t tail = pattern.size() - star - 1;
  return key.size() >= star + tail && key.compare(0, star, pattern, 0, star) == 0 &&
         key.compare(key.size() - tail, tail, pattern, star + 1, tail) == 0;
}

// The first row of `rows` that matches `key`, or nullptr.
inline const KeyClass* ClassOfKey(const std::vector<KeyClass>& rows, const std::string& key) {
  for (const auto& row : rows) {
    if (KeyMatches(row.pattern, key)) return &row;
  }
  return nullptr;
}

// The host's buffer holds `needed` bytes (none are needed of an empty list).
inline bool HasRoom(std::size_t needed, const void* out, int out_len) {
  return needed == 0 ||
         (out != nullptr && out_len >= 0 && needed <= static_cast<std::size_t>(out_len));
}

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
  if (!HasRoom(needed, out, out_len)) return -1;
  auto* p = static_cast<char*>(out);
  for (const auto& key : keys) {
    std::memcpy(p, key.c_str(), key.size() + 1);
    p += key.size() + 1;
  }
  return 0;
}

// The answer to kIoValueClasses.
inline int AnswerValueClasses(const std::vector<KeyClass>& rows, void* out, int out_len,
                              int& returned) {
  std::size_t needed = 0;
  for (const auto& row : rows) needed += row.pattern.size() + 2;
  returned = static_cast<int>(needed);
  if (!HasRoom(needed, out, out_len)) return -1;
  auto* p = static_cast<char*>(out);
  for (const auto& row : rows) {
    std::memcpy(p, row.pattern.c_str(), row.pattern.size() + 1);
    p += row.pattern.size() + 1;
    *p++ = static_cast<char>(row.value_class);
  }
  return 0;
}

// The answer to kIoBlockLayout.
inline int AnswerBlockLayout(const std::string& json, void* out, int out_len, int& returned) {
  returned = static_cast<int>(json.size());
  if (!HasRoom(json.size(), out, out_len)) return -1;
  if (!json.empty()) std::memcpy(out, json.data(), json.size());
  return 0;
}

// For hosts: the bytes a device answers to `code` (its length in
// `returned` first when the first room is too small); false when it answers
// nothing.
inline bool AskDevice(VDeviceInterface& device, int code, std::vector<char>& answer) {
  answer.assign(256, '\0');
  int returned = 0;
  int rc = device.DeviceIoControl(code, nullptr, 0, answer.data(), static_cast<int>(answer.size()),
                                  returned);
  if (rc == -1 && returned > static_cast<int>(answer.size())) {
    answer.assign(static_cast<std::size_t>(returned), '\0');
    rc = device.DeviceIoControl(code, nullptr, 0, answer.data(), static_cast<int>(answer.size()),
                                returned);
  }
  if (rc != 0 || returned <= 0 || returned > static_cast<int>(answer.size())) return false;
  answer.resize(static_cast<std::size_t>(returned));
  return true;
}

// For hosts: the keys a device offers, empty when it answers no list.
inline std::vector<std::string> ValueKeysOf(VDeviceInterface& device) {
  std::vector<char> buffer;
  std::vector<std::string> keys;
  if (!AskDevice(device, kIoValueKeys, buffer)) return keys;
  const char* p = buffer.data();
  const char* end = p + buffer.size();
  while (p < end) {
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', end - p));
    if (nul == nullptr) break;  // a list must end each key with its NUL
    keys.emplace_back(p, nul);
    p = nul + 1;
  }
  return keys;
}

// For hosts: what the keys of a device measure, empty when it names
// nothing. A row cut short, or with a class this header does not know, ends
// the list there.
inline std::vector<KeyClass> ValueClassesOf(VDeviceInterface& device) {
  std::vector<char> buffer;
  std::vector<KeyClass> rows;
  if (!AskDevice(device, kIoValueClasses, buffer)) return rows;
  const char* p = buffer.data();
  const char* end = p + buffer.size();
  while (p < end) {
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', end - p));
    if (nul == nullptr || nul + 1 >= end) break;
    const auto c = static_cast<std::uint8_t>(nul[1]);
    if (c > static_cast<std::uint8_t>(kLastValueClass)) break;
    rows.push_back({std::string(p, nul), static_cast<ValueClass>(c)});
    p = nul + 2;
  }
  return rows;
}

// For hosts: the layout of the device's block; false, with the reason, when
// it answers none or one a host cannot use.
inline bool BlockLayoutOf(VDeviceInterface& device, BlockLayout& layout, std::string& error) {
  std::vector<char> buffer;
  if (!AskDevice(device, kIoBlockLayout, buffer)) {
    error = "no description";
    return false;
  }
  return ParseLayout(buffer.data(), buffer.size(), layout, error);
}

}  // namespace psma
