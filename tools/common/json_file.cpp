#include "tools/common/json_file.h"

#include <json/reader.h>

#include <fstream>

namespace korv_tools {

bool ReadJsonFile(const std::string& path, Json::Value& value, std::string& error,
                  const std::string& name) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + (name.empty() ? path : name);
    return false;
  }
  Json::CharReaderBuilder builder;
  std::string errors;
  if (!Json::parseFromStream(builder, in, &value, &errors)) {
    // The parser's lines, on one line.
    for (char& c : errors) c = c == '\n' ? ' ' : c;
    while (!errors.empty() && errors.back() == ' ') errors.pop_back();
    error = path + ": not JSON: " + errors;
    return false;
  }
  return true;
}

}  // namespace korv_tools
