// The simulator's answers, decoded by the host's own decoder and checked
// byte for byte against the information-field layouts of the command table.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "answers/bytes.h"
#include "host/serial_port.h"
#include "host/yd1363.h"
#include "support/json.h"
#include "tools/psma-sim/sim_server.h"
#include "tools/psma-sim/unit_sim.h"

namespace {

using psma_answers::Bytes;

const char kScenario[] = R"({
  "address": 3, "model": "PSM-A10", "manufacturer": "ACME", "software_version": [2, 7],
  "ac": [{"channels": [{"a": 230.5, "b": 231, "c": 229, "f": 50, "alerts": [1, 2, 3, 0]},
                       {"a": "none", "b": 0, "c": 1, "f": 49.5, "user": [7.5],
                        "user_alarms": [1, 2, 3, 4, 5, 6, 7, 8]}],
          "ia": 10.5, "ib": "none", "ic": 12, "current_alerts": [0, 3, 0],
          "switches": [1, 0, 1], "user_switches": [4, 5, 6]}],
  "rc": {"value": 53.5, "modules": [{"value": 20, "user": [1, 2, 3, 4], "switches": [0, 1, 0],
                                     "user_switches": [9], "fault": 1, "user_alarms": [0, 1, 0, 226]},
                                    {"value": 21}]},
  "dc": [{"v": 53.25, "i": 120, "m": [1.5], "n": [], "user": ["none"], "v_alert": 2,
          "fuses": [3], "fuse_count": 4, "user_alarms": [0, 0, 2]}],
  "ac_params": [280, 180, 1, 2, 3], "ac_user_params": [9],
  "dc_params": [57, 45], "dc_user_params": [1, 2, 3, 4, 5, 6, 7, 8, 9]
})";

psma_sim::Scenario Load(const std::string& text) {
  psma_sim::Scenario s;
  std::string error;
  EXPECT_TRUE(s.Load(testing_support::ParseJson(text), error)) << error;
  return s;
}

yd1363::Frame Request(std::uint8_t cid1, std::uint8_t cid2, std::vector<std::uint8_t> info = {},
                      std::uint8_t adr = 3, std::uint8_t ver = 0x20) {
  yd1363::Frame f;
  f.ver = ver;
  f.adr = adr;
  f.cid1 = cid1;
  f.cid2 = cid2;
  f.info = std::move(info);
  f.lenid = static_cast<std::uint16_t>(2 * f.info.size());
  return f;
}

// The answer to a request, through the decoder: its frame, or a failure.
yd1363::Frame Ask(psma_sim::UnitSim& unit, const yd1363::Frame& request) {
  const auto answer = unit.Answer(request, 0.0);
  EXPECT_TRUE(answer.has_value());
  yd1363::Decoder d;
  yd1363::Frame out;
  int frames = 0;
  for (std::uint8_t c : answer.value_or(std::vector<std::uint8_t>{})) {
    if (d.Push(c) == yd1363::Decoder::Event::kFrame) {
      out = d.frame();
      ++frames;
    }
  }
  EXPECT_EQ(frames, 1);
  return out;
}

