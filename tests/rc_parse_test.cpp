// The rectifier group's answers: what each parse stores, takes and logs, and
// that no answer is read past its field whatever its counts say.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "answers/bytes.h"
#include "rc/psma_rc.h"
#include "support/host_fixture.h"

using psma_answers::Bits;
using psma_answers::Bytes;
using psma_answers::F32;
using testing_support::HostFixture;

namespace {

using Module = tele_c_psma_rc_channel;
using Op = int (PsmaRC::*)(const std::uint8_t*, int);

// The unit the group belongs to; the child reaches the host through it.
class Unit : public KorvSPDevice {
 public:
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }
};

// One 41_41 module group with P = number of user values.
Bytes Analogue(float value, std::vector<float> user) {
  Bytes b;
  b.f32(value).u8(static_cast<std::uint8_t>(user.size()));
  for (float f : user) b.f32(f);
  return b;
}
Bytes Answer41_41(float group, const std::vector<Bytes>& modules, std::uint8_t flag = 0) {
  Bytes b;
  b.u8(flag).f32(group).u8(static_cast<std::uint8_t>(modules.size()));
  for (const auto& m : modules) b.append(m);
  return b;
}
Bytes Three41_41() {
  return Answer41_41(53.5f, {Analogue(10.f, {1, 2, 3, 4}), Analogue(20.f, {5, 6, 7, 8}),
                             Analogue(30.f, {9, 10, 11, 12})});
}
// The first `n` bytes of `b`: an answer cut short.
Bytes Cut(const Bytes& b, std::size_t n) {
  Bytes out;
  for (std::size_t k = 0; k < n; ++k) out.u8(b.vec()[k]);
  return out;
}

float UserAnalog(const Module& m, int k) {
  return F32(reinterpret_cast<const std::uint8_t*>(&m.user_analog) + 4 * k);
}
float ModuleValue(const Module& m) { return F32(reinterpret_cast<const std::uint8_t*>(&m)); }
float Field(const void* record, std::size_t offset) {
  return F32(static_cast<const std::uint8_t*>(record) + offset);
}

class RcParseTest : public HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    unit = std::make_shared<Unit>();
    unit->Init(controller, 9, Json::Value());
    rc = std::make_shared<PsmaRC>();
    rc->InitV(unit.get(), 9, Json::Value(Json::objectValue));
  }

  // Parses an exact-size heap copy, so a read past the field is caught.
  int Parse(Op op, const Bytes& info) { return Parse(op, info, info.size()); }
  int Parse(Op op, const Bytes& info, int len) {
    const std::size_t n = info.vec().size();
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n == 0 ? 1 : n]);
    if (n != 0) std::memcpy(copy.get(), info.data(), n);
    return ((*rc).*op)(n == 0 ? nullptr : copy.get(), len);
  }
  std::vector<std::string> Logs() const {
    std::vector<std::string> lines;
    for (const auto& c : observer->Calls("log 9 ")) lines.push_back(c.substr(6));
    return lines;
  }

  std::shared_ptr<Unit> unit;
  std::shared_ptr<PsmaRC> rc;
};

struct Case {
  const char* name;
  std::vector<Bytes> before;  // 41_41 answers that set the module count first
  Op op;
  Bytes info;
  int result;
  std::vector<std::string> logs;
  std::function<void(const tele_c_psma_rc&, const std::vector<Module>&)> check;
};

const char kCount41[] = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 9 ";
const char kOverflow[] = "PMBusPowerAC:ProcotolError 9 ";

