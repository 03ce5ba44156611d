#include "tools/common/json_file.h"

#include <json/reader.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace korv_tools {
namespace {
constexpr int kDepthLimit = 64;
}  // namespace

bool ReadJsonFile(const std::string& path, Json::Value& value, std::string& error,
                  const std::string& name) {
  std::ifstream in(path);
  if (!in) {
    // Why: a file not there and one korv-host may not read need other mends.
    error = "cannot read " + (name.empty() ? path : name) + ": " + std::strerror(errno);
    return false;
  }
  Json::CharReaderBuilder builder;
  // Text after the object, a key given twice or a trailing comma is a
  // mistake the reader would otherwise pass over; these files nest a few
  // levels only.
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  builder["allowTrailingCommas"] = false;
  builder["stackLimit"] = kDepthLimit;
  std::string errors;
  bool parsed = false;
  try {
    parsed = Json::parseFromStream(builder, in, &value, &errors);
  } catch (const Json::Exception& e) {
    // The reader throws past the nesting limit instead of telling it.
    error = path + ": not JSON: " + e.what();
    return false;
  }
  if (!parsed) {
    // The parser's lines, on one line.
    for (char& c : errors) c = c == '\n' ? ' ' : c;
    while (!errors.empty() && errors.back() == ' ') errors.pop_back();
    error = path + ": not JSON: " + errors;
    return false;
  }
  return true;
}

}  // namespace korv_tools