TEST(SimAnswers, EveryCommandOfTheTableByteForByte) {
  psma_sim::UnitSim unit(Load(kScenario));
  const std::vector<std::uint8_t> group{0xFF};
  struct Case {
    std::uint8_t cid1, cid2;
    std::vector<std::uint8_t> request_info;
    Bytes info;
  } cases[] = {
      {0x40,
       0x51,
       {},
       Bytes()
           .u8s({'P', 'S', 'M', '-', 'A', '1', '0'})
           .rep(' ', 13)
           .u8s({2, 7})
           .u8s({'A', 'C', 'M', 'E'})
           .rep(' ', 16)},
      // flag (nothing served yet: both bits), screens; N; a b c f p [user]; ia ib ic
      {0x40, 0x41, group,
       Bytes()
           .u8(0x11)
           .u8(1)
           .u8(2)
           .f32(230.5f)
           .f32(231)
           .f32(229)
           .f32(50)
           .u8(0)
           .rep(0x20, 4)
           .f32(0)
           .f32(1)
           .f32(49.5f)
           .u8(1)
           .f32(7.5f)
           .f32(10.5f)
           .rep(0x20, 4)
           .f32(12)},
      // flag, screens; m switches; p user switches
      {0x40, 0x43, group, Bytes().u8(0x11).u8(1).u8(3).u8s({1, 0, 1}).u8(3).u8s({4, 5, 6})},
      // flag (switches now served), screens; N; per channel a b c f, m = 0, p, states;
      // current states
      {0x40, 0x44, group,
       Bytes()
           .u8(0x01)
           .u8(1)
           .u8(2)
           .u8s({1, 2, 3, 0})
           .u8(0)
           .u8(8)
           .rep(0, 8)
           .u8s({0, 0, 0, 0})
           .u8(0)
           .u8(8)
           .u8s({1, 2, 3, 4, 5, 6, 7, 8})
           .u8s({0, 3, 0})},
      {0x40, 0x46, {}, Bytes().f32(280).f32(180).f32(1).f32(2).f32(3).u8(1).f32(9)},
      // flag, group value, modules; value, p, user values
      {0x41,
       0x41,
       {},
       Bytes()
           .u8(0x11)
           .f32(53.5f)
           .u8(2)
           .f32(20)
           .u8(4)
           .f32(1)
           .f32(2)
           .f32(3)
           .f32(4)
           .f32(21)
           .u8(4)
           .f32(0)
           .f32(0)
           .f32(0)
           .f32(0)},
      // flag, modules; three switch bytes, p, user switches
      {0x41,
       0x43,
       {},
       Bytes().u8(0x11).u8(2).u8s({0, 1, 0}).u8(1).u8(9).u8s({0, 0, 0}).u8(1).u8(0)},
      // flag, modules; fault, p, user alarms
      {0x41,
       0x44,
       {},
       Bytes().u8(0x01).u8(2).u8(1).u8(4).u8s({0, 1, 0, 0xE2}).u8(0).u8(4).rep(0, 4)},
      // flag, screens; v, i, m values, n values, p values
      {0x42,
       0x41,
       {},
       Bytes().u8(0x01).u8(1).f32(53.25f).f32(120).u8(1).f32(1.5f).u8(0).u8(1).rep(0x20, 4)},
      // flag, screens; v state, m fuses, p user states
      {0x42, 0x44, group,
       Bytes().u8(0x01).u8(1).u8(2).u8(4).u8s({3, 0, 0, 0}).u8(3).u8s({0, 0, 2})},
      {0x42,
       0x46,
       {},
       Bytes().f32(57).f32(45).u8(9).f32(1).f32(2).f32(3).f32(4).f32(5).f32(6).f32(7).f32(8).f32(
           9)},
  };
  for (const auto& c : cases) {
    const auto f = Ask(unit, Request(c.cid1, c.cid2, c.request_info));
    EXPECT_EQ(f.adr, 3);
    EXPECT_EQ(f.ver, 0x20);
    EXPECT_EQ(f.cid1, c.cid1);
    EXPECT_EQ(f.cid2, 0x00) << "return code";
    EXPECT_EQ(f.info, c.info.vec()) << std::hex << int(c.cid1) << "/" << int(c.cid2);
  }
  // Everything served: the flags say nothing changed ...
  EXPECT_EQ(Ask(unit, Request(0x40, 0x41, group)).info[0], 0x00);
  EXPECT_EQ(Ask(unit, Request(0x41, 0x41)).info[0], 0x00);
  EXPECT_EQ(Ask(unit, Request(0x42, 0x41)).info[0], 0x00);
  // ... until a state changes.
  std::string error;
  ASSERT_TRUE(unit.scenario().Set("/dc/0/v_alert", 0, error)) << error;
  ASSERT_TRUE(unit.scenario().Set("/ac/0/switches/1", 1, error)) << error;
  EXPECT_EQ(Ask(unit, Request(0x42, 0x41)).info[0], 0x01);
  EXPECT_EQ(Ask(unit, Request(0x40, 0x41, group)).info[0], 0x10);
}

