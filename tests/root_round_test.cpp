// Whole polling rounds of the root device against a scripted unit: the
// requests written, the step transitions, the round end, the pacing and the
// refusals.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "answers/unit_answers.h"
#include "root/psma.h"
#include "support/host_fixture.h"
#include "support/json.h"

using namespace psma_answers;
using namespace testing_support;

namespace {

// A unit that answers whatever the root asked last.
struct ScriptedUnit {
  int ac_screens = 1;
  int ac_channels = 1;
  int dc_screens = 1;
  int modules = 2;
  std::uint8_t ac_flag = 0;
  std::uint8_t rc_flag = 0;
  std::uint8_t dc_flag = 0;
  std::string model = "PSM-A";

  std::vector<std::uint8_t> Answer(std::uint8_t cid1, std::uint8_t cid2) const {
    Bytes info;
    const auto screens = [&](std::uint8_t flag, int n, Bytes (*portion)(const ScriptedUnit&)) {
      info.u8(flag).u8(static_cast<std::uint8_t>(n));
      for (int k = 0; k < n; ++k) info.append(portion(*this));
    };
    switch ((cid1 << 8) | cid2) {
      case 0x4041:
        screens(ac_flag, ac_screens,
                [](const ScriptedUnit& u) { return Ac41Portion(u.ac_channels); });
        break;
      case 0x4043:
        screens(0, ac_screens, [](const ScriptedUnit&) { return Ac43Portion(); });
        break;
      case 0x4044:
        screens(0, ac_screens, [](const ScriptedUnit& u) { return Ac44Portion(u.ac_channels); });
        break;
      case 0x4046:
        info = Ac46();
        break;
      case 0x4141:
        info = Rc41(rc_flag, modules);
        break;
      case 0x4143:
        info = Rc43(modules);
        break;
      case 0x4144:
        info = Rc44(modules);
        break;
      case 0x4241:
        screens(dc_flag, dc_screens, [](const ScriptedUnit&) { return Dc41Portion(); });
        break;
      case 0x4244:
        screens(0, dc_screens, [](const ScriptedUnit&) { return Dc44Portion(); });
        break;
      case 0x4246:
        info = Dc46();
        break;
      case 0x4051:
        info = Model(model);
        break;
      default:
        break;
    }
    return Frame(cid1, info);
  }
};

class RootRoundTest : public HostFixture {
 protected:
  void Configure(int ac, int dc, bool rc = true) {
    // The last root's round ends may still be on the worker: let them land
    // before a test looks at the calls of the new one.
    controller->DrainWork();
    std::string settings = R"({"acSetting": [)";
    for (int k = 0; k < ac; ++k)
      settings += (k ? "," : "") + ("{\"data_id\": " + std::to_string(11 + k) + "}");
    settings += R"(], "dcSetting": [)";
    for (int k = 0; k < dc; ++k)
      settings += (k ? "," : "") + ("{\"data_id\": " + std::to_string(21 + k) + "}");
    settings += "]";
    if (rc) settings += R"(, "rcSetting": {})";
    settings += "}";
    unit.ac_screens = ac;
    unit.dc_screens = dc;
    root = std::make_shared<Psma>();
    root->Init(controller, 1, ParseJson(settings));
    EXPECT_EQ(root->InitSetting(ParseJson(settings)), rc);
    root->SetAnswerDelay(std::chrono::milliseconds(0));
  }

  // The requests written since the last call, as "cid1 cid2[ info]".
  std::vector<std::string> TakeRequests() {
    std::vector<std::string> out;
    for (const auto& c : observer->Calls("request"))
      out.push_back(c.substr(std::string("request 1 ").size()));
    controller->DrainWork();
    observer->Clear();
    return out;
  }

  bool Answer(const std::vector<std::uint8_t>& frame) {
    return root->HandleAnswer(frame.data(), static_cast<unsigned>(frame.size()));
  }
  bool AnswerLast() { return Answer(unit.Answer(root->LastCid1(), root->LastCid2())); }

