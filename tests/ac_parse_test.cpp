// The AC screen's parse operations: results, stored fields, log and trace
// lines, and the bounds of every portion.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "answers/bytes.h"
#include "root/psma.h"
#include "support/host_fixture.h"

using psma_answers::Bits;
using psma_answers::Bytes;

namespace {

// A packed f32 field, read by value (a reference to it would be misaligned).
float Value(float v) { return v; }

// One channel block of the 0x41 portion with no user-defined values.
Bytes Channel41(float a, float b, float c, float f) {
  return Bytes().f32(a).f32(b).f32(c).f32(f).u8(0);
}
// One alarm block of the 0x44 portion with m = 0 and eight user-defined states.
Bytes Alarm44(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t f,
              std::uint8_t user = 0) {
  return Bytes().u8s({a, b, c, f, 0, 8}).rep(user, 8);
}
// A whole 0x41 portion for two channels.
Bytes TwoChannels41(float v, float ia) {
  return Bytes()
      .u8(2)
      .append(Channel41(v, v + 1, v + 2, 50.0f))
      .append(Channel41(v + 3, v + 4, v + 5, 60.0f))
      .f32(ia)
      .f32(ia + 1)
      .f32(ia + 2);
}

enum class Op { P41, P43, P44 };

struct Case {
  const char* name;
  std::optional<Bytes> before;  // a 0x41 portion that establishes the channels first
  Op op;
  Bytes portion;
  std::optional<int> len;  // the portion's size when absent
  int result;
  std::vector<std::string> logs;
  std::string trace;
  std::function<void(const PsmaAC&)> check;
};

class AcParseTest : public testing_support::HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    root = std::make_shared<Psma>();
    root->Init(controller, 1, Json::Value());
  }

  std::shared_ptr<PsmaAC> Screen() {
    auto ac = std::make_shared<PsmaAC>();
    ac->InitV(root.get(), 11, Json::Value());
    return ac;
  }

  int Parse(PsmaAC& ac, Op op, const Bytes& portion, int len) {
    // An exact-size copy, so that a read past the portion is a heap overflow.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[portion.vec().size()]);
    if (portion.size() > 0) std::memcpy(copy.get(), portion.data(), portion.vec().size());
    switch (op) {
      case Op::P41:
        return ac.parse40_41(copy.get(), len);
      case Op::P43:
        return ac.parse40_43(copy.get(), len);
      case Op::P44:
        return ac.parse40_44(copy.get(), len);
    }
    return 0;
  }

  void Run(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      auto ac = Screen();
      if (c.before) {
        testing::internal::CaptureStdout();
        ASSERT_EQ(Parse(*ac, Op::P41, *c.before, c.before->size()), c.before->size());
        testing::internal::GetCapturedStdout();
      }
      observer->Clear();
      testing::internal::CaptureStdout();
      EXPECT_EQ(Parse(*ac, c.op, c.portion, c.len.value_or(c.portion.size())), c.result);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), c.trace);
      std::vector<std::string> logs;
      for (const auto& line : c.logs) logs.push_back("log 11 " + line);
      EXPECT_EQ(observer->Calls(), logs);
      if (c.check) c.check(*ac);
    }
  }

  std::shared_ptr<Psma> root;
};

const std::string kTwoTraces = "a:230.5 b:231.5 c:232.5 f:50\na:233.5 b:234.5 c:235.5 f:60\n";

// How the trace line prints an f32 sent as these four bytes.
std::string Printed(std::initializer_list<std::uint8_t> bytes) {
  float f;
  std::memcpy(&f, std::vector<std::uint8_t>(bytes).data(), 4);
  std::ostringstream s;
  s << f;
  return s.str();
}

