#pragma once
// Small makers of a block's field rows, so that a device's layout reads as a
// table: one line per field of its records, offsets taken from the records
// themselves.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plugin/block_layout.h"

namespace psma {
namespace layout {

// The bit pattern the parse stores for a value the unit does not have
// (-0.1), where it stores one that no reading takes.
constexpr std::uint32_t kNoValue = 0xBDCCCCCDu;

// A value of `cls`, read at `resolution`.
inline FieldLayout Value(std::string name, std::size_t offset, ValueClass cls, double resolution,
                         std::optional<std::uint32_t> placeholder = std::nullopt) {
  FieldLayout f;
  f.name = std::move(name);
  f.type = FieldType::kF32;
  f.offset = static_cast<std::uint32_t>(offset);
  f.value_class = cls;
  f.resolution = resolution;
  f.placeholder = placeholder;
  return f;
}

// A state byte and the words of its codes.
inline FieldLayout State(std::string name, std::size_t offset, std::vector<StateWord> words) {
  FieldLayout f;
  f.name = std::move(name);
  f.type = FieldType::kU8;
  f.offset = static_cast<std::uint32_t>(offset);
  f.value_class = ValueClass::kState;
  f.resolution = 1;
  f.states = std::move(words);
  return f;
}

// `f` repeated up to `count` times, `stride` bytes apart; with `count_at`,
// as many times as the u8 there says (less `skip`, the entries of that
// count before the field's first).
inline FieldLayout Repeat(FieldLayout f, std::size_t count, std::size_t stride,
                          std::optional<std::size_t> count_at = std::nullopt,
                          std::size_t skip = 0) {
  f.count = static_cast<std::uint32_t>(count);
  f.stride = static_cast<std::uint32_t>(stride);
  if (count_at) f.count_at = static_cast<std::uint32_t>(*count_at);
  f.skip = static_cast<std::uint32_t>(skip);
  return f;
}

// `f`, there only while the u8 at `count_at` counts past entry `index`.
inline FieldLayout Counted(FieldLayout f, std::size_t count_at, std::size_t index) {
  f.count_at = static_cast<std::uint32_t>(count_at);
  f.skip = static_cast<std::uint32_t>(index);
  return f;
}

// The words of the unit's usual alarm state codes.
inline std::vector<StateWord> LimitWords() {
  return {{0, "normal"}, {1, "low"}, {2, "high"}, {3, "missing"}};
}

}  // namespace layout
}  // namespace psma