TEST_F(RcParseTest, AnswersStoreTakeAndLogAsAnnounced) {
  const std::string c41 = kCount41;
  const std::string ov = kOverflow;
  const Bytes three = Three41_41();
  const Case cases[] = {
      {"41_41 first answer fixes three modules",
       {},
       &PsmaRC::parse41_41,
       three,
       69,
       {},
       [](const tele_c_psma_rc& r, const std::vector<Module>& m) {
         EXPECT_EQ(Field(&r, 69), 53.5f);
         EXPECT_EQ(r.module_count, 3);
         ASSERT_EQ(m.size(), 3u);
         EXPECT_EQ(ModuleValue(m[2]), 30.f);
         EXPECT_EQ(m[2].analog_count, 4);
         EXPECT_EQ(UserAnalog(m[2], 0), 9.f);
         EXPECT_EQ(UserAnalog(m[2], 3), 12.f);
       }},
      {"41_41 with another count is refused, group value kept",
       {three},
       &PsmaRC::parse41_41,
       Answer41_41(1.5f, {Analogue(99.f, {0, 0, 0, 0}), Analogue(98.f, {0, 0, 0, 0})}),
       -1,
       {},
       [](const tele_c_psma_rc& r, const std::vector<Module>& m) {
         EXPECT_EQ(Field(&r, 69), 1.5f);
         EXPECT_EQ(r.module_count, 3);
         ASSERT_EQ(m.size(), 3u);
         EXPECT_EQ(ModuleValue(m[0]), 10.f);
         EXPECT_EQ(UserAnalog(m[0], 0), 1.f);
       }},
      {"41_41 with no module leaves the count open",
       {Answer41_41(1.f, {})},
       &PsmaRC::parse41_41,
       Answer41_41(2.f, {Analogue(7.f, {1, 1, 1, 1})}),
       27,
       {},
       [](const tele_c_psma_rc& r, const std::vector<Module>& m) {
         EXPECT_EQ(r.module_count, 1);
         ASSERT_EQ(m.size(), 1u);
         EXPECT_EQ(ModuleValue(m[0]), 7.f);
       }},
      {"41_41 equal bytes are 0.0 only among the user values",
       {},
       &PsmaRC::parse41_41,
       Bytes().u8(0).rep(0x20, 4).u8(1).rep(0x20, 4).u8(4).rep(0x20, 4).rep(0xFF, 4).f32(-2.5f).rep(
           0x00, 4),
       27,
       {},
       [](const tele_c_psma_rc& r, const std::vector<Module>& m) {
         EXPECT_EQ(Bits(Field(&r, 69)), 0x20202020u);
         EXPECT_EQ(Bits(ModuleValue(m[0])), 0x20202020u);
         EXPECT_EQ(Bits(UserAnalog(m[0], 0)), 0u);
         EXPECT_EQ(Bits(UserAnalog(m[0], 1)), 0u);
         EXPECT_EQ(UserAnalog(m[0], 2), -2.5f);
         EXPECT_EQ(Bits(UserAnalog(m[0], 3)), 0u);
       }},
      {"41_41 a module with P = 2 is skipped and keeps its user values",
       {three},
       &PsmaRC::parse41_41,
       Answer41_41(1.f, {Analogue(11.f, {0.5f, 0.5f}), Analogue(21.f, {1, 1, 2, 3}),
                         Analogue(31.f, {4, 5, 6, 7})}),
       6 + 13 + 21 + 21,
       {c41 + "read 41_41 p is 2 not 4"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(ModuleValue(m[0]), 11.f);
         EXPECT_EQ(m[0].analog_count, 2);
         EXPECT_EQ(UserAnalog(m[0], 0), 1.f);
         EXPECT_EQ(UserAnalog(m[1], 3), 3.f);
         EXPECT_EQ(ModuleValue(m[2]), 31.f);
       }},
      {"41_41 cut inside a module's values stores nothing of them",
       {three},
       &PsmaRC::parse41_41,
       Cut(Answer41_41(1.f, {Analogue(12.f, {8, 8, 8, 9}), Analogue(22.f, {7, 7, 7, 6}),
                             Analogue(32.f, {0, 0, 0, 0})}),
           6 + 21 + 5 + 15),
       -1,
       {ov + "read 41_41 in channel overflow 48 - 47"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(UserAnalog(m[0], 3), 9.f) << "the module before the cut is kept";
         EXPECT_EQ(ModuleValue(m[1]), 22.f) << "the module head was whole";
         EXPECT_EQ(UserAnalog(m[1], 0), 5.f);
         EXPECT_EQ(ModuleValue(m[2]), 30.f);
       }},
      {"41_41 cut inside a module head",
       {three},
       &PsmaRC::parse41_41,
       Cut(Answer41_41(1.f, {Analogue(12.f, {8, 8, 8, 9}), Analogue(22.f, {7, 7, 7, 6}),
                             Analogue(32.f, {0, 0, 0, 0})}),
           6 + 21 + 4),
       -1,
       {ov + "read 41_41 read overflow 32 - 31"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(ModuleValue(m[1]), 20.f);
         EXPECT_EQ(m[1].analog_count, 4);
       }},
      {"41_41 last module's skipped values run past the field",
       {},
       &PsmaRC::parse41_41,
       Cut(Answer41_41(1.f, {Analogue(5.f, {1, 2})}), 6 + 5 + 3),
       -1,
       {c41 + "read 41_41 p is 2 not 4", ov + "read 41_41 read overflow 19 - 14"},
       nullptr},
      {"41_41 group value cut",
       {},
       &PsmaRC::parse41_41,
       Bytes().u8(0).u8(1).u8(2),
       -1,
       {ov + "read 41_41 read overflow 5 - 3"},
       [](const tele_c_psma_rc& r, const std::vector<Module>& m) {
         EXPECT_EQ(Bits(Field(&r, 69)), 0u);
         EXPECT_TRUE(m.empty());
       }},
      {"41_41 count byte missing",
       {},
       &PsmaRC::parse41_41,
       Bytes().u8(0).f32(4.f),
       -1,
       {ov + "read 41_41 read overflow 6 - 5"},
       [](const tele_c_psma_rc& r, const std::vector<Module>&) {
         EXPECT_EQ(Field(&r, 69), 4.f);
         EXPECT_EQ(r.module_count, 0);
       }},

      {"41_43 one module of three",
       {three},
       &PsmaRC::parse41_43,
       Bytes().u8(0x10).u8(1).u8s({1, 0, 1}).u8(1).u8(0xA5),
       7,
       {},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(m[0].switch_state[0], 1);
         EXPECT_EQ(m[0].switch_state[2], 1);
         EXPECT_EQ(m[0].switch_count, 1);
         EXPECT_EQ(m[0].user_switch[0], 0xA5);
         EXPECT_EQ(m[1].switch_count, 0);
       }},
      {"41_43 more modules than the group has",
       {three},
       &PsmaRC::parse41_43,
       Bytes().u8(0).u8(4).rep(0, 16),
       -1,
       {},
       nullptr},
      {"41_43 before the count is known",
       {},
       &PsmaRC::parse41_43,
       Bytes().u8(0).u8(1).u8s({1, 1, 1, 1, 1}),
       -1,
       {},
       nullptr},
      {"41_43 no module before the count is known",
       {},
       &PsmaRC::parse41_43,
       Bytes().u8(0).u8(0),
       2,
       {},
       nullptr},
      {"41_43 P = 2 is skipped",
       {three},
       &PsmaRC::parse41_43,
       Bytes().u8(0).u8(2).u8s({1, 1, 1}).u8(2).u8s({7, 7}).u8s({0, 1, 0}).u8(1).u8(3),
       13,
       {c41 + "read 41_43 p is 2, not 1"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(m[0].switch_count, 2);
         EXPECT_EQ(m[0].user_switch[0], 0);
         EXPECT_EQ(m[1].user_switch[0], 3);
       }},
      {"41_43 P = 0 is skipped",
       {three},
       &PsmaRC::parse41_43,
       Bytes().u8(0).u8(2).u8s({1, 1, 1}).u8(0).u8s({0, 1, 0}).u8(1).u8(3),
       11,
       {c41 + "read 41_43 p is 0, not 1"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(m[0].user_switch[0], 0);
         EXPECT_EQ(m[1].switch_state[1], 1);
         EXPECT_EQ(m[1].user_switch[0], 3);
       }},
      {"41_43 switch byte missing",
       {three},
       &PsmaRC::parse41_43,
       Bytes().u8(0).u8(1).u8s({1, 1, 1}).u8(1),
       -1,
       {ov + "read 41_43 read overflow 7 - 6"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(m[0].switch_count, 1);
         EXPECT_EQ(m[0].user_switch[0], 0);
       }},
      {"41_43 module head cut",
       {three},
       &PsmaRC::parse41_43,
       Bytes().u8(0).u8(1).u8s({1, 1}),
       -1,
       {ov + "read 41_43 read overflow 6 - 4"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(m[0].switch_state[0], 0);
       }},

      {"41_44 more modules than the group has",
       {three},
       &PsmaRC::parse41_44,
       Bytes().u8(0).u8(4).rep(0, 24),
       0,
       {c41 + "parse p41_44 channel_count not equal 4 != 3 "},
       nullptr},
      {"41_44 two modules",
       {three},
       &PsmaRC::parse41_44,
       Bytes().u8(1).u8(2).u8(1).u8(4).u8s({1, 0, 1, 0xE2}).u8(0).u8(4).u8s({0, 1, 0, 0}),
       14,
       {},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(m[0].fault_state, 1);
         EXPECT_EQ(m[0].alarm_count, 4);
         EXPECT_EQ(m[0].user_alarm[3], 0xE2);
         EXPECT_EQ(m[1].user_alarm[1], 1);
         EXPECT_EQ(m[2].alarm_count, 0);
       }},
      {"41_44 P = 3 is skipped and keeps the alarm bytes",
       {three},
       &PsmaRC::parse41_44,
       Bytes().u8(0).u8(1).u8(2).u8(3).u8s({1, 1, 1}),
       7,
       {c41 + "read 41_44 p is 3, not 4"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(m[0].fault_state, 2);
         EXPECT_EQ(m[0].alarm_count, 3);
         EXPECT_EQ(m[0].user_alarm[0], 0);
       }},
      {"41_44 alarm bytes cut",
       {three},
       &PsmaRC::parse41_44,
       Bytes().u8(0).u8(1).u8(1).u8(4).u8s({1, 1, 1}),
       -1,
       {ov + "read 41_44 read overflow 8 - 7"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) {
         EXPECT_EQ(m[0].fault_state, 1);
         EXPECT_EQ(m[0].user_alarm[0], 0);
       }},
      {"41_44 module head cut",
       {three},
       &PsmaRC::parse41_44,
       Bytes().u8(0).u8(1).u8(1),
       -1,
       {ov + "read 41_44 read overflow 4 - 3"},
       [](const tele_c_psma_rc&, const std::vector<Module>& m) { EXPECT_EQ(m[0].fault_state, 0); }},

      {"40_46 P = 2 answers 29 without looking at the length",
       {},
       &PsmaRC::parse40_46,
       Bytes().f32(220.f).f32(1).f32(2).f32(3).f32(50.f).u8(2),
       29,
       {},
       [](const tele_c_psma_rc& r, const std::vector<Module>&) {
         EXPECT_EQ(Field(&r, 4), 220.f);
         EXPECT_EQ(Field(&r, 20), 50.f);
       }},
      {"40_46 P = 0", {}, &PsmaRC::parse40_46, Bytes().rep(0x41, 20).u8(0), 21, {}, nullptr},
      {"40_46 fixed part cut",
       {},
       &PsmaRC::parse40_46,
       Bytes().f32(220.f).rep(1, 16),
       -1,
       {ov + "read 40_46 read overflow 21 - 20"},
       [](const tele_c_psma_rc& r, const std::vector<Module>&) {
         EXPECT_EQ(Bits(Field(&r, 4)), 0u);
       }},

      {"42_46 P = 9 keeps 36 bytes of a long field",
       {},
       &PsmaRC::parse42_46,
       Bytes().f32(53.5f).f32(43.2f).u8(9).f32(1).rep(0x11, 28).f32(9).rep(0x77, 15),
       45,
       {},
       [](const tele_c_psma_rc& r, const std::vector<Module>&) {
         EXPECT_EQ(Field(&r, 24), 53.5f);
         EXPECT_EQ(Field(&r, 28), 43.2f);
         EXPECT_EQ(r.dc_param_count, 9);
         EXPECT_EQ(Field(&r, 33), 1.f);
         EXPECT_EQ(Field(&r, 65), 9.f);
         EXPECT_EQ(Bits(Field(&r, 69)), 0u) << "nothing beyond the user values";
       }},
      {"42_46 P = 9 with a short field fills the front with whole values",
       {},
       &PsmaRC::parse42_46,
       Bytes().f32(1).f32(2).u8(9).rep(0x33, 21),
       30,
       {},
       [](const tele_c_psma_rc& r, const std::vector<Module>&) {
         const auto* b = reinterpret_cast<const std::uint8_t*>(&r);
         EXPECT_EQ(b[52], 0x33);
         EXPECT_EQ(b[53], 0x00) << "the value the field ends inside is not begun";
       }},
      {"42_46 P = 5",
       {},
       &PsmaRC::parse42_46,
       Bytes().f32(1).f32(2).u8(5).rep(0x33, 20),
       29,
       {"VLM27K:ProcotolError parse42_46 9 p:5 != 9"},
       [](const tele_c_psma_rc& r, const std::vector<Module>&) {
         EXPECT_EQ(r.dc_param_count, 5);
         EXPECT_EQ(Bits(Field(&r, 33)), 0u);
       }},
      {"42_46 fixed part cut",
       {},
       &PsmaRC::parse42_46,
       Bytes().f32(1).f32(2),
       -1,
       {ov + "read 42_46 read overflow 9 - 8"},
       [](const tele_c_psma_rc& r, const std::vector<Module>&) {
         EXPECT_EQ(Bits(Field(&r, 24)), 0u);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rc = std::make_shared<PsmaRC>();
    rc->InitV(unit.get(), 9, Json::Value(Json::objectValue));
    for (const auto& b : c.before) ASSERT_EQ(Parse(&PsmaRC::parse41_41, b), b.size());
    observer->Clear();
    EXPECT_EQ(Parse(c.op, c.info), c.result);
    EXPECT_EQ(Logs(), c.logs);
    const auto record = rc->Record();
    const auto modules = rc->Modules();
    EXPECT_EQ(modules.size(), record.module_count);
    EXPECT_EQ(record.data_id, 9u);
    if (c.check) c.check(record, modules);
  }
}