TEST_F(AcParseTest, AnalogueAnswer) {
  Run({
      {"two channels establish the count and take 47 bytes",
       std::nullopt,
       Op::P41,
       TwoChannels41(230.5f, 10.0f),
       std::nullopt,
       47,
       {},
       kTwoTraces,
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Record().channel_count, 2);
         ASSERT_EQ(ac.Channels().size(), 2u);
         EXPECT_EQ(Value(ac.Channels()[1].c), 235.5f);
         EXPECT_EQ(Value(ac.Channels()[1].f), 60.0f);
         EXPECT_EQ(Value(ac.Record().ic), 12.0f);
       }},
      {"a portion followed by the next screen's bytes",
       std::nullopt,
       Op::P41,
       TwoChannels41(230.5f, 10.0f).rep(0x77, 32),
       79,
       47,
       {},
       kTwoTraces,
       nullptr},
      {"placeholders: 0.0 in a channel, -0.1 in a current; zeros and unequal bytes as sent",
       std::nullopt,
       Op::P41,
       Bytes()
           .u8(1)
           .rep(0x20, 4)
           .rep(0xFF, 4)
           .rep(0, 4)
           .u8s({1, 1, 1, 2})
           .u8(0)
           .rep(0x20, 4)
           .rep(0, 4)
           .u8s({1, 1, 1, 2}),
       std::nullopt,
       30,
       {},
       "a:0 b:0 c:0 f:" + Printed({1, 1, 1, 2}) + "\n",
       [](const PsmaAC& ac) {
         const auto& ch = ac.Channels()[0];
         EXPECT_EQ(Bits(ch.a), 0u);
         EXPECT_EQ(Bits(ch.b), 0u);
         EXPECT_EQ(Bits(ch.c), 0u);
         EXPECT_EQ(Bits(ch.f), 0x02010101u);
         EXPECT_EQ(Bits(ac.Record().ia), 0xBDCCCCCDu);
         EXPECT_EQ(Bits(ac.Record().ib), 0u);
         EXPECT_EQ(Bits(ac.Record().ic), 0x02010101u);
       }},
      {"a channel with two user-defined values is logged and skipped",
       std::nullopt,
       Op::P41,
       Bytes().u8(1).f32(1).f32(2).f32(3).f32(4).u8(2).rep(0x55, 8).f32(5).f32(6).f32(7),
       std::nullopt,
       38,
       {"PMBusPowerAC:ProcotolError 11 read 40_41 p is 2 not 0"},
       "a:1 b:2 c:3 f:4\n",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Channels()[0].analog_count, 2);
         EXPECT_EQ(Value(ac.Record().ia), 5.0f);
       }},
      {"another channel count than the established one takes nothing",
       TwoChannels41(230.5f, 10),
       Op::P41,
       Bytes().u8(3).rep(0x11, 60),
       std::nullopt,
       -1,
       {},
       "",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Record().channel_count, 2);
         EXPECT_EQ(ac.Channels().size(), 2u);
         EXPECT_EQ(Value(ac.Channels()[0].a), 230.5f);
       }},
      {"fewer channels than the established count takes nothing too",
       TwoChannels41(230.5f, 10),
       Op::P41,
       Bytes().u8(1).rep(0x11, 29),
       std::nullopt,
       -1,
       {},
       "",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Record().channel_count, 2);
         EXPECT_EQ(Value(ac.Channels()[0].a), 230.5f);
       }},
      {"the end falls in the second channel's frequency",
       TwoChannels41(230.5f, 10),
       Op::P41,
       TwoChannels41(100.0f, 20),
       30,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_41 read overflow 35 - 30"},
       "a:100 b:101 c:102 f:50\n",
       [](const PsmaAC& ac) {
         EXPECT_EQ(Value(ac.Channels()[1].c), 105.0f) << "fields within the portion are written";
         EXPECT_EQ(Value(ac.Channels()[1].f), 60.0f) << "the crossing field keeps its value";
         EXPECT_EQ(Value(ac.Record().ia), 10.0f);
       }},
      {"the end falls in the phase currents",
       TwoChannels41(230.5f, 10),
       Op::P41,
       TwoChannels41(100.0f, 20),
       40,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_41 read overflow 47 - 40"},
       "a:100 b:101 c:102 f:50\na:103 b:104 c:105 f:60\n",
       [](const PsmaAC& ac) {
         EXPECT_EQ(Value(ac.Record().ia), 20.0f) << "ia lies within the portion";
         EXPECT_EQ(Value(ac.Record().ib), 11.0f) << "ib crosses the end and keeps its value";
         EXPECT_EQ(Value(ac.Record().ic), 12.0f);
       }},
      {"the end falls before a channel's count byte",
       std::nullopt,
       Op::P41,
       Bytes().u8(1).f32(1).f32(2).f32(3).f32(4),
       std::nullopt,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_41 read overflow 18 - 17"},
       "a:1 b:2 c:3 f:4\n",
       [](const PsmaAC& ac) { EXPECT_EQ(ac.Record().channel_count, 1); }},
      {"an empty portion",
       std::nullopt,
       Op::P41,
       Bytes(),
       std::nullopt,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_41 read overflow 1 - 0"},
       "",
       [](const PsmaAC& ac) { EXPECT_TRUE(ac.Channels().empty()); }},
      {"a negative length reads nothing",
       std::nullopt,
       Op::P41,
       TwoChannels41(1, 1),
       -5,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_41 read overflow 1 - -5"},
       "",
       [](const PsmaAC& ac) { EXPECT_TRUE(ac.Channels().empty()); }},
  });
}

