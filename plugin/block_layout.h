#pragma once
// A child's description of the data block it publishes (SendSP): its fields
// by name, place and type, what each measures, its resolution and the stored
// pattern that means "no value". The block stays what it is, a stored format;
// the description is data beside it, so a host shows every field of a child
// it has never heard of by decoding the block through the description.
//
// On the wire (the answer to kIoBlockLayout) a description is one JSON
// object; the device writes it with LayoutJson, a host reads it with
// ParseLayout, which trusts nothing it reads, and decodes blocks with
// DecodeBlock, which never reads at or past a block's length.

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace psma {

// What a value measures, and so its unit.
enum class ValueClass : std::uint8_t {
  kState = 0,      // a state code of the unit: no unit
  kVoltage = 1,    // volts
  kCurrent = 2,    // amperes
  kFrequency = 3,  // hertz
  kNumber = 4,     // a value the unit gives no unit for (its user-defined values)
};
constexpr ValueClass kLastValueClass = ValueClass::kNumber;

// "state", "voltage", "current", "frequency", "number".
inline const char* ValueClassName(ValueClass c) {
  switch (c) {
    case ValueClass::kVoltage:
      return "voltage";
    case ValueClass::kCurrent:
      return "current";
    case ValueClass::kFrequency:
      return "frequency";
    case ValueClass::kNumber:
      return "number";
    case ValueClass::kState:
      break;
  }
  return "state";
}

// The unit's symbol: "V", "A", "Hz"; "" for a state or a bare number.
inline const char* ValueUnit(ValueClass c) {
  switch (c) {
    case ValueClass::kVoltage:
      return "V";
    case ValueClass::kCurrent:
      return "A";
    case ValueClass::kFrequency:
      return "Hz";
    case ValueClass::kNumber:
    case ValueClass::kState:
      break;
  }
  return "";
}

// How a field's bytes are stored (little-endian).
enum class FieldType : std::uint8_t { kU8, kF32 };

inline std::size_t FieldTypeSize(FieldType t) { return t == FieldType::kU8 ? 1 : 4; }
inline const char* FieldTypeName(FieldType t) { return t == FieldType::kU8 ? "u8" : "f32"; }

// One word of a state field: the code the unit sends, and what it means.
struct StateWord {
  std::uint8_t code = 0;
  std::string word;
};

// One field of a block, or one field repeated: a row per AC channel or per
// rectifier module, an entry per switch or fuse.
//
// Element e (from 0) lies at offset + e * stride. A field holds up to
// `count` elements; with `count_at`, the u8 at that offset tells how many of
// a counted array are live, and the field's first element is entry `skip`
// of that array. An element that does not lie wholly inside the block is
// not there. A repeated field's name holds "{n}", which stands for the
// element's number from 1.
struct FieldLayout {
  std::string name;
  FieldType type = FieldType::kF32;
  std::uint32_t offset = 0;
  std::uint32_t count = 1;
  std::uint32_t stride = 0;
  std::optional<std::uint32_t> count_at;
  std::uint32_t skip = 0;
  ValueClass value_class = ValueClass::kNumber;
  // A value, the step a person reads it in (0.1 shows one decimal); a
  // state, 1.
  double resolution = 1;
  // An f32's bit pattern that means the unit had no value.
  std::optional<std::uint32_t> placeholder;
  // A state's words; a code no word names is shown as its number.
  std::vector<StateWord> states;

  // The word of `code`, or nullptr.
  const std::string* WordOf(std::uint8_t code) const {
    for (const auto& s : states) {
      if (s.code == code) return &s.word;
    }
    return nullptr;
  }
  // The decimals of a value shown at this field's resolution.
  int Decimals() const {
    if (!(resolution > 0) || resolution >= 1) return 0;
    return static_cast<int>(std::ceil(-std::log10(resolution) - 1e-9));
  }
};

// A child's block as a whole.
struct BlockLayout {
  int kind = 0;  // the data kind the block is sent under
  // Values this many seconds old or older are stale (the child no longer
  // serves them).
  int stale_after_s = 0;
  std::vector<FieldLayout> fields;
};

// Limits a host holds a description to: anything beyond is refused.
constexpr std::size_t kMaxLayoutFields = 512;
constexpr std::size_t kMaxFieldName = 64;
constexpr std::uint32_t kMaxBlockOffset = 1 << 16;
constexpr std::uint32_t kMaxElements = 255;

// The description as the device answers it.
inline std::string LayoutJson(const BlockLayout& layout) {
  Json::Value doc(Json::objectValue);
  doc["kind"] = layout.kind;
  doc["stale_after_s"] = layout.stale_after_s;
  Json::Value& fields = doc["fields"] = Json::Value(Json::arrayValue);
  for (const auto& f : layout.fields) {
    Json::Value row(Json::objectValue);
    row["name"] = f.name;
    row["type"] = FieldTypeName(f.type);
    row["offset"] = f.offset;
    if (f.count != 1) {
      row["count"] = f.count;
      row["stride"] = f.stride;
    }
    if (f.count_at) row["count_at"] = *f.count_at;
    if (f.skip != 0) row["skip"] = f.skip;
    row["class"] = ValueClassName(f.value_class);
    row["resolution"] = f.resolution;
    if (f.placeholder) row["placeholder"] = *f.placeholder;
    if (!f.states.empty()) {
      Json::Value& states = row["states"] = Json::Value(Json::objectValue);
      for (const auto& s : f.states) states[std::to_string(s.code)] = s.word;
    }
    fields.append(row);
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, doc);
}

namespace layout_detail {

inline bool Unsigned(const Json::Value& v, std::uint32_t max, std::uint32_t& out) {
  if (!v.isUInt() || v.isBool() || v.asUInt() > max) return false;
  out = v.asUInt();
  return true;
}

// A name a person reads and every output can carry: [a-z0-9._-], and "{n}".
inline bool GoodName(const std::string& name, bool repeated) {
  if (name.empty() || name.size() > kMaxFieldName) return false;
  const std::size_t n = name.find("{n}");
  if ((n != std::string::npos) != repeated) return false;
  if (n != std::string::npos && name.find("{n}", n + 1) != std::string::npos) return false;
  for (std::size_t k = 0; k < name.size(); ++k) {
    const char c = name[k];
    if (n != std::string::npos && k >= n && k < n + 3) continue;
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-')) {
      return false;
    }
  }
  return true;
}

inline bool ClassOfName(const std::string& name, ValueClass& out) {
  for (int c = 0; c <= static_cast<int>(kLastValueClass); ++c) {
    if (name == ValueClassName(static_cast<ValueClass>(c))) {
      out = static_cast<ValueClass>(c);
      return true;
    }
  }
  return false;
}

inline bool Field(const Json::Value& row, FieldLayout& f, std::string& error) {
  if (!row.isObject()) return (error = "a field is not an object", false);
  if (!row["name"].isString()) return (error = "a field has no name", false);
  f.name = row["name"].asString();
  const std::string at = "field \"" + f.name + "\": ";
  const std::string type = row["type"].isString() ? row["type"].asString() : "";
  if (type == "u8") {
    f.type = FieldType::kU8;
  } else if (type == "f32") {
    f.type = FieldType::kF32;
  } else {
    return (error = at + "unknown type", false);
  }
  if (!Unsigned(row["offset"], kMaxBlockOffset, f.offset))
    return (error = at + "bad offset", false);
  f.count = 1;
  f.stride = 0;
  if (!row["count"].isNull() && !Unsigned(row["count"], kMaxElements, f.count)) {
    return (error = at + "bad count", false);
  }
  if (f.count == 0) return (error = at + "bad count", false);
  if (f.count > 1 &&
      (!Unsigned(row["stride"], kMaxBlockOffset, f.stride) || f.stride < FieldTypeSize(f.type))) {
    return (error = at + "bad stride", false);
  }
  if (!row["count_at"].isNull()) {
    std::uint32_t at_offset = 0;
    if (!Unsigned(row["count_at"], kMaxBlockOffset, at_offset)) {
      return (error = at + "bad count_at", false);
    }
    f.count_at = at_offset;
  }
  f.skip = 0;
  if (!row["skip"].isNull() && !Unsigned(row["skip"], kMaxElements, f.skip)) {
    return (error = at + "bad skip", false);
  }
  if (!GoodName(f.name, f.count > 1)) return (error = at + "bad name", false);
  if (!row["class"].isString() || !ClassOfName(row["class"].asString(), f.value_class)) {
    return (error = at + "unknown class", false);
  }
  if ((f.value_class == ValueClass::kState) != (f.type == FieldType::kU8)) {
    return (error = at + "a state is a u8, a value an f32", false);
  }
  // Nine decimals at most: a reading needs no more, and a person's text
  // stays short whatever a device answers.
  if (!row["resolution"].isDouble() || !(row["resolution"].asDouble() >= 1e-9) ||
      !std::isfinite(row["resolution"].asDouble())) {
    return (error = at + "bad resolution", false);
  }
  f.resolution = row["resolution"].asDouble();
  f.placeholder.reset();
  if (!row["placeholder"].isNull()) {
    std::uint32_t bits = 0;
    if (f.type != FieldType::kF32 || !Unsigned(row["placeholder"], 0xFFFFFFFFu, bits)) {
      return (error = at + "bad placeholder", false);
    }
    f.placeholder = bits;
  }
  f.states.clear();
  const Json::Value& states = row["states"];
  if (!states.isNull()) {
    if (!states.isObject() || f.type != FieldType::kU8) return (error = at + "bad states", false);
    for (const auto& code : states.getMemberNames()) {
      char* end = nullptr;
      const unsigned long c = std::strtoul(code.c_str(), &end, 10);
      if (code.empty() || *end != '\0' || c > 255 || !states[code].isString() ||
          states[code].asString().empty() || states[code].asString().size() > kMaxFieldName) {
        return (error = at + "bad states", false);
      }
      f.states.push_back({static_cast<std::uint8_t>(c), states[code].asString()});
    }
  }
  return true;
}

}  // namespace layout_detail