TEST(SimAnswers, ReturnCodesAndSilence) {
  psma_sim::UnitSim unit(Load(kScenario));
  const struct {
    const char* what;
    yd1363::Frame request;
    std::uint8_t rtn;
  } cases[] = {
      {"wrong version", Request(0x40, 0x41, {0xFF}, 3, 0x21), 0x01},
      {"unknown CID2", Request(0x40, 0x47), 0x04},
      {"unknown CID1", Request(0x43, 0x41), 0x04},
      {"INFO a command does not take", Request(0x41, 0x41, {0xFF}), 0x05},
      {"INFO too long", Request(0x40, 0x41, {0xFF, 0x00}), 0x05},
      {"command group not 0xFF", Request(0x40, 0x41, {0x01}), 0x06},
  };
  for (const auto& c : cases) {
    const auto f = Ask(unit, c.request);
    EXPECT_EQ(f.cid2, c.rtn) << c.what;
    EXPECT_TRUE(f.info.empty()) << c.what;
  }
  for (std::uint8_t other : {4, 0}) {
    EXPECT_FALSE(unit.Answer(Request(0x40, 0x41, {0xFF}, other), 0).has_value())
        << "address " << +other;
  }
  const auto chk = unit.AnswerBroken(yd1363::Fault::kBadChecksum);
  const auto lchk = unit.AnswerBroken(yd1363::Fault::kBadLengthChecksum);
  ASSERT_TRUE(chk && lchk);
  EXPECT_EQ(std::string(chk->begin() + 7, chk->begin() + 9), "02");
  EXPECT_EQ(std::string(lchk->begin() + 7, lchk->begin() + 9), "03");
  EXPECT_FALSE(unit.AnswerBroken(yd1363::Fault::kBadHex).has_value());
}

// The longest information a frame holds is served; a byte more is refused.
TEST(SimAnswers, TheLongestInformationAFrameHoldsIsServed) {
  // 0x40/0x43: flag, screens; per screen m, its switches, p, its switches.
  const auto scenario = [](int last_user_switches) {
    Json::Value doc =
        testing_support::ParseJson(R"({"address": 3, "rc": {"value": 1, "modules": []}})");
    for (int k = 0; k < 4; ++k) {
      Json::Value screen =
          testing_support::ParseJson(R"({"channels": [], "ia": 1, "ib": 1, "ic": 1})");
      for (int b = 0; b < 255; ++b) screen["switches"].append(0);
      for (int b = 0; b < (k < 3 ? 255 : last_user_switches); ++b) {
        screen["user_switches"].append(0);
      }
      doc["ac"].append(screen);
    }
    return doc;
  };
  const struct {
    int last_user_switches;
    std::size_t info;
    std::uint8_t rtn;
  } cases[] = {{252, yd1363::kMaxInfoBytes, 0x00}, {253, 0, 0x06}};
  for (const auto& c : cases) {
    psma_sim::Scenario s;
    std::string error;
    ASSERT_TRUE(s.Load(scenario(c.last_user_switches), error)) << error;
    psma_sim::UnitSim unit(s);
    const auto f = Ask(unit, Request(0x40, 0x43, {0xFF}));
    EXPECT_EQ(f.cid2, c.rtn) << c.last_user_switches;
    EXPECT_EQ(f.info.size(), c.info);
  }
}

// A list of `n` copies of `item`, as JSON.
std::string JsonList(const std::string& item, int n) {
  std::string list = "[";
  for (int k = 0; k < n; ++k) list += (k ? "," : "") + item;
  return list + "]";
}

