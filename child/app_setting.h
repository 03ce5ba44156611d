#pragma once
// The change thresholds of an AC or DC screen, from its "appSetting" object:
// the check of the element, then the reading.

#include <json/value.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "child/setting_keys.h"

namespace psma {

// The keys of a screen's "appSetting" object.
inline const std::vector<std::string>& AppSettingKeys() {
  static const std::vector<std::string> keys = {"diff_v", "diff_i"};
  return keys;
}

// Why a screen's settings element holds an "appSetting" it should not,
// naming the key (`"appSetting" "diff_v" must be a number`), or "" when it
// holds none or a good one: an object of known keys whose thresholds are
// numbers or texts holding one and nothing else. ReadAppThresholds reads
// more (it ignores what is not an object and reads "abc" as 0); whoever
// wrote the site file needs to hear of it instead.
inline std::string AppThresholdsProblem(const Json::Value& settings) {
  if (!settings.isObject()) return {};
  const Json::Value* app = settings.find("appSetting", &"appSetting"[10]);
  if (app == nullptr || app->isNull()) return {};
  if (!app->isObject()) return "\"appSetting\" must be an object";
  const std::string unknown = UnknownKeyProblem(*app, AppSettingKeys());
  if (!unknown.empty()) return "\"appSetting\": " + unknown;
  for (const std::string& key : AppSettingKeys()) {
    const Json::Value* v = app->find(key.data(), key.data() + key.size());
    if (v == nullptr || v->isNull()) continue;
    if (!IsNumberOrNumericText(*v)) return "\"appSetting\" \"" + key + "\" must be a number";
    // A change is a distance: "nan" or a negative one would never match,
    // and one past a float's range reads as infinity.
    const double d = v->isString() ? std::strtod(v->asString().c_str(), nullptr) : v->asDouble();
    if (!(d >= 0 && d <= std::numeric_limits<float>::max())) {
      return "\"appSetting\" \"" + key + "\" must be a number from 0 to 3.4e38";
    }
  }
  return {};
}

// Reads "appSetting" {"diff_v", "diff_i"} of a screen's settings element. A
// threshold may be a number or a text holding one (read as atof reads it: a
// text without a leading number gives 0); an absent or null one keeps its
// value, and so does everything when "appSetting" is not an object. An array
// or object threshold raises the JSON library's conversion error.
inline void ReadAppThresholds(const Json::Value& settings, float& diff_v, float& diff_i) {
  if (!settings.isObject()) return;
  const Json::Value* app = settings.find("appSetting", &"appSetting"[10]);
  if (app == nullptr || app->isNull() || !app->isObject()) return;
  const auto read = [app](const char* key, float& out) {
    const Json::Value* v = app->find(key, key + std::char_traits<char>::length(key));
    if (v == nullptr || v->isNull()) return;
    out = static_cast<float>(std::atof(v->asString().c_str()));
  };
  read("diff_v", diff_v);
  read("diff_i", diff_i);
}

}  // namespace psma
