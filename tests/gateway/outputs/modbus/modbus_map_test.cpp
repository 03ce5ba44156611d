// The register map's rules and the answers to requests, without a socket.

#include "gateway/outputs/modbus/modbus_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korv_host::modbus {
namespace {

psma::FieldLayout Field(const char* name, psma::ValueClass cls, std::uint32_t count) {
  psma::FieldLayout f;
  f.name = name;
  f.value_class = cls;
  f.type = cls == psma::ValueClass::kState ? psma::FieldType::kU8 : psma::FieldType::kF32;
  f.count = count;
  return f;
}

// Two units; the first's child has a voltage, up to 3 module currents, an
// alarm state and up to 255 user values.
std::vector<Runner::UnitShape> Site() {
  psma::BlockLayout layout;
  layout.fields = {Field("output.voltage", psma::ValueClass::kVoltage, 1),
                   Field("module{n}.current", psma::ValueClass::kCurrent, 3),
                   Field("output.voltage.alarm", psma::ValueClass::kState, 1),
                   Field("user{n}", psma::ValueClass::kNumber, 255)};
  Runner::ChildShape dc{21, "psma-dc", {layout, ""}};
  Runner::ChildShape mute{22, "psma-ac", {std::nullopt, "no description"}};
  return {{1, {dc, mute}}, {7, {dc}}};
}

const Entry* Find(const Map& map, unsigned unit, const std::string& name) {
  for (const auto& e : map.entries) {
    if (e.unit == unit && e.name == name) return &e;
  }
  return nullptr;
}

TEST(ModbusMap, RowsStandWhereTheRulesPutThem) {
  const Map map = BuildMap(Site());
  struct Row {
    unsigned unit;
    const char* name;
    bool discrete;
    std::uint32_t address, registers;
  };
  // Unit k's block at k * 2000; its status, then its child's fields, each
  // with room for its largest count; the alarm's code a register too.
  const Row rows[] = {
      {1, "link", false, 0, 1},
      {1, "rounds", false, 1, 2},
      {1, "last_round_age", false, 3, 1},
      {1, "stale", true, 0, 1},
      {1, "output.voltage", false, 10, 2},
      {1, "module1.current", false, 12, 2},
      {1, "module3.current", false, 16, 2},
      {1, "user32", false, 81, 2},
      {7, "output.voltage", false, 2010, 2},
      {7, "stale", true, 2000, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    bool found = false;
    for (const auto& e : map.entries) {
      if (e.unit != r.unit || e.name != r.name || e.discrete != r.discrete) continue;
      found = true;
      EXPECT_EQ(e.address, r.address);
      EXPECT_EQ(e.registers, r.registers);
    }
    EXPECT_TRUE(found);
  }
  const Entry* alarm = Find(map, 1, "output.voltage.alarm");
  ASSERT_NE(alarm, nullptr);
  EXPECT_EQ(alarm->address, 18u);
  EXPECT_EQ(Find(map, 1, "user33"), nullptr);  // past the rows given room
  EXPECT_EQ(map.registers, 4000u);
  ASSERT_EQ(map.left_out.size(), 1u);  // the child without a description
}

TEST(ModbusMap, ImageTellsValuesAbsenceAndAlarms) {
  const Map map = BuildMap(Site());
  SiteState::Snapshot s;
  SiteState::Unit unit;
  unit.id = 1;
  unit.link = SiteState::Link::kAnswering;
  unit.rounds = 0x10002;
  unit.last_round_age = 2.7;
  SiteState::Child child;
  child.device = 21;
  // 53.5 V; module 2 only, module 1 without a value; the alarm high.
  child.fields = {
      {0, 0, true, 53.5F, 0}, {1, 0, false, 0, 0}, {1, 1, true, 1.0F, 0}, {2, 0, true, 0, 2}};
  unit.children = {child};
  s.units = {unit};
  for (const WordOrder order : {WordOrder::kAbcd, WordOrder::kCdab}) {
    const Image image = BuildImage(map, s, order);
    const bool abcd = order == WordOrder::kAbcd;
    const struct {
      std::uint32_t at;
      int value;
    } rows[] = {
        {kLinkAt, 1},
        {kRoundsAt, abcd ? 1 : 2},
        {kRoundsAt + 1, abcd ? 2 : 1},
        {kAgeAt, 2},
        {10, abcd ? 0x4256 : 0},
        {11, abcd ? 0 : 0x4256},
        {12, abcd ? 0x7FC0 : 0},
        {14, abcd ? 0x3F80 : 0},
        {16, abcd ? 0x7FC0 : 0},
        {18, 2},
        {2000, 0},
        {2003, kNoAge},
        {2010, abcd ? 0x7FC0 : 0},
    };
    for (const auto& r : rows) EXPECT_EQ(int{image.registers[r.at]}, r.value) << r.at;
    EXPECT_EQ(image.inputs[0], 0);     // answering, nothing stale
    EXPECT_EQ(image.inputs[10], 1);    // the alarm
    EXPECT_EQ(image.inputs[2000], 1);  // a unit not heard of yet
  }
}

TEST(ModbusMap, AnswersReadsAndRefusesTheRest) {
  Image image;
  image.registers = {0x1234, 0xABCD, 7};
  image.inputs = {1, 0, 1};
  struct Row {
    std::vector<std::uint8_t> pdu;
    std::vector<std::uint8_t> answer;  // empty: the exception
    Exception exception;
  };
  const Row rows[] = {
      {{0x04, 0, 0, 0, 2}, {0x04, 4, 0x12, 0x34, 0xAB, 0xCD}, {}},
      {{0x03, 0, 2, 0, 1}, {0x03, 2, 0, 7}, {}},
      {{0x02, 0, 0, 0, 3}, {0x02, 1, 0x05}, {}},
      {{0x04, 0, 2, 0, 2}, {}, kIllegalAddress},
      {{0x02, 0xFF, 0xFF, 0, 1}, {}, kIllegalAddress},
      {{0x04, 0, 0, 0, 126}, {}, kIllegalValue},
      {{0x02, 0, 0, 0x07, 0xD1}, {}, kIllegalValue},
      {{0x04, 0, 0, 0, 0}, {}, kIllegalValue},
      {{0x04, 0, 0, 0}, {}, kIllegalValue},
      {{0x06, 0, 0, 0, 1}, {}, kIllegalFunction},
      {{0x10, 0, 0, 0, 1, 2, 0, 1}, {}, kIllegalFunction},
      {{0x01, 0, 0, 0, 1}, {}, kIllegalFunction},
  };
  for (const auto& r : rows) {
    Exception exception{};
    const auto answer = Answer(image, r.pdu.data(), r.pdu.size(), exception);
    EXPECT_EQ(answer, r.answer) << int(r.pdu[0]);
    if (r.answer.empty()) {
      EXPECT_EQ(exception, r.exception) << int(r.pdu[0]);
    }
  }
}

}  // namespace
}  // namespace korv_host::modbus