TEST(SimScenario, ProblemsAreNamedByTheirPath) {
  const std::string rc = R"("rc": {"value": 1, "modules": [{"value": 1}]})";
  const std::string ac = R"("ac": [{"channels": [], "ia": 1, "ib": 1, "ic": 1, "switches": )";
  const struct {
    std::string json;
    const char* error;
  } cases[] = {
      // A unit's lists hold at most 255 entries: a count fits its byte.
      {R"({"rc": {"value": 1, "modules": )" + JsonList(R"({"value": 1})", 255) + "}}", ""},
      {R"({"rc": {"value": 1, "modules": )" + JsonList(R"({"value": 1})", 256) + "}}",
       "/rc/modules: more than 255 entries"},
      {"{" + rc + R"(, "dc": [{"v": 1, "i": 1, "m": )" + JsonList("1", 255) + "}]}", ""},
      {"{" + rc + R"(, "dc": [{"v": 1, "i": 1, "m": )" + JsonList("1", 256) + "}]}",
       "/dc/0/m: more than 255 entries"},
      {"{" + rc + ", " + ac + JsonList("0", 255) + "}]}", ""},
      {"{" + rc + ", " + ac + JsonList("0", 256) + "}]}", "/ac/0/switches: more than 255 entries"},
      {R"({"ac": []})", "/rc: missing: the rectifier group is always read"},
      {R"({"rc": {"value": 1, "modules": [{"value": "x"}]}})",
       "/rc/modules/0/value: expected a number, \"none\" or a wave"},
      {R"({"rc": {"value": 1, "modules": []}, "ac": [{"channels": [{"a": 1, "b": 1, "c": 1, "f": 1,
          "alerts": [1, 2]}], "ia": 1, "ib": 1, "ic": 1}]})",
       "/ac/0/channels/0/alerts: expected 4 entries"},
      {R"({"rc": {"value": 1, "modules": []}, "dc": [{"v": 1, "i": 1, "v_alert": 256}]})",
       "/dc/0/v_alert: expected a byte (0..255)"},
      {R"({"rc": {"value": 1, "modules": []}, "dc": [{"v":1,"i":1},{"v":1,"i":1},{"v":1,"i":1},
          {"v":1,"i":1}]})",
       "/dc: at most 3 DC screens"},
      {R"({"rc": {"value": {"mean": 1, "swing": 1, "period_s": 0}, "modules": []}})",
       "/rc/value: a wave needs numbers \"mean\", \"swing\" and \"period_s\" > 0"},
      {R"({"rc": {"value": 1, "modules": []}, "colour": 1})", "/colour: unknown key"},
      {R"({"rc": {"value": 1, "modules": []}, "ac_params": [1, 2, 3, 4, 5, 6]})",
       "/ac_params: expected 5 values"},
      {R"({"rc": {"value": 1, "modules": []}, "model": "ABCDEFGHIJKLMNOPQRSTU"})",
       "/model: expected a text of at most 20 characters"},
      {R"({"rc": {"value": 1, "modules": []}, "manufacturer": "ABCDEFGHIJKLMNOPQRSTU"})",
       "/manufacturer: expected a text of at most 20 characters"},
      {R"({"rc": {"value": 1, "modules": []}, "dc_params": [1, 2, 3]})",
       "/dc_params: expected 2 values"},
      {R"({"rc": {"value": 1, "modules": []}, "dc": [{"v": 1, "i": 1, "fuses": [1, 1],
          "fuse_count": 1}]})",
       "/dc/0/fuse_count: fewer than the \"fuses\" given"},
      {R"({"rc": {"value": 1, "modules": []}, "dc": [{"v": 1, "i": 1, "fuses": [1, 1],
          "fuse_count": 2}]})",
       ""},  // as many as given: taken
      {R"({"rc": {"value": 1, "modules": []}, "phases": [{"round": 3, "set": {}},
          {"round": 2, "set": {}}]})",
       "/phases/1/round: expected a round number, not below the phase before"},
      {R"({"rc": {"value": 1, "modules": []}, "dc": [{"v": 1, "i": 1,
          "v_alert": 18446744073709551615}]})",
       "/dc/0/v_alert: expected a byte (0..255)"},
      {R"({"rc": {"value": 1, "modules": []}, "phases": [{"round": 3000000000, "set": {}}]})",
       "/phases/0/round: expected a round number, not below the phase before"},
  };
  for (const auto& c : cases) {
    psma_sim::Scenario s;
    std::string error;
    EXPECT_EQ(s.Load(testing_support::ParseJson(c.json), error), *c.error == '\0')
        << c.json.substr(0, 200);
    EXPECT_EQ(error, c.error);
  }
}