  // One poll and the answers to every request that follows, until the round
  // ends (or 20 answers, a bound against a round that never ends).
  std::vector<std::string> RunRound() {
    EXPECT_TRUE(root->RefreshStatus());
    for (int k = 0; k < 20 && root->IsProcessing(); ++k) {
      if (!AnswerLast()) break;
    }
    return TakeRequests();
  }

  std::shared_ptr<Psma> root;
  ScriptedUnit unit;
};

using Requests = std::vector<std::string>;

TEST_F(RootRoundTest, FirstRoundAsksForEverythingThenEndsWithEveryChildInOrder) {
  Configure(2, 1);
  const Requests first = RunRound();  // identification, then the whole first round
  EXPECT_EQ(first, (Requests{"40 51", "40 41 ff", "40 43 ff", "40 44 ff", "41 41", "41 43", "41 44",
                             "42 41", "42 44", "40 46", "42 46"}));
  EXPECT_EQ(root->Step(), 0);
  EXPECT_FALSE(root->IsProcessing());
  EXPECT_TRUE(root->IsDataReady());
  EXPECT_FALSE(root->IdentifyPending());
  EXPECT_TRUE(observer->Calls("check 1").empty()) << "a supported model raises nothing";
}

TEST_F(RootRoundTest, RoundEndCallsRoundDoneOnAcThenDcThenRectifierThenResets) {
  Configure(2, 2);
  root->RefreshStatus();
  for (int k = 0; k < 20 && root->IsProcessing(); ++k) {
    if (root->LastCid1() == 0x42 && root->LastCid2() == 0x46) observer->Clear();
    if (!AnswerLast()) break;
  }
  std::vector<std::string> order;
  for (const auto& c : observer->Calls()) {
    if (c.rfind("send ", 0) == 0 || c.rfind("reset ", 0) == 0)
      order.push_back(c.substr(0, c.find(' ', c.find(' ') + 1)));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"send 11", "send 12", "send 21", "send 22", "send 1",
                                             "reset 1"}));
}

TEST_F(RootRoundTest, LaterRoundsSkipUnchangedSwitchAndAlarmStates) {
  struct Case {
    int ac, dc;
    std::uint8_t ac_flag, rc_flag, dc_flag, version;
    Requests expected;
  } cases[] = {
      {1, 1, 0x00, 0x00, 0x00, 0x20, {"40 41 ff", "41 41", "42 41", "40 46", "42 46"}},
      {1, 1, 0x10, 0x00, 0x00, 0x20, {"40 41 ff", "40 43 ff", "41 41", "42 41", "40 46", "42 46"}},
      {1, 1, 0x01, 0x00, 0x00, 0x20, {"40 41 ff", "40 44 ff", "41 41", "42 41", "40 46", "42 46"}},
      {1,
       1,
       0x11,
       0x11,
       0x00,
       0x20,
       {"40 41 ff", "40 43 ff", "40 44 ff", "41 41", "41 43", "41 44", "42 41", "40 46", "42 46"}},
      {1, 1, 0x00, 0x10, 0x00, 0x20, {"40 41 ff", "41 41", "41 43", "42 41", "40 46", "42 46"}},
      {1, 1, 0x00, 0x01, 0x00, 0x20, {"40 41 ff", "41 41", "41 44", "42 41", "40 46", "42 46"}},
      {1, 1, 0x00, 0x00, 0x01, 0x20, {"40 41 ff", "41 41", "42 41", "42 44", "40 46", "42 46"}},
      {1, 1, 0x00, 0x00, 0x10, 0x20, {"40 41 ff", "41 41", "42 41", "42 44", "40 46", "42 46"}},
      {1,
       1,
       0x00,
       0x00,
       0x10,
       0x21,
       {"40 41 ff", "41 41", "42 41 ff", "42 44 ff", "40 46", "42 46"}},
      {0, 1, 0x00, 0x00, 0x00, 0x20, {"41 41", "42 41", "42 46"}},
      {1, 0, 0x00, 0x00, 0x00, 0x20, {"40 41 ff", "41 41"}},
      {0, 0, 0x00, 0x11, 0x00, 0x20, {"41 41", "41 43", "41 44"}},
  };
  for (const auto& c : cases) {
    Configure(c.ac, c.dc);
    root->SetProtocolVersion(c.version);
    RunRound();  // identification and a first round make the root ready
    ASSERT_TRUE(root->IsDataReady());
    korv::AdvanceLocalNow(2);
    unit.ac_flag = c.ac_flag;
    unit.rc_flag = c.rc_flag;
    unit.dc_flag = c.dc_flag;
    EXPECT_EQ(RunRound(), c.expected)
        << "ac " << c.ac << " dc " << c.dc << " flags " << int(c.ac_flag) << "/" << int(c.rc_flag)
        << "/" << int(c.dc_flag) << " version " << int(c.version);
    EXPECT_EQ(root->Step(), 0);
    unit = ScriptedUnit();
  }
}

