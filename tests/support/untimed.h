#pragma once
// korv-host's lines without the time each carries (a readable line's first
// word, a JSON line's "time"), for tests that look for a line as it was.
// (No std::regex: GCC warns inside it under the sanitizers.)

#include <cctype>
#include <cstring>
#include <string>

namespace testing_support {

inline std::string Untimed(const std::string& lines) {
  // "2024-02-29T23:59:59.999Z": digits where the pattern has 'd'.
  const auto time_at = [&](std::size_t at) {
    static const char kPattern[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    for (std::size_t k = 0; k + 1 < sizeof kPattern; ++k) {
      if (at + k >= lines.size()) return false;
      const char c = lines[at + k];
      if (kPattern[k] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != kPattern[k])
        return false;
    }
    return true;
  };
  constexpr std::size_t kTime = 24;
  static const char kJson[] = ",\"time\":\"";
  std::string out;
  for (std::size_t at = 0; at < lines.size();) {
    if (at == 0 || lines[at - 1] == '\n') {
      // The priority for the journal stays before the line.
      if (lines.compare(at, 1, "<") == 0 && at + 3 <= lines.size() && lines[at + 2] == '>') {
        out.append(lines, at, 3);
        at += 3;
      }
      if (time_at(at) && lines.compare(at + kTime, 1, " ") == 0) at += kTime + 1;
    }
    const std::size_t json = std::strlen(kJson);
    if (lines.compare(at, json, kJson) == 0 && time_at(at + json) &&
        lines.compare(at + json + kTime, 1, "\"") == 0) {
      at += json + kTime + 1;
      continue;
    }
    out += lines[at++];
  }
  return out;
}

}  // namespace testing_support