// A user-defined DC parameter field that ends inside a value: the whole
// values before it are new, that value and those behind it keep their
// previous bytes whole; the bytes taken stay the field's.
TEST_F(RcParseTest, DcUserParametersAreTakenAsWholeValues) {
  const auto answer = [](std::uint8_t fill, std::size_t field) {
    return Bytes().f32(53.5f).f32(43.2f).u8(9).rep(fill, field);
  };
  const struct {
    std::size_t field;  // bytes of user-defined values sent
    int fresh;          // values that are new
  } cases[] = {{0, 0}, {2, 0}, {4, 1}, {6, 1}, {21, 5}, {35, 8}, {36, 9}, {40, 9}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.field) + " bytes");
    ASSERT_EQ(Parse(&PsmaRC::parse42_46, answer(0x11, 36)), 45);
    EXPECT_EQ(Parse(&PsmaRC::parse42_46, answer(0x22, c.field)),
              9 + static_cast<int>(std::min<std::size_t>(c.field, 36)));
    const auto record = rc->Record();
    const auto* b = reinterpret_cast<const std::uint8_t*>(&record);
    std::vector<std::uint8_t> want(36, 0x11);
    std::fill_n(want.begin(), 4 * c.fresh, 0x22);
    EXPECT_EQ(std::vector<std::uint8_t>(b + 33, b + 69), want);
  }
  EXPECT_TRUE(Logs().empty());
}

}  // namespace
