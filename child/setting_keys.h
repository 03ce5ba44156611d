#pragma once
// The keys a device reads from its settings, and the refusal of any other:
// the plug-in ignores what it does not read, so a misspelt key (an
// "acSettings", a "diffv") would silently leave a screen or a threshold out.

#include <json/value.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

namespace psma {

// How many single-character edits turn `a` into `b`, a letter's case aside.
inline std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The known key `key` most likely slipped from (at most two edits away), or
// nullptr.
inline const std::string* NearestKey(const std::string& key,
                                     const std::vector<std::string>& known) {
  const std::string* nearest = nullptr;
  std::size_t best = 3;  // at most two edits away
  for (const std::string& k : known) {
    const std::size_t d = EditDistance(key, k);
    if (d < best) {
      best = d;
      nearest = &k;
    }
  }
  return nearest;
}

// `unknown key "diffv" (did you mean "diff_v"?)` for the first key of
// `object` that is not in `known` (the suggestion only for a slip of the
// hand); "" when every key is known or `object` is no object.
inline std::string UnknownKeyProblem(const Json::Value& object,
                                     const std::vector<std::string>& known) {
  if (!object.isObject()) return {};
  for (const std::string& key : object.getMemberNames()) {
    if (std::find(known.begin(), known.end(), key) != known.end()) continue;
    std::string problem = "unknown key \"" + key + "\"";
    if (const std::string* nearest = NearestKey(key, known)) {
      problem += " (did you mean \"" + *nearest + "\"?)";
    }
    return problem;
  }
  return {};
}

// A number, or a text that holds one and nothing else; a boolean is none. A
// text the C library would read only in part ("7.25 volts", "abc" as 0)
// would set a threshold nobody wrote.
inline bool IsNumberOrNumericText(const Json::Value& v) {
  if (v.isBool()) return false;
  if (v.isNumeric()) return true;
  if (!v.isString()) return false;
  const std::string text = v.asString();
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && text.find('\0') == std::string::npos;
}

}  // namespace psma
