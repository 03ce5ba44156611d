#include "gateway/outputs/modbus/modbus_map.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "gateway/core/field_text.h"

namespace korv_host::modbus {
namespace {

// The protocol's address space, and the most a read may ask for.
constexpr std::uint32_t kAddresses = 0x10000;
constexpr std::uint16_t kMaxBits = 2000;
constexpr std::uint16_t kMaxRegisters = 125;

// The function codes served.
enum Function : std::uint8_t {
  kReadDiscreteInputs = 0x02,
  kReadHoldingRegisters = 0x03,
  kReadInputRegisters = 0x04,
};

// The unit's status rows, at the start of its block.
struct StatusRow {
  Entry::Kind kind;
  bool discrete;
  std::uint32_t offset;
  std::uint32_t registers;
  const char* name;
};
constexpr StatusRow kStatus[] = {
    {Entry::Kind::kLink, false, kLinkAt, 1, "link"},
    {Entry::Kind::kRounds, false, kRoundsAt, 2, "rounds"},
    {Entry::Kind::kAge, false, kAgeAt, 1, "last_round_age"},
    {Entry::Kind::kStale, true, kStaleInput, 1, "stale"},
};

void PutFloat(std::vector<std::uint16_t>& regs, std::uint32_t at, std::uint32_t bits,
              WordOrder order) {
  const auto high = static_cast<std::uint16_t>(bits >> 16);
  const auto low = static_cast<std::uint16_t>(bits & 0xFFFF);
  regs[at] = order == WordOrder::kAbcd ? high : low;
  regs[at + 1] = order == WordOrder::kAbcd ? low : high;
}

std::uint32_t Bits(float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

const char* TypeText(const Entry& e, WordOrder order) {
  switch (e.kind) {
    case Entry::Kind::kFloat:
      return order == WordOrder::kAbcd ? "float32 ABCD" : "float32 CDAB";
    case Entry::Kind::kRounds:
      return order == WordOrder::kAbcd ? "uint32 ABCD" : "uint32 CDAB";
    case Entry::Kind::kCode:
    case Entry::Kind::kLink:
    case Entry::Kind::kAge:
      return "uint16";
    case Entry::Kind::kAlarm:
    case Entry::Kind::kStale:
      break;
  }
  return "bit";
}

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

}  // namespace

Map BuildMap(const std::vector<Runner::UnitShape>& units) {
  Map map;
  for (std::size_t k = 0; k < units.size(); ++k) {
    const Runner::UnitShape& unit = units[k];
    const std::uint32_t base = static_cast<std::uint32_t>(k) * kUnitStride;
    if (base + kUnitStride > kAddresses) {
      map.left_out.push_back(fmt::format("unit {}: past the 65,536 addresses", unit.id));
      continue;
    }
    for (const auto& row : kStatus) {
      Entry e;
      e.kind = row.kind;
      e.discrete = row.discrete;
      e.address = base + row.offset;
      e.registers = row.registers;
      e.unit = unit.id;
      e.name = row.name;
      map.entries.push_back(std::move(e));
    }
    std::uint32_t reg = base + kFirstChildAt, bit = base + kFirstChildAt;
    const std::uint32_t end = base + kUnitStride;
    for (const auto& child : unit.children) {
      if (!child.description.layout) {
        map.left_out.push_back(fmt::format("unit {} child {} ({}): no description: {}", unit.id,
                                           child.device, child.type, child.description.error));
        continue;
      }
      const psma::BlockLayout& layout = *child.description.layout;
      // Room for every element any block of this child may hold, or the
      // child is left out whole (never half a child).
      std::uint32_t regs = 0, bits = 0;
      for (const auto& f : layout.fields) {
        regs += std::min(f.count, kMaxRows) * (f.type == psma::FieldType::kF32 ? 2 : 1);
        if (f.value_class == psma::ValueClass::kState) bits += std::min(f.count, kMaxRows);
      }
      if (reg + regs > end || bit + bits > end) {
        map.left_out.push_back(
            fmt::format("unit {} child {} ({}): {} registers past its unit's "
                        "block of {}",
                        unit.id, child.device, child.type, regs, kUnitStride));
        continue;
      }
      for (std::size_t f = 0; f < layout.fields.size(); ++f) {
        const psma::FieldLayout& field = layout.fields[f];
        const bool state = field.value_class == psma::ValueClass::kState;
        for (std::uint32_t n = 0; n < std::min(field.count, kMaxRows); ++n) {
          Entry e;
          e.unit = unit.id;
          e.child = child.device;
          e.type = child.type;
          e.name = psma::ElementName(field.name, n + 1);
          e.measure = psma::ValueUnit(field.value_class);
          e.field = static_cast<std::uint16_t>(f);
          e.element = static_cast<std::uint16_t>(n);
          e.kind = state ? Entry::Kind::kCode : Entry::Kind::kFloat;
          e.address = reg;
          e.registers = state ? 1 : 2;
          reg += e.registers;
          map.entries.push_back(e);
          if (state) {
            e.kind = Entry::Kind::kAlarm;
            e.discrete = true;
            e.address = bit++;
            e.registers = 1;
            map.entries.push_back(std::move(e));
          }
        }
      }
    }
    map.registers = end;
    map.inputs = end;
  }
  return map;
}

Image BuildImage(const Map& map, const SiteState::Snapshot& snapshot, WordOrder order) {
  Image image;
  image.registers.assign(map.registers, 0);
  image.inputs.assign(map.inputs, 0);
  // The snapshot's values by where they are: unit, child, field, element.
  std::map<unsigned, const SiteState::Unit*> units;
  for (const auto& u : snapshot.units) units[u.id] = &u;
  std::map<std::pair<unsigned, unsigned>, const SiteState::Child*> children;
  std::map<unsigned, bool> stale;
  for (const auto& u : snapshot.units) {
    bool any = u.link == SiteState::Link::kNotAnswering;
    for (const auto& c : u.children) {
      children[{u.id, c.device}] = &c;
      any = any || c.stale;
    }
    stale[u.id] = any;
  }
  // The current child's elements by field and element, looked up once a child.
  std::map<std::pair<std::uint16_t, std::uint16_t>, const psma::FieldValue*> values;
  std::pair<unsigned, unsigned> at{0, 0};
  for (const Entry& e : map.entries) {
    const auto found = units.find(e.unit);
    const SiteState::Unit* unit = found == units.end() ? nullptr : found->second;
    if (e.child != 0 && std::make_pair(e.unit, e.child) != at) {
      at = {e.unit, e.child};
      values.clear();
      if (const auto c = children.find(at); c != children.end()) {
        for (const auto& v : c->second->fields) values[{v.field, v.element}] = &v;
      }
    }
    // The child's element, when its block holds a value for it.
    const psma::FieldValue* value = nullptr;
    if (e.child != 0) {
      const auto v = values.find({e.field, e.element});
      if (v != values.end() && v->second->present) value = v->second;
    }
    switch (e.kind) {
      case Entry::Kind::kLink:
        image.registers[e.address] = unit ? static_cast<std::uint16_t>(unit->link) : 0;
        break;
      case Entry::Kind::kRounds: {
        const std::uint32_t rounds = unit ? static_cast<std::uint32_t>(unit->rounds) : 0;
        PutFloat(image.registers, e.address, rounds, order);
        break;
      }
      case Entry::Kind::kAge: {
        std::uint16_t age = kNoAge;
        if (unit && unit->last_round_age && !stale[e.unit]) {
          age = static_cast<std::uint16_t>(
              std::min<double>(std::floor(std::max(0.0, *unit->last_round_age)), kNoAge - 1));
        }
        image.registers[e.address] = age;
        break;
      }
      case Entry::Kind::kStale:
        image.inputs[e.address] = unit == nullptr || stale[e.unit] ? 1 : 0;
        break;
      case Entry::Kind::kFloat:
        PutFloat(image.registers, e.address, value ? Bits(value->value) : kNanBits, order);
        break;
      case Entry::Kind::kCode:
        image.registers[e.address] = value ? value->code : kNoCode;
        break;
      case Entry::Kind::kAlarm:
        // Code 0 is a state's normal (a switch's "on"): anything else is told.
        image.inputs[e.address] = value && value->code != 0 ? 1 : 0;
        break;
    }
  }
  return image;
}

std::string MapText(const Map& map, WordOrder order) {
  std::string text = "table     address count unit child type       field unit-of-measure type\n";
  for (const Entry& e : map.entries) {
    text += fmt::format("{:<9} {:>7} {:>5} {:>4} {:>5} {:<10} {} {} {}\n",
                        e.discrete ? "discrete" : "input", e.address, e.registers, e.unit, e.child,
                        e.type.empty() ? "-" : e.type, e.name, e.measure.empty() ? "-" : e.measure,
                        TypeText(e, order));
  }
  for (const auto& line : map.left_out) text += "# not served: " + line + "\n";
  return text;
}

std::vector<std::uint8_t> Answer(const Image& image, const std::uint8_t* pdu, std::size_t len,
                                 Exception& exception) {
  // A read: function, start (2 bytes), count (2 bytes), big-endian.
  //   | fc | start hi | start lo | count hi | count lo |
  if (len < 1) return (exception = kIllegalFunction, std::vector<std::uint8_t>{});
  const std::uint8_t fc = pdu[0];
  const bool bits = fc == kReadDiscreteInputs;
  if (!bits && fc != kReadInputRegisters && fc != kReadHoldingRegisters) {
    exception = kIllegalFunction;
    return {};
  }
  if (len != 5) return (exception = kIllegalValue, std::vector<std::uint8_t>{});
  const std::uint32_t start = (std::uint32_t{pdu[1]} << 8) | pdu[2];
  const std::uint32_t count = (std::uint32_t{pdu[3]} << 8) | pdu[4];
  if (count == 0 || count > (bits ? kMaxBits : kMaxRegisters)) {
    exception = kIllegalValue;
    return {};
  }
  const std::size_t size = bits ? image.inputs.size() : image.registers.size();
  if (start + count > size) return (exception = kIllegalAddress, std::vector<std::uint8_t>{});
  std::vector<std::uint8_t> out{fc};
  if (bits) {
    // | fc | byte count | bits, the first in the low bit of the first byte |
    out.push_back(static_cast<std::uint8_t>((count + 7) / 8));
    out.resize(2 + (count + 7) / 8, 0);
    for (std::uint32_t k = 0; k < count; ++k) {
      if (image.inputs[start + k] != 0) out[2 + k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
    }
  } else {
    // | fc | byte count | registers, each high byte first |
    out.push_back(static_cast<std::uint8_t>(count * 2));
    for (std::uint32_t k = 0; k < count; ++k) PutU16(out, image.registers[start + k]);
  }
  return out;
}

}  // namespace korv_host::modbus