TEST_F(AcParseTest, SwitchAnswer) {
  const auto all8 = [](const PsmaAC& ac) {
    EXPECT_EQ(ac.Record().airlock_count, 8);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(ac.Record().airlock_state[k], k + 1);
  };
  Run({
      {"eight switches and three user-defined ones take 13 bytes",
       std::nullopt,
       Op::P43,
       Bytes().u8(8).u8s({1, 2, 3, 4, 5, 6, 7, 8}).u8(3).u8s({9, 10, 11}),
       std::nullopt,
       13,
       {},
       "",
       [&](const PsmaAC& ac) {
         all8(ac);
         EXPECT_EQ(ac.Record().user_switch_count, 3);
         EXPECT_EQ(ac.Record().user_switch[2], 11);
       }},
      {"two user-defined switches: logged, skipped, counted without the length check",
       std::nullopt,
       Op::P43,
       Bytes().u8(8).u8s({1, 2, 3, 4, 5, 6, 7, 8}).u8(2).u8s({9, 10}),
       10,
       12,
       {"PMBusPowerAC:ProcotolError P11 read 40_43 p is 2 not 3"},
       "",
       [&](const PsmaAC& ac) {
         all8(ac);
         EXPECT_EQ(ac.Record().user_switch_count, 2);
         EXPECT_EQ(ac.Record().user_switch[0], 0);
       }},
      {"nine switches are refused at once, with the values shown",
       std::nullopt,
       Op::P43,
       Bytes().u8(9).rep(1, 9).u8(3).rep(1, 3),
       std::nullopt,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_43 m is 9 max 8"},
       "",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Record().airlock_count, 9);
         EXPECT_EQ(ac.Record().airlock_state[0], 0);
         EXPECT_EQ(ac.Record().user_switch_count, 0);
       }},
      {"the end falls in the user-defined switches",
       std::nullopt,
       Op::P43,
       Bytes().u8(2).u8s({1, 2}).u8(3).u8s({9, 10, 11}),
       6,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_43 read overflow 7 - 6"},
       "",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Record().airlock_state[1], 2);
         EXPECT_EQ(ac.Record().user_switch_count, 3);
         EXPECT_EQ(ac.Record().user_switch[0], 0) << "a group crossing the end stores nothing";
       }},
      {"the end falls in the switch states, before the count p",
       std::nullopt,
       Op::P43,
       Bytes().u8(4).u8s({1, 2, 3, 4}).u8(3).u8s({9, 10, 11}),
       3,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_43 read overflow 6 - 3"},
       "",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Record().airlock_count, 4);
         EXPECT_EQ(ac.Record().airlock_state[0], 0);
       }},
      {"an empty portion",
       std::nullopt,
       Op::P43,
       Bytes(),
       std::nullopt,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_43 read overflow 1 - 0"},
       "",
       nullptr},
  });
}