TEST(SimScenario, SetByPointerAndPhasesByRound) {
  auto s = Load(R"({"rc": {"value": 1, "modules": [{"value": 2}]},
                    "dc": [{"v": 53, "i": 1}],
                    "phases": [{"round": 2, "set": {"/dc/0/v_alert": 1}},
                               {"round": 4, "set": {"/dc/0/v_alert": 0, "/rc/modules/-": {"value": 3}}}]})");
  std::string error;
  EXPECT_FALSE(s.Set("/dc/0/v", "high", error));
  EXPECT_EQ(error, "/dc/0/v: expected a number, \"none\" or a wave");
  EXPECT_EQ(s.unit().dc[0].v.mean, 53.0f) << "a refused change changes nothing";
  EXPECT_FALSE(s.Set("/dc/5/v", 1, error));
  EXPECT_EQ(error, "/dc/5: no such array element");
  EXPECT_FALSE(s.Set("dc/0/v", 1, error));
  EXPECT_EQ(error, "dc/0/v: a pointer starts with '/'");
  EXPECT_FALSE(s.Set("/dc/0/v/mean", 1, error));
  EXPECT_EQ(error, "/dc/0/v/mean: not an object or array");
  EXPECT_TRUE(s.Set("/dc/0/i", 7.5, error)) << error;
  EXPECT_EQ(s.unit().dc[0].i.mean, 7.5f);

  EXPECT_EQ(s.EnterRound(1), 0);
  EXPECT_EQ(s.EnterRound(3), 1);
  EXPECT_EQ(s.unit().dc[0].v_alert, 1);
  EXPECT_EQ(s.EnterRound(3), 0) << "each phase once";
  EXPECT_EQ(s.EnterRound(9), 1);
  EXPECT_EQ(s.unit().dc[0].v_alert, 0);
  EXPECT_EQ(s.unit().modules.size(), 2u);
}

// What a scenario leaves out: the unit at address 1, version 20H, a PSM-A.
TEST(SimScenario, WhatADocumentLeavesOutHasItsDefault) {
  const auto s = Load(R"({"rc": {"value": 1, "modules": []}})");
  EXPECT_EQ(s.unit().address, 1);
  EXPECT_EQ(s.unit().version, 0x20);
  EXPECT_EQ(s.unit().model, "PSM-A");
}

// A phase comes in with its own round, and two phases may share one.
TEST(SimScenario, APhaseComesInWithItsOwnRound) {
  auto s = Load(R"({"rc": {"value": 1, "modules": []}, "dc": [{"v": 53, "i": 1}],
                    "phases": [{"round": 2, "set": {"/dc/0/v_alert": 1}},
                               {"round": 2, "set": {"/dc/0/i": 5}},
                               {"round": 3, "set": {"/dc/0/v_alert": 0}}]})");
  const struct {
    int round;
    int applied;
    int v_alert;
  } cases[] = {{1, 0, 0}, {2, 2, 1}, {2, 0, 1}, {3, 1, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(s.EnterRound(c.round), c.applied) << c.round;
    EXPECT_EQ(s.unit().dc[0].v_alert, c.v_alert) << c.round;
  }
  EXPECT_EQ(s.unit().dc[0].i.mean, 5.0f);
}

TEST(SimScenario, BuiltInScenarioFitsItsShape) {
  psma_sim::Scenario s;
  std::string error;
  ASSERT_TRUE(s.Load(psma_sim::BuiltInScenario(2, 3, 4, 7), error)) << error;
  EXPECT_EQ(s.unit().ac.size(), 2u);
  EXPECT_EQ(s.unit().dc.size(), 3u);
  EXPECT_EQ(s.unit().modules.size(), 4u);
  EXPECT_EQ(s.unit().address, 7);
  EXPECT_EQ(s.unit().dc[0].fuses.size(), 64u);
  ASSERT_TRUE(s.Load(psma_sim::BuiltInScenario(0, 0, 0, 1), error)) << error;
}

