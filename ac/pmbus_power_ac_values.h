#pragma once
// Value access and cache restore of an AC distribution screen.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ac/pmbus_power_ac.h"
#include "child/byte_reader.h"

namespace psma {
namespace ac_keys {

// The key with every run of more than 20 digits cut short: leading zeros
// dropped, and a number that still has more than 20 digits written as 20
// nines (beyond any channel count either way). The pattern takes a digit run
// whole, so what it finds, and the channel it names, stay the same; but the
// library's matcher recurses once per matched character and would exhaust
// the stack on a run of some thousand digits.
inline bool HasLongDigitRun(const std::string& key) {
  constexpr std::size_t kLongest = 20;
  std::size_t run = 0;
  for (const char c : key) {
    run = (c >= '0' && c <= '9') ? run + 1 : 0;
    if (run > kLongest) return true;
  }
  return false;
}

inline std::string ShortenDigitRuns(const std::string& key) {
  constexpr std::size_t kLongest = 20;
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  std::string out;
  out.reserve(key.size());
  for (std::size_t i = 0; i < key.size();) {
    if (!is_digit(key[i])) {
      out += key[i++];
      continue;
    }
    std::size_t end = i;
    while (end < key.size() && is_digit(key[end])) ++end;
    if (end - i <= kLongest) {
      out.append(key, i, end - i);
    } else {
      std::size_t first = i;
      while (first + 1 < end && key[first] == '0') ++first;
      if (end - first <= kLongest) {
        out.append(key, first, end - first);
      } else {
        out.append(kLongest, '9');
      }
    }
    i = end;
  }
  return out;
}

}  // namespace ac_keys
}  // namespace psma

// Before the first round or restore the screen serves no key, and the
// channel count may not be the one the screen settles on: no list yet.
template <typename TeleAC, typename TeleACChannel, int RT_AC>
std::vector<std::string> PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::ValueKeys() const {
  if (!IsDataReady()) return {};
  std::size_t count;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    count = channels_.size();
  }
  std::vector<std::string> keys = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
  keys.reserve(keys.size() + 4 * count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::string channel = "channel_" + std::to_string(k) + "_";
    for (const char* field : {"a", "b", "c", "f"}) keys.push_back(channel + field);
  }
  return keys;
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
std::vector<psma::KeyClass> PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::ValueClasses() const {
  using psma::ValueClass;
  return {{"ia", ValueClass::kCurrent},          {"ib", ValueClass::kCurrent},
          {"ic", ValueClass::kCurrent},          {"ia_alert", ValueClass::kState},
          {"ib_alert", ValueClass::kState},      {"ic_alert", ValueClass::kState},
          {"channel_*_a", ValueClass::kVoltage}, {"channel_*_b", ValueClass::kVoltage},
          {"channel_*_c", ValueClass::kVoltage}, {"channel_*_f", ValueClass::kFrequency}};
}

// Keys tried in order: the six fixed keys as whole texts, then a channel key
// found anywhere in the text by "channel_(\d+)_(.+?)": the digits index the
// channel from 0, and the one character behind them chooses a, b, c or f;
// the rest of the text is ignored.
template <typename TeleAC, typename TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned,
                                                            const std::string& key) const {
  RequireServable();

  static const char* const kFixed[] = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
  for (std::size_t k = 0; k < sizeof kFixed / sizeof kFixed[0]; ++k) {
    if (key != kFixed[k]) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (k) {
      case 0:
        return record_.ia;
      case 1:
        return record_.ib;
      case 2:
        return record_.ic;
      case 3:
        return record_.ia_alert;
      case 4:
        return record_.ib_alert;
      default:
        return record_.ic_alert;
    }
  }

  static const std::regex kChannelKey("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
  // A key with a long digit run is searched in a shortened copy; any other
  // key in place. The match results are kept per thread, so a read costs no
  // allocation of its own once a thread has read a channel.
  thread_local std::string shortened;
  thread_local std::smatch match;
  const bool long_run = psma::ac_keys::HasLongDigitRun(key);
  if (long_run) shortened = psma::ac_keys::ShortenDigitRuns(key);
  const std::string& searched = long_run ? shortened : key;
  if (!std::regex_search(searched, match, kChannelKey)) throw std::out_of_range("数据未提供");
  const auto digits_begin = match[1].first;
  const auto digits_end = match[1].second;
  const char field = *match[2].first;

  std::lock_guard<std::mutex> lock(mutex_);
  // The index as atoi reads the digits, but saturating: once it reaches the
  // channel count no further digit can bring it back, so an index too large
  // for any integer is simply out of range.
  const std::size_t count = channels_.size();
  std::size_t index = 0;
  for (auto d = digits_begin; d != digits_end; ++d) {
    if (index >= count || *d < '0' || *d > '9') break;
    index = index * 10 + static_cast<std::size_t>(*d - '0');
  }
  if (index >= count) throw std::out_of_range("通道参数越界");
  const TeleACChannel& ch = channels_[index];
  switch (field) {
    case 'a':
      return ch.a;
    case 'b':
      return ch.b;
    case 'c':
      return ch.c;
    case 'f':
      return ch.f;
    default:
      throw std::out_of_range("数据未提供");
  }
}

// Cache block:
//   0    group record (TeleAC), byte for byte
//   40   channel_count channel records (TeleACChannel), in channel order
// The whole block is checked before anything is written: a refused block
// leaves the records, the channel list, the ready flag and the time as they
// were.
template <typename TeleAC, typename TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const std::uint8_t* data, int len) {
  constexpr std::int64_t kGroup = sizeof(TeleAC);
  constexpr std::int64_t kChannel = sizeof(TeleACChannel);
  if (len <= kGroup) return false;
  ByteReader in(data, len);
  TeleAC group;
  if (!in.read(&group, kGroup)) return false;
  if (len - kGroup != kChannel * group.channel_count) return false;
  std::vector<TeleACChannel> channels(group.channel_count);
  for (auto& ch : channels) {
    if (!in.read(&ch, kChannel)) return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record_ = group;
    channels_.swap(channels);
  }
  MarkRestored();
  return true;
}