TEST_F(RootRoundTest, FirstRoundWithoutAcOrDcChildren) {
  struct Case {
    int ac, dc;
    Requests expected;
  } cases[] = {
      {0, 1, {"40 51", "41 41", "41 43", "41 44", "42 41", "42 44", "42 46"}},
      {1, 0, {"40 51", "40 41 ff", "40 43 ff", "40 44 ff", "41 41", "41 43", "41 44"}},
      {0, 0, {"40 51", "41 41", "41 43", "41 44"}},
  };
  for (const auto& c : cases) {
    Configure(c.ac, c.dc);
    EXPECT_EQ(RunRound(), c.expected) << c.ac << " " << c.dc;
  }
}

// The unit is given its pause after each answer before it is asked again.
TEST_F(RootRoundTest, EachAnswerIsFollowedByTheUnitsPause) {
  Configure(0, 0);
  root = std::make_shared<Psma>();  // with the pause Configure takes away
  const auto settings = ParseJson(R"({"rcSetting": {}})");
  root->Init(controller, 1, settings);
  ASSERT_TRUE(root->InitSetting(settings));
  ASSERT_TRUE(root->RefreshStatus());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(AnswerLast());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(RootRoundTest, PacingCountsTwoSecondsFromTheLastCompletedRound) {
  Configure(1, 1);
  RunRound();
  korv::AdvanceLocalNow(1);
  EXPECT_FALSE(root->RefreshStatus());
  EXPECT_TRUE(TakeRequests().empty());
  EXPECT_EQ(root->PollCount(), 0);
  korv::AdvanceLocalNow(1);
  EXPECT_TRUE(root->RefreshStatus());
  EXPECT_EQ(TakeRequests(), Requests{"40 41 ff"});
}

TEST_F(RootRoundTest, ClockSetBackHoldsPollsUntilTwoSecondsAfterTheLastRound) {
  Configure(1, 1);
  RunRound();
  korv::AdvanceLocalNow(-3600);
  EXPECT_FALSE(root->RefreshStatus());
  korv::AdvanceLocalNow(3601);
  EXPECT_FALSE(root->RefreshStatus());
  korv::AdvanceLocalNow(1);
  EXPECT_TRUE(root->RefreshStatus());
}

TEST_F(RootRoundTest, IdentificationIsRepeatedUntilAnsweredWhateverThePacing) {
  Configure(1, 1);
  root->SetLastUpdate(korv::LocalNow() + boost::posix_time::hours(1));  // far "future" stamp
  EXPECT_TRUE(root->RefreshStatus());
  EXPECT_TRUE(Answer(Frame(0x41, Model("PSM-A"))));  // wrong group: ignored
  EXPECT_TRUE(root->IdentifyPending());
  EXPECT_TRUE(root->RefreshStatus());
  EXPECT_EQ(TakeRequests(), (Requests{"40 51", "40 51"}));
}

TEST_F(RootRoundTest, ModelCheck) {
  const std::string prefix = "check 1 3 device_model 70319 设备配置检测 本驱动类型:psma 检测型号:";
  struct Case {
    Bytes field;
    std::string alarm;  // empty: no check
    std::string detected;
  } cases[] = {
      {Model("PSM-A"), "", std::string("PSM-A") + std::string(15, '\0')},
      {Model("PSM-A10", 20, ' '), "", "PSM-A10" + std::string(13, ' ')},
      {Model("PSM-A7  "), "", "PSM-A7  " + std::string(12, '\0')},
      {Model("PSM-A7", 6), "", "PSM-A7"},  // a short field takes what is there
      {Model("PSM-B"), prefix + "PSM-B 1 0", "PSM-B" + std::string(15, '\0')},
      {Model("psm-a"), prefix + "psm-a 1 0", "psm-a" + std::string(15, '\0')},
      {Model("PSM-A1"), prefix + "PSM-A1 1 0", "PSM-A1" + std::string(14, '\0')},
      {Model(""), prefix + " 1 0", std::string(20, '\0')},
      {Bytes(), prefix + " 1 0", ""},
      {Model("PSM-A10 extra model text"), prefix + "PSM-A10 extra model 1 0",
       "PSM-A10 extra model "},
  };
  for (const auto& c : cases) {
    Configure(1, 0);
    root->RefreshStatus();
    observer->Clear();
    EXPECT_TRUE(Answer(Frame(0x40, c.field)));
    EXPECT_EQ(root->DetectedModel(), c.detected);
    const auto checks = observer->Calls("check");
    if (c.alarm.empty()) {
      EXPECT_TRUE(checks.empty()) << c.detected;
    } else {
      EXPECT_EQ(checks, std::vector<std::string>{c.alarm});
    }
    EXPECT_EQ(TakeRequests(), Requests{"40 41 ff"}) << "the first data request follows";
    EXPECT_FALSE(root->IdentifyPending());
  }
}

TEST_F(RootRoundTest, StepZeroEdgeCases) {
  // Two AC screens of one and two channels: portions of 30 and 47 bytes.
  Configure(2, 0);
  RunRound();
  korv::AdvanceLocalNow(2);
  observer->Clear();
  const Bytes exact = Bytes().u8(0).u8(2).append(Ac41Portion(1)).append(Ac41Portion(2));
  ASSERT_EQ(exact.size(), 79);
  // A fresh root with one- and two-channel screens.
  Configure(2, 0);
  root->RefreshStatus();
  Answer(unit.Answer(0x40, 0x51));
  observer->Clear();
  EXPECT_TRUE(Answer(Frame(0x40, exact)));
  EXPECT_EQ(TakeRequests(), Requests{"40 43 ff"});

  Configure(2, 0);
  root->RefreshStatus();
  Answer(unit.Answer(0x40, 0x51));
  observer->Clear();
  EXPECT_TRUE(Answer(Frame(0x40, Bytes(exact).u8(0).u8(0))));
  EXPECT_EQ(observer->Calls("log"),
            std::vector<std::string>{
                "log 1 PMBusPower:ProcotolError 1 parse 40_41 overflow memory boundary"});
  EXPECT_TRUE(TakeRequests().empty());
  EXPECT_EQ(root->Step(), 0);

  EXPECT_FALSE(Answer(Frame(0x40, Bytes().u8(0).u8(3).append(exact))));
  EXPECT_EQ(observer->Calls(),
            (std::vector<std::string>{
                "log 1 PMBusPower:ProcotolError 1 read ac_number is 3, configured ac_number is 2",
                "reset 1"}));
  observer->Clear();
  EXPECT_FALSE(Answer(Frame(0x41, exact)));
  EXPECT_EQ(observer->Calls(), std::vector<std::string>{"reset 1"});
  EXPECT_FALSE(root->IsDataReady()) << "an abandoned round makes nothing ready";
  EXPECT_TRUE(root->RefreshStatus()) << "and sets no pacing";
  EXPECT_EQ(TakeRequests(), Requests{"40 41 ff"});
}

// Every refusal leaves the step, sends nothing, and the next poll repeats the
// request of that step.
TEST_F(RootRoundTest, RefusedAnswersLeaveTheStepAndTheNextPollRepeatsTheRequest) {
  const std::string e = "log 1 PMBusPower:ProcotolError 1 ";
  struct Case {
    const char* name;
    std::uint8_t cid1, cid2;  // the request outstanding when the bad answer comes
    std::vector<std::uint8_t> answer;
    std::vector<std::string> logs;  // log lines of the root (the children's own lines excluded)
    std::string repeated;
  } cases[] = {
      {"AC analogues, one byte",
       0x40,
       0x41,
       Frame(0x40, Bytes().u8(0)),
       {e + "read 40_41 info length is 1, needs 2"},
       "40 41 ff"},
      {"AC switches, wrong group",
       0x40,
       0x43,
       Frame(0x42, Bytes().u8(0).u8(1).append(Ac43Portion())),
       {},
       "40 43 ff"},
      {"AC switches, a screen refuses its portion: the walk ends there",
       0x40,
       0x43,
       Frame(0x40, Bytes().u8(0).u8(1).u8(0xFF)),
       {},
       "40 43 ff"},
      {"AC switches, too long",
       0x40,
       0x43,
       Frame(0x40, Bytes().u8(0).u8(1).append(Ac43Portion()).u8(0)),
       {e + "parse 40_43 overflow memory boundary"},
       "40 43 ff"},
      {"AC alarms, too long",
       0x40,
       0x44,
       Frame(0x40, Bytes().u8(0).u8(1).append(Ac44Portion(1)).u8(0)),
       {},
       "40 44 ff"},
      {"AC alarms, one byte",
       0x40,
       0x44,
       Frame(0x40, Bytes().u8(0)),
       {e + "read 40_44 info length is 1, needs 2"},
       "40 44 ff"},
      {"rectifier, wrong group", 0x41, 0x41, Frame(0x40, Rc41(0, 2)), {}, "41 41"},
      {"rectifier, empty",
       0x41,
       0x41,
       Frame(0x41, Bytes()),
       {e + "read 41_41 info length is 0, needs 1"},
       "41 41"},
      {"rectifier, too long",
       0x41,
       0x41,
       Frame(0x41, Rc41(0, 2).u8(0)),
       {e + "parse p41_41 overflow memory boundary"},
       "41 41"},
      {"rectifier switches, too long",
       0x41,
       0x43,
       Frame(0x41, Rc43(2).u8(0)),
       {e + "parse p41_43 overflow memory boundary"},
       "41 43"},
      {"rectifier alarms, too long",
       0x41,
       0x44,
       Frame(0x41, Rc44(2).u8(0)),
       {e + "parse p41_44 overflow memory boundary"},
       "41 44"},
      {"DC, count",
       0x42,
       0x41,
       Frame(0x42, Bytes().u8(0).u8(2).append(Dc41Portion()).append(Dc41Portion())),
       {e + "read dc_number is 2, configured dc_number is 1"},
       "42 41"},
      {"DC, one byte",
       0x42,
       0x41,
       Frame(0x42, Bytes().u8(0)),
       {e + "read 42_41 info length is 1, needs 2"},
       "42 41"},
      {"DC alarms, count",
       0x42,
       0x44,
       Frame(0x42, Bytes().u8(0).u8(0)),
       {e + "read dc_number is 0, configured dc_number is 1"},
       "42 44"},
      {"DC alarms, wrong group",
       0x42,
       0x44,
       Frame(0x41, Bytes().u8(0).u8(1).append(Dc44Portion())),
       {},
       "42 44"},
      {"AC parameters, short", 0x40, 0x46, Frame(0x40, Bytes().rep(0, 20)), {}, "40 46"},
      {"AC parameters, wrong group", 0x40, 0x46, Frame(0x42, Ac46()), {}, "40 46"},
      {"DC parameters, short", 0x42, 0x46, Frame(0x42, Bytes().rep(0, 8)), {}, "42 46"},
      {"DC parameters, wrong group", 0x42, 0x46, Frame(0x40, Dc46()), {}, "42 46"},
      // Another request's answer (a late one) whose length the parameters'
      // count does not give: refused whole, before the parse stores a value.
      {"AC parameters, a byte more than their count says",
       0x40,
       0x46,
       Frame(0x40, Ac46().u8(0)),
       {e + "read 40_46 info length is 22, its parameters need 21"},
       "40 46"},
      {"DC parameters, a user value short",
       0x42,
       0x46,
       Frame(0x42, Bytes().f32(1).f32(2).u8(9).rep(0, 32)),
       {e + "read 42_46 info length is 41, its parameters need 45"},
       "42 46"},
  };
  for (const auto& c : cases) {
    Configure(1, 1);
    unit.ac_flag = unit.rc_flag = unit.dc_flag = 0x11;
    root->RefreshStatus();
    // Run the first round up to the request under test.
    for (int k = 0; k < 20 && !(root->LastCid1() == c.cid1 && root->LastCid2() == c.cid2); ++k) {
      ASSERT_TRUE(AnswerLast()) << c.name;
    }
    ASSERT_EQ(root->LastCid1(), c.cid1) << c.name;
    const int step = root->Step();
    observer->Clear();
    EXPECT_TRUE(Answer(c.answer)) << c.name;
    EXPECT_EQ(root->Step(), step) << c.name;
    EXPECT_EQ(observer->Calls("log 1 PMBusPower:"), c.logs) << c.name;
    EXPECT_TRUE(TakeRequests().empty()) << c.name;
    EXPECT_FALSE(root->IsProcessing()) << c.name;
    EXPECT_TRUE(root->RefreshStatus()) << c.name;
    EXPECT_EQ(TakeRequests(), Requests{c.repeated}) << c.name;
    // The repeated request, answered properly, carries the round on.
    EXPECT_TRUE(AnswerLast() || root->Step() == 0) << c.name;
  }
}

// The AC switch-state answer reads nothing before the screens' portions: one
// without them (INFO of 0, 1 or 2 bytes) is taken and the round goes on.
TEST_F(RootRoundTest, AcSwitchStatesWithoutScreenPortionsAreTakenAndTheRoundGoesOn) {
  struct Case {
    const char* name;
    bool ready;
    std::uint8_t ac_flag;  // of the AC analogue answer before it
    Bytes info;
    std::string next;
  } cases[] = {
      {"first round, no INFO", false, 0x00, Bytes(), "40 44 ff"},
      {"first round, one byte", false, 0x00, Bytes().u8(0), "40 44 ff"},
      {"first round, flag and count", false, 0x00, Bytes().u8(0).u8(0), "40 44 ff"},
      {"ready, switches changed, no INFO", true, 0x10, Bytes(), "41 41"},
      {"ready, switches and alarms changed, one byte", true, 0x11, Bytes().u8(0x11), "40 44 ff"},
      {"ready, switches changed, flag and count", true, 0x10, Bytes().u8(0).u8(1), "41 41"},
  };
  for (const auto& c : cases) {
    Configure(1, 1);
    if (c.ready) {
      RunRound();
      korv::AdvanceLocalNow(2);
      unit.ac_flag = c.ac_flag;
      root->RefreshStatus();
    } else {
      root->RefreshStatus();
      ASSERT_TRUE(AnswerLast()) << c.name;  // identification
    }
    ASSERT_TRUE(AnswerLast()) << c.name;  // AC analogues
    ASSERT_EQ(root->LastCid2(), 0x43) << c.name;
    observer->Clear();
    EXPECT_TRUE(Answer(Frame(0x40, c.info))) << c.name;
    EXPECT_TRUE(observer->Calls("log 1 PMBusPower:").empty()) << c.name;
    EXPECT_EQ(TakeRequests(), Requests{c.next}) << c.name;
    unit = ScriptedUnit();
  }
}

// The analogue and the alarm answers alike.
TEST_F(RootRoundTest, DcWalkStartsAfterTheCountForUpToThreeScreens) {
  for (int screens = 1; screens <= 3; ++screens) {
    Configure(0, screens);
    RunRound();
    korv::AdvanceLocalNow(2);
    root->RefreshStatus();
    AnswerLast();  // 41 41
    observer->Clear();
    Bytes info = Bytes().u8(psma_round::kAlarmsChanged).u8(static_cast<std::uint8_t>(screens));
    for (int k = 0; k < screens; ++k) info.append(Dc41Portion(48.25f + k, 7.5f + k));
    EXPECT_TRUE(Answer(Frame(0x42, info))) << screens;
    for (int k = 0; k < screens; ++k) {
      const auto& dc = root->DcDevices()[k]->Record();
      EXPECT_EQ(dc.v, 48.25f + k) << screens;
      EXPECT_EQ(dc.i, 7.5f + k) << screens;
    }
    EXPECT_EQ(TakeRequests(), Requests{"42 44"}) << screens;
    Bytes alarms = Bytes().u8(0).u8(static_cast<std::uint8_t>(screens));
    for (int k = 0; k < screens; ++k) alarms.append(Dc44Portion(static_cast<std::uint8_t>(k + 1)));
    EXPECT_TRUE(Answer(Frame(0x42, alarms))) << screens;
    for (int k = 0; k < screens; ++k) {
      EXPECT_EQ(root->DcDevices()[k]->Record().dc_v_alert, k + 1) << screens;
    }
    EXPECT_EQ(TakeRequests(), Requests{"42 46"}) << screens;
    unit = ScriptedUnit();
  }
}

TEST_F(RootRoundTest, FramesShorterThanTheirLengthOrHeaderAreRefused) {
  Configure(1, 1);
  root->RefreshStatus();
  const auto id = Frame(0x40, Model("PSM-A"));
  struct Case {
    std::vector<std::uint8_t> frame;
    std::string log;
  } cases[] = {
      {{0x20, 0x01, 0x40},
       "log 1 PMBusPower:ProcotolError 1 answer frame is 3 bytes, shorter than its header"},
      {std::vector<std::uint8_t>(id.begin(), id.end() - 1),
       "log 1 PMBusPower:ProcotolError 1 answer length says 20 info bytes, frame holds 19"},
  };
  for (const auto& c : cases) {
    observer->Clear();
    EXPECT_TRUE(Answer(c.frame));
    EXPECT_EQ(observer->Calls(), std::vector<std::string>{c.log});
    EXPECT_TRUE(root->IdentifyPending());
  }
  EXPECT_TRUE(root->HandleAnswer(nullptr, 0));
}

TEST_F(RootRoundTest, RootWithoutRectifierIsNeverPolledAndIgnoresAnswers) {
  Configure(1, 1, false);
  EXPECT_FALSE(root->RefreshStatus());
  EXPECT_TRUE(Answer(unit.Answer(0x40, 0x51)));
  EXPECT_TRUE(root->IdentifyPending());
  EXPECT_TRUE(observer->Calls().empty());
}

}  // namespace