// Reads a device's description; false, with the reason, for anything a
// device should not have answered. Field names are unique.
inline bool ParseLayout(const char* text, std::size_t len, BlockLayout& out, std::string& error) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["stackLimit"] = 16;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value doc;
  std::string parse_error;
  bool parsed = false;
  try {
    parsed = len != 0 && reader->parse(text, text + len, &doc, &parse_error);
  } catch (const std::exception& e) {
    // The reader throws past its nesting limit: a device's answer never
    // gets to end the host.
    parse_error = e.what();
  }
  if (!parsed) {
    error = "not a description: " + parse_error;
    return false;
  }
  std::uint32_t kind = 0, stale = 0;
  if (!doc.isObject() || !layout_detail::Unsigned(doc["kind"], 0x7FFFFFFF, kind) ||
      !layout_detail::Unsigned(doc["stale_after_s"], 86400, stale) || !doc["fields"].isArray() ||
      doc["fields"].size() > kMaxLayoutFields) {
    error = "not a description";
    return false;
  }
  BlockLayout layout;
  layout.kind = static_cast<int>(kind);
  layout.stale_after_s = static_cast<int>(stale);
  for (const auto& row : doc["fields"]) {
    FieldLayout f;
    if (!layout_detail::Field(row, f, error)) return false;
    for (const auto& other : layout.fields) {
      if (other.name == f.name) return (error = "field \"" + f.name + "\" twice", false);
    }
    layout.fields.push_back(std::move(f));
  }
  out = std::move(layout);
  return true;
}

