#pragma once
// Reads a JSON file the programs take (a site file, a scenario), with the
// error on one line.

#include <json/value.h>

#include <string>

namespace korv_tools {

// Reads `path` into `value`. False with a one-line `error`: "cannot read " +
// `name` (how the program names the file; the path when empty), or
// "PATH: not JSON: " and the parser's complaint.
bool ReadJsonFile(const std::string& path, Json::Value& value, std::string& error,
                  const std::string& name = "");

}  // namespace korv_tools