namespace {

// What the host reads through DeviceIoControl after each round.
int ValuesChanged(KorvVDevice& device) {
  unsigned char out = 0xEE;
  int returned = -1;
  const int rc = device.DeviceIoControl(psma::kIoValuesChanged, nullptr, 0, &out, 1, returned);
  return rc == 0 && returned == 1 ? out : -100 + rc;
}

TEST_F(RootRoundTest, ScreensTellThroughDeviceIoControlWhetherTheRoundMovedTheirValues) {
  Configure(1, 1);
  KorvVDevice& ac = *root->AcDevices()[0];
  KorvVDevice& dc = *root->DcDevices()[0];
  RunRound();
  EXPECT_EQ(ValuesChanged(ac), 1) << "the first data moves everything";
  EXPECT_EQ(ValuesChanged(dc), 1);
  korv::AdvanceLocalNow(2);
  RunRound();
  EXPECT_EQ(ValuesChanged(ac), 0) << "the same answers again";
  EXPECT_EQ(ValuesChanged(dc), 0);
  EXPECT_EQ(ValuesChanged(*root->RcDevice()), -102) << "the rectifier offers no such answer";
  int returned = 7;
  EXPECT_EQ(ac.DeviceIoControl(psma::kIoValuesChanged, nullptr, 0, nullptr, 0, returned), -1);
  EXPECT_EQ(returned, 0);
  EXPECT_EQ(dc.DeviceIoControl(0x1234, nullptr, 0, nullptr, 0, returned), -2);
}

}  // namespace