// One element of a field, as a block holds it.
struct FieldValue {
  std::uint16_t field = 0;    // its field, by index into the layout
  std::uint16_t element = 0;  // from 0; its number is element + 1
  bool present = false;       // false: the unit had no value (its placeholder)
  float value = 0;            // a value, exactly as stored
  std::uint8_t code = 0;      // a state's code
};

// `name` with "{n}" as `number`.
inline std::string ElementName(const std::string& name, unsigned number) {
  const std::size_t n = name.find("{n}");
  if (n == std::string::npos) return name;
  return name.substr(0, n) + std::to_string(number) + name.substr(n + 3);
}

// Every element of every field that lies inside the block, in the layout's
// order. Never reads at or past `len`.
inline void DecodeBlock(const BlockLayout& layout, const std::uint8_t* data, std::size_t len,
                        std::vector<FieldValue>& out) {
  out.clear();
  if (data == nullptr) return;
  for (std::size_t k = 0; k < layout.fields.size(); ++k) {
    const FieldLayout& f = layout.fields[k];
    std::uint32_t elements = f.count;
    if (f.count_at) {
      const std::uint32_t live = *f.count_at < len ? data[*f.count_at] : 0;
      elements = std::min(elements, live > f.skip ? live - f.skip : 0);
    }
    const std::size_t size = FieldTypeSize(f.type);
    for (std::uint32_t e = 0; e < elements; ++e) {
      const std::size_t at = std::size_t{f.offset} + std::size_t{e} * f.stride;
      if (at >= len || len - at < size) break;
      FieldValue v;
      v.field = static_cast<std::uint16_t>(k);
      v.element = static_cast<std::uint16_t>(e);
      if (f.type == FieldType::kU8) {
        v.code = data[at];
        v.present = true;
      } else {
        std::uint32_t bits = 0;
        for (int b = 3; b >= 0; --b) bits = (bits << 8) | data[at + static_cast<std::size_t>(b)];
        std::memcpy(&v.value, &bits, sizeof bits);
        // A value that is no number is no more a reading than a placeholder.
        v.present = (!f.placeholder || bits != *f.placeholder) && std::isfinite(v.value);
      }
      out.push_back(v);
    }
  }
}

}  // namespace psma
