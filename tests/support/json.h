#pragma once
// JSON from a literal, for settings in tests.

#include <json/reader.h>
#include <json/value.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace testing_support {

inline Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value v;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) {
    throw std::invalid_argument("bad JSON in test: " + errors);
  }
  return v;
}

}  // namespace testing_support
