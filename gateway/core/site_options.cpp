#include "gateway/core/site_options.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>

#include "child/setting_keys.h"

namespace korv_host {
namespace {

// What names the file itself, or asks something of it, stays on the
// command line.
const std::vector<std::string> kCommandLineOnly = {"config", "check", "help", "version",
                                                   "modbus-map"};

// One value as an option's argument; false for a value of no such kind.
bool ArgumentOf(const Json::Value& value, std::string& text) {
  if (value.isString()) {
    text = value.asString();
  } else if (value.isBool()) {
    text = value.asBool() ? "true" : "false";
  } else if (value.isInt64()) {
    text = std::to_string(value.asInt64());
  } else if (value.isUInt64()) {
    text = std::to_string(value.asUInt64());
  } else if (value.isDouble()) {
    text = fmt::format("{}", value.asDouble());
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool SiteOptionArgs(const Json::Value& site, const std::string& site_name, const CLI::App& app,
                    std::vector<std::string>& args, std::string& error) {
  if (!site.isObject() || !site.isMember("options")) return true;
  const Json::Value& options = site["options"];
  const std::string at = site_name + ": \"options\"";
  if (!options.isObject()) {
    error = at + " must be an object of korv-host's options";
    return false;
  }
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options()) {
    const std::string& name = option->get_single_name();
    if (!option->get_lnames().empty() && std::find(kCommandLineOnly.begin(), kCommandLineOnly.end(),
                                                   name) == kCommandLineOnly.end()) {
      names.push_back(name);
    }
  }
  for (const std::string& name : options.getMemberNames()) {
    if (std::find(kCommandLineOnly.begin(), kCommandLineOnly.end(), name) !=
        kCommandLineOnly.end()) {
      error = fmt::format("{}: \"{}\" is given on the command line only", at, name);
      return false;
    }
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      error = fmt::format("{}: \"{}\" is no option of korv-host", at, name);
      if (const std::string* nearest = psma::NearestKey(name, names)) {
        error += fmt::format(" (did you mean \"{}\"?)", *nearest);
      }
      return false;
    }
    const CLI::Option* option = app.get_option("--" + name);
    if (option->count() > 0) continue;  // the command line's
    const Json::Value& value = options[name];
    const bool many = value.isArray();
    if (many && option->get_expected_max() <= 1) {
      error = fmt::format("{}: \"{}\" takes one value, not an array", at, name);
      return false;
    }
    Json::Value values = value;
    if (!many) {
      values = Json::Value(Json::arrayValue);
      values.append(value);
    }
    for (const Json::Value& one : values) {
      std::string text;
      if (!ArgumentOf(one, text)) {
        error = fmt::format("{}: \"{}\" must be a text, a number or true/false{}", at, name,
                            option->get_expected_max() > 1 ? " (or an array of them)" : "");
        return false;
      }
      args.push_back(fmt::format("--{}={}", name, text));
    }
  }
  return true;
}

}  // namespace korv_host