TEST_F(AcParseTest, AlarmAnswer) {
  const Bytes two = TwoChannels41(230.5f, 10.0f);
  Run({
      {"two channels take 32 bytes; byte 0 is not read",
       two,
       Op::P44,
       Bytes().u8(0xEE).append(Alarm44(1, 2, 3, 4, 7)).append(Alarm44(5, 6, 7, 8)).u8s({1, 2, 3}),
       std::nullopt,
       32,
       {},
       "",
       [](const PsmaAC& ac) {
         const auto& ch = ac.Channels();
         EXPECT_EQ(ch[0].a_alert, 1);
         EXPECT_EQ(ch[0].f_alert, 4);
         EXPECT_EQ(ch[0].alarm_count, 8);
         EXPECT_EQ(ch[0].user_alarm[7], 7);
         EXPECT_EQ(ch[1].c_alert, 7);
         EXPECT_EQ(ac.Record().ia_alert, 1);
         EXPECT_EQ(ac.Record().ic_alert, 3);
       }},
      {"a block with m = 1 is logged and the byte skipped",
       two,
       Op::P44,
       Bytes()
           .u8(2)
           .u8s({1, 1, 1, 1, 1, 0xAA, 8})
           .rep(0, 8)
           .append(Alarm44(0, 0, 0, 0))
           .u8s({0, 0, 2}),
       std::nullopt,
       33,
       {"PMBusPowerAC:ProcotolError 11 read 40_44 m is 1"},
       "",
       [](const PsmaAC& ac) { EXPECT_EQ(ac.Record().ic_alert, 2); }},
      {"a block with seven user-defined states is logged and skipped",
       two,
       Op::P44,
       Bytes().u8(2).u8s({1, 1, 1, 1, 0, 7}).rep(9, 7).append(Alarm44(0, 0, 0, 0)).u8s({0, 0, 0}),
       std::nullopt,
       31,
       {"PMBusPowerAC:ProcotolError 11 read 40_44 p is 7 not 8"},
       "",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Channels()[0].alarm_count, 7);
         EXPECT_EQ(ac.Channels()[0].user_alarm[0], 0);
       }},
      {"before any channel count: four bytes",
       std::nullopt,
       Op::P44,
       Bytes().u8s({5, 1, 2, 3}),
       std::nullopt,
       4,
       {},
       "",
       [](const PsmaAC& ac) { EXPECT_EQ(ac.Record().ib_alert, 2); }},
      {"the end falls before the second block's p",
       two,
       Op::P44,
       Bytes().u8(2).append(Alarm44(1, 1, 1, 1)).append(Alarm44(2, 2, 2, 2)).u8s({3, 3, 3}),
       20,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_44 read overflow 21 - 20"},
       "",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Channels()[1].f_alert, 2);
         EXPECT_EQ(ac.Channels()[1].alarm_count, 0);
       }},
      {"the end falls in the phase current states",
       two,
       Op::P44,
       Bytes().u8(2).append(Alarm44(1, 1, 1, 1)).append(Alarm44(2, 2, 2, 2, 6)).u8s({3, 3, 3}),
       31,
       -1,
       {"PMBusPowerAC:ProcotolError 11 read 40_44 read overflow 32 - 31"},
       "",
       [](const PsmaAC& ac) {
         EXPECT_EQ(ac.Channels()[1].user_alarm[7], 6);
         EXPECT_EQ(ac.Channels()[1].alarm_count, 8);
         EXPECT_EQ(ac.Record().ia_alert, 0);
       }},
  });
}

}  // namespace