// The faults a plan makes: dropped, corrupted, garbled and delayed answers
// among `requests` identification requests, served on a pseudo-terminal.
std::array<int, 4> Faults(psma_sim::FaultPlan plan, int requests) {
  plan.delay_ms = 1;
  psma_sim::SimServer sim(Load(kScenario), 9600, plan);
  std::string path, error;
  EXPECT_TRUE(sim.OpenPty(path, error)) << error;
  sim.Start();
  korv::SerialPort line;
  EXPECT_TRUE(line.Open(path, 9600)) << line.Error();
  std::vector<std::uint8_t> request;
  yd1363::EncodeRequest(0x20, 3, 0x40, 0x51, nullptr, 0, request);
  const auto& s = sim.Stats();
  for (int k = 1; k <= requests; ++k) {
    line.Write(request.data(), static_cast<unsigned>(request.size()));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (s.answers.load() + s.dropped.load() < k && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::uint8_t sink[512];
    while (line.Read(sink, sizeof sink, std::chrono::milliseconds(0)) > 0) {
    }
  }
  EXPECT_EQ(s.requests.load(), requests);
  return {s.dropped.load(), s.corrupted.load(), s.garbled.load(), s.delayed.load()};
}

// The faults a rate draws, from `seed`.
std::array<int, 4> RandomFaults(double rate, std::uint32_t seed, int requests) {
  psma_sim::FaultPlan plan;
  plan.rate = rate;
  plan.seed = seed;
  return Faults(plan, requests);
}

TEST(SimFaults, EachEveryNthFaultKeepsItsOwnCount) {
  const struct {
    int psma_sim::FaultPlan::*every;
    int n;
    std::array<int, 4> faults;  // of 12 answers: dropped, corrupted, garbled, delayed
  } cases[] = {
      {&psma_sim::FaultPlan::drop_every, 5, {2, 0, 0, 0}},
      {&psma_sim::FaultPlan::corrupt_every, 4, {0, 3, 0, 0}},
      {&psma_sim::FaultPlan::garbage_every, 3, {0, 0, 4, 0}},
      {&psma_sim::FaultPlan::delay_every, 6, {0, 0, 0, 2}},
      {&psma_sim::FaultPlan::drop_every, 13, {0, 0, 0, 0}},  // counted from the first answer
  };
  for (const auto& c : cases) {
    psma_sim::FaultPlan plan;
    plan.*c.every = c.n;
    EXPECT_EQ(Faults(plan, 12), c.faults) << "every " << c.n;
  }
}

// Answers wait for their time however many there are, up to the queue's
// limit: here all of a full queue go out once due.
TEST(SimFaults, AFullQueueOfDelayedAnswersGoesOutWhole) {
  constexpr int kAnswers = 4097;  // the queue holds 4096, and takes one more
  psma_sim::FaultPlan plan;
  plan.delay_every = 1;
  plan.delay_ms = 1000;
  psma_sim::SimServer sim(Load(kScenario), 9600, plan);
  std::string path, error;
  ASSERT_TRUE(sim.OpenPty(path, error)) << error;
  sim.Start();
  korv::SerialPort line;
  ASSERT_TRUE(line.Open(path, 9600)) << line.Error();
  std::vector<std::uint8_t> request, requests;
  yd1363::EncodeRequest(0x20, 3, 0x40, 0x51, nullptr, 0, request);
  for (int k = 0; k < kAnswers; ++k)
    requests.insert(requests.end(), request.begin(), request.end());
  ASSERT_TRUE(
      line.Write(requests.data(), static_cast<unsigned>(requests.size()), std::chrono::seconds(30)))
      << line.Error();
  int answers = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (answers < kAnswers && std::chrono::steady_clock::now() < end) {
    std::uint8_t buf[4096];
    const int got = line.Read(buf, sizeof buf, std::chrono::milliseconds(100));
    for (int k = 0; k < got; ++k) answers += buf[k] == yd1363::kEoi ? 1 : 0;
    if (got > 0) end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  }
  EXPECT_EQ(answers, kAnswers);
}

TEST(SimFaults, ARateFaultsThatShareOfAnswersWithKindsDrawnFromTheSeed) {
  const int n = 40;
  const auto all = RandomFaults(1.0, 7, n);
  EXPECT_EQ(all[0] + all[1] + all[2] + all[3], n) << "one fault for every answer";
  for (int kind : all) EXPECT_GT(kind, 0) << "every kind drawn";
  EXPECT_EQ(RandomFaults(1.0, 7, n), all) << "the same seed draws the same faults";
  const auto some = RandomFaults(0.25, 7, n);
  const int faulted = some[0] + some[1] + some[2] + some[3];
  EXPECT_GT(faulted, 0);
  EXPECT_LT(faulted, n);
  const auto none = RandomFaults(0.0, 7, n);
  EXPECT_EQ(none, (std::array<int, 4>{0, 0, 0, 0}));
}

}  // namespace
