#pragma once
// A child's values as the observer tells them, made from (name, value)
// pairs: a description with one f32 field per name (a state class gets a
// u8), the block those values make, decoded through it.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gateway/outputs/output.h"

namespace testing_support {

template <typename Told>  // a ValuesEvent, or a SiteState::Child
void SetFields(Told& v, const std::vector<std::pair<std::string, float>>& values,
               const std::map<std::string, psma::ValueClass>& classes = {}) {
  auto description = std::make_shared<korv_host::ChildDescription>();
  psma::BlockLayout layout;
  layout.kind = 5158;
  layout.stale_after_s = 61;
  std::vector<std::uint8_t> block;
  for (const auto& [name, value] : values) {
    psma::FieldLayout f;
    f.name = name;
    f.offset = static_cast<std::uint32_t>(block.size());
    const auto cls = classes.find(name);
    f.value_class = cls != classes.end() ? cls->second : psma::ValueClass::kNumber;
    f.resolution = 0.001;
    if (f.value_class == psma::ValueClass::kState) {
      f.type = psma::FieldType::kU8;
      f.resolution = 1;
      block.push_back(static_cast<std::uint8_t>(value));
    } else {
      f.type = psma::FieldType::kF32;
      std::uint8_t bytes[4];
      std::memcpy(bytes, &value, 4);
      block.insert(block.end(), bytes, bytes + 4);
    }
    layout.fields.push_back(f);
  }
  psma::DecodeBlock(layout, block.data(), block.size(), v.fields);
  description->layout = std::move(layout);
  v.description = std::move(description);
}

}  // namespace testing_support
