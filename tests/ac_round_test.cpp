// The AC screen outside the parse path: value keys and staleness, cache
// blocks, the round end with its alarm checks, block and work item, and the
// threads that meet on one screen.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "answers/bytes.h"
#include "host/ttime.h"
#include "root/psma.h"
#include "support/host_fixture.h"
#include "support/json.h"

using psma_answers::Bits;
using psma_answers::Bytes;

namespace {

// The leaf's own check leaves a mark in the log, and the round's pending
// rules can be filled as the host would.
class MarkedAC : public PsmaAC {
 public:
  void DoImpCheckAlert() override { InfoLog("own check"); }
  void AddRule(const std::string& key) {
    rule_value r;
    r.key = key;
    rules_.push_back(r);
  }
  std::size_t PendingRules() const { return rules_.size(); }
  std::size_t PendingCapacity() const { return rules_.capacity(); }
};

struct ChannelValues {
  float a, b, c, f;
};

// A cache block: the group record and `channels` channel records, with every
// value set to `v` and the channel count byte set to `count`.
std::vector<std::uint8_t> CacheBlock(std::size_t channels, float v, std::uint8_t count) {
  tele_c_psma_ac group{};
  group.data_id = 11;
  group.ia = v;
  group.ib = v;
  group.ic = v;
  group.channel_count = count;
  std::vector<std::uint8_t> out(sizeof group);
  std::memcpy(out.data(), &group, sizeof group);
  for (std::size_t k = 0; k < channels; ++k) {
    tele_c_psma_ac_channel ch{};
    ch.a = ch.b = ch.c = ch.f = v;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&ch);
    out.insert(out.end(), bytes, bytes + sizeof ch);
  }
  return out;
}
std::vector<std::uint8_t> CacheBlock(std::uint8_t channels, float v) {
  return CacheBlock(channels, v, channels);
}

// A 0x41 portion for these channels and phase currents.
Bytes Analogue(const std::vector<ChannelValues>& channels, float ia, float ib, float ic) {
  Bytes b;
  b.u8(static_cast<std::uint8_t>(channels.size()));
  for (const auto& ch : channels) b.f32(ch.a).f32(ch.b).f32(ch.c).f32(ch.f).u8(0);
  return b.f32(ia).f32(ib).f32(ic);
}

// A 0x44 portion: every channel with the same four states.
Bytes Alarms(std::size_t channels, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t f,
             std::uint8_t ia, std::uint8_t ib, std::uint8_t ic) {
  Bytes out;
  out.u8(static_cast<std::uint8_t>(channels));
  for (std::size_t k = 0; k < channels; ++k) out.u8s({a, b, c, f, 0, 8}).rep(0, 8);
  return out.u8s({ia, ib, ic});
}

std::vector<std::uint8_t> Snapshot(const PsmaAC& ac) {
  const tele_c_psma_ac group = ac.RecordCopy();
  std::vector<std::uint8_t> out(sizeof group);
  std::memcpy(out.data(), &group, sizeof group);
  for (const auto& ch : ac.ChannelsCopy()) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&ch);
    out.insert(out.end(), bytes, bytes + sizeof ch);
  }
  return out;
}

// The text of the out_of_range a value request raises, or "" for a value.
std::string Refusal(const PsmaAC& ac, const std::string& key) {
  try {
    ac.Get_Value(0, key);
    return "";
  } catch (const std::out_of_range& e) {
    return e.what();
  }
}

class AcRoundTest : public testing_support::HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    root = std::make_shared<Psma>();
    root->Init(controller, 1, Json::Value());
  }

  std::shared_ptr<MarkedAC> Screen(const char* settings = "{}") {
    auto ac = std::make_shared<MarkedAC>();
    ac->InitV(root.get(), 11, testing_support::ParseJson(settings));
    return ac;
  }

  // Parse calls with the trace lines kept off the test output.
  static int Parse41(PsmaAC& ac, const Bytes& portion) {
    testing::internal::CaptureStdout();
    const int used = ac.parse40_41(portion.data(), portion.size());
    testing::internal::GetCapturedStdout();
    return used;
  }

  std::vector<std::vector<std::uint8_t>> BlocksOfKind(int kind) const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& b : observer->Blocks()) {
      if (b.kind == kind) out.push_back(b.bytes);
    }
    return out;
  }

  std::shared_ptr<Psma> root;
};

TEST_F(AcRoundTest, ValueKeysAndTheirRefusals) {
  auto ac = Screen();
  const std::uint8_t none[4] = {0x20, 0x20, 0x20, 0x20};
  float placeholder;
  std::memcpy(&placeholder, none, 4);
  ASSERT_EQ(Parse41(*ac, Analogue({{230.5f, 231.5f, 232.5f, 50.0f},
                                   {220.0f, 221.0f, 222.0f, placeholder}},
                                  10.5f, 11.5f, placeholder)),
            47);
  const Bytes alarms = Alarms(2, 0, 0, 0, 0, 3, 0, 1);
  ASSERT_EQ(ac->parse40_44(alarms.data(), alarms.size()), 32);
  ac->RoundDone();

  const std::string nines(5000, '9');
  struct Case {
    std::string key;
    float value;
    const char* refusal;
  } cases[] = {
      {"ia", 10.5f, ""},
      {"ib", 11.5f, ""},
      {"ic", -0.1f, ""},  // the unit sent no current
      {"ia_alert", 3.0f, ""},
      {"ib_alert", 0.0f, ""},
      {"ic_alert", 1.0f, ""},
      {"channel_0_a", 230.5f, ""},
      {"channel_1_c", 222.0f, ""},
      {"channel_1_f", 0.0f, ""},  // the unit sent no frequency
      {"channel_0_ab", 230.5f, ""},
      {"my_channel_0_a", 230.5f, ""},
      {"channel_01_b", 221.0f, ""},
      {"channel_1_a_alert", 220.0f, ""},
      {"channel_" + std::string(5000, '0') + "1_b", 221.0f, ""},
      {"channel_2_a", 0, "通道参数越界"},
      {"channel_5_x", 0, "通道参数越界"},
      {"channel_99999999999999999999999_a", 0, "通道参数越界"},
      {"channel_" + nines + "_a", 0, "通道参数越界"},
      {"channel_0_x", 0, "数据未提供"},
      {"channel_0_", 0, "数据未提供"},
      {"channel__a", 0, "数据未提供"},
      {"channel_" + nines, 0, "数据未提供"},
      {"IA", 0, "数据未提供"},
      {"ia ", 0, "数据未提供"},
      {"", 0, "数据未提供"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key.substr(0, 40));
    EXPECT_EQ(Refusal(*ac, c.key), c.refusal);
    if (*c.refusal == '\0') {
      EXPECT_EQ(Bits(ac->Get_Value(7, c.key)), Bits(c.value));
    }
  }
}

TEST_F(AcRoundTest, ValuesAreServedFromTheFirstRoundUntilTheyAre61SecondsOld) {
  auto ac = Screen();
  for (const char* key : {"ia", "channel_0_a", "nope"}) {
    EXPECT_EQ(Refusal(*ac, key), "数据未就绪") << key;
  }
  ac->RoundDone();  // whatever the records hold
  EXPECT_EQ(Refusal(*ac, "ia"), "");
  EXPECT_EQ(Refusal(*ac, "channel_0_a"), "通道参数越界");

  const struct {
    int advance;
    const char* ia;
    const char* unknown;
  } steps[] = {
      {60, "", "数据未提供"},
      {1, "数据已超时", "数据已超时"},
      {-100, "", "数据未提供"},  // the clock went back: a negative age is fresh
  };
  for (const auto& s : steps) {
    korv::AdvanceLocalNow(s.advance);
    EXPECT_EQ(Refusal(*ac, "ia"), s.ia) << s.advance;
    EXPECT_EQ(Refusal(*ac, "nope"), s.unknown) << s.advance;
  }
  korv::AdvanceLocalNow(200);
  ac->RoundDone();  // renews the age
  korv::AdvanceLocalNow(60);
  EXPECT_EQ(Refusal(*ac, "ia"), "");
}

// A block with `extra` bytes behind it.
std::vector<std::uint8_t> Longer(std::vector<std::uint8_t> block, std::size_t extra) {
  block.insert(block.end(), extra, 0);
  return block;
}

TEST_F(AcRoundTest, CacheBlocksAreTakenWholeOrNotAtAll) {
  const struct Case {
    const char* name;
    std::vector<std::uint8_t> block;
    std::optional<int> len;  // the block's size when absent
    bool accepted;
  } cases[] = {
      {"negative length", CacheBlock(1, 5.0f), -5, false},
      {"empty", {}, std::nullopt, false},
      {"group record alone, no channel", CacheBlock(0, 5.0f), std::nullopt, false},
      {"one byte behind a group without channels", Longer(CacheBlock(0, 5.0f), 1), std::nullopt,
       false},
      {"group and one channel", CacheBlock(1, 5.0f), std::nullopt, true},
      {"one channel announced, two sent", CacheBlock(2, 5.0f, 1), std::nullopt, false},
      {"two channels announced, one sent", CacheBlock(1, 5.0f, 2), std::nullopt, false},
      {"a byte short", CacheBlock(1, 5.0f), 69, false},
      {"a byte too many", Longer(CacheBlock(1, 5.0f), 1), std::nullopt, false},
      {"three channels", CacheBlock(3, 5.0f), std::nullopt, true},
      {"255 channels", CacheBlock(255, 5.0f), std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto ac = Screen();
    ASSERT_TRUE(ac->LoadFromCache(CacheBlock(2, 230.5f).data(), 100));
    const auto before = Snapshot(*ac);
    const auto restored_at = ac->LastUpdate();
    korv::AdvanceLocalNow(10);

    // An exact-size copy, so that a read past the block is a heap overflow.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[c.block.size()]);
    if (!c.block.empty()) std::memcpy(copy.get(), c.block.data(), c.block.size());
    const int len = c.len.value_or(static_cast<int>(c.block.size()));
    EXPECT_EQ(ac->LoadFromCache(copy.get(), len), c.accepted);
    EXPECT_TRUE(ac->IsDataReady());
    if (c.accepted) {
      EXPECT_EQ(Snapshot(*ac), c.block);
      EXPECT_EQ(ac->LastUpdate(), korv::LocalNow());
      EXPECT_EQ(ac->Channels().size(), c.block[16]);
    } else {
      EXPECT_EQ(Snapshot(*ac), before) << "a refused block changes nothing";
      EXPECT_EQ(ac->LastUpdate(), restored_at);
    }
  }
}

TEST_F(AcRoundTest, ARefusedBlockLeavesANewScreenNotReady) {
  auto ac = Screen();
  const auto block = CacheBlock(2, 5.0f, 1);
  EXPECT_FALSE(ac->LoadFromCache(block.data(), static_cast<int>(block.size())));
  EXPECT_FALSE(ac->LoadFromCache(nullptr, 70));
  EXPECT_FALSE(ac->IsDataReady());
  EXPECT_TRUE(ac->Channels().empty());
  EXPECT_EQ(Refusal(*ac, "ia"), "数据未就绪");

  const auto one = CacheBlock(1, 5.0f);
  EXPECT_TRUE(ac->LoadFromCache(std::string(one.begin(), one.end())));  // the host's text form
  EXPECT_EQ(ac->Get_Value(0, "channel_0_f"), 5.0f);
  EXPECT_TRUE(observer->Calls().empty()) << "a restore logs nothing";
}

TEST_F(AcRoundTest, OneRoundCallsTheHostInOrder) {
  auto ac = Screen();
  ASSERT_TRUE(ac->LoadFromCache(CacheBlock(1, 230.5f).data(), 70));
  ac->AddRule("channel_0_a");
  ac->AddRule("ia");
  ac->RoundDone();
  controller->DrainWork();

  const std::string ch = "交流屏1";
  const std::vector<std::string> expected = {
      "send 11 5156 70",
      "check 11 3 AC_0 06015 交流输入电压过低告警 " + ch + "输入线/相电压AB/A 0 1",
      "check 11 3 AC_1 06015 交流输入电压过低告警 " + ch + "输入线/相电压BC/B 0 2",
      "check 11 3 AC_2 06015 交流输入电压过低告警 " + ch + "输入线/相电压CA/C 0 3",
      "check 11 3 AC_3 06019 交流输入频率过低告警 " + ch + "频率 0 4",
      "check 11 2 AC_4 06014 交流输入电压过高告警 " + ch + "输入线/相电压AB/A 0 5",
      "check 11 2 AC_5 06014 交流输入电压过高告警 " + ch + "输入线/相电压BC/B 0 6",
      "check 11 2 AC_6 06014 交流输入电压过高告警 " + ch + "输入线/相电压CA/C 0 7",
      "check 11 2 AC_7 06018 交流输入频率过高告警 " + ch + "频率 0 8",
      "check 11 2 AC_8 06017 交流输入缺相告警 " + ch + "输入线/相电压AB/A 0 9",
      "check 11 2 AC_9 06017 交流输入缺相告警 " + ch + "输入线/相电压BC/B 0 10",
      "check 11 2 AC_10 06017 交流输入缺相告警 " + ch + "输入线/相电压CA/C 0 11",
      "check 11 3 AC_12 06029 A相输入电流低于下限 其他告警 0 12",
      "check 11 3 AC_13 06029 B相输入电流低于下限 其他告警 0 13",
      "check 11 3 AC_14 06029 C相输入电流低于下限 其他告警 0 14",
      "check 11 3 AC_15 06029 A相输入电流高于上限 其他告警 0 15",
      "check 11 3 AC_16 06029 B相输入电流高于上限 其他告警 0 16",
      "check 11 3 AC_17 06029 C相输入电流高于上限 其他告警 0 17",
      "check 11 3 AC_18 06029 A相输入电流缺项 其他告警 0 18",
      "check 11 3 AC_19 06029 B相输入电流缺项 其他告警 0 19",
      "check 11 3 AC_20 06029 C相输入电流缺项 其他告警 0 20",
      "log 11 own check",
      "work 11",
      "batch 11 2",
      "save 11 70",
  };
  EXPECT_EQ(observer->Calls(), expected);
  EXPECT_EQ(ac->PendingRules(), 0u) << "the rules went to the worker";
  EXPECT_GE(ac->PendingCapacity(), 2u) << "room is kept for the next round's rules";
}

TEST_F(AcRoundTest, SequenceNumbersCountTheRoundsChecksFromOne) {
  const struct {
    std::uint8_t channels;
    std::vector<std::string> probes;  // "key description seq" of some checks
  } cases[] = {
      {2,
       {"AC_0 交流屏1输入线/相电压AB/A 1", "AC_10 交流屏1输入线/相电压CA/C 11",
        "AC_0 交流屏2输入线/相电压AB/A 12", "AC_10 交流屏2输入线/相电压CA/C 22",
        "AC_12 其他告警 23", "AC_20 其他告警 31"}},
      {0, {"AC_12 其他告警 1", "AC_20 其他告警 9"}},
      {10,
       {"AC_0 交流屏10输入线/相电压AB/A 100", "AC_3 交流屏10频率 103", "AC_7 交流屏10频率 107",
        "AC_20 其他告警 119"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.channels));
    auto ac = Screen();
    if (c.channels > 0) {
      const auto block = CacheBlock(c.channels, 1.0f);
      ASSERT_TRUE(ac->LoadFromCache(block.data(), static_cast<int>(block.size())));
    }
    ac->RoundDone();
    observer->Clear();
    ac->RoundDone();  // every round counts from 1 again
    const auto checks = observer->Checks();
    ASSERT_EQ(checks.size(), 11u * c.channels + 9);
    std::set<std::string> seen;
    for (std::size_t k = 0; k < checks.size(); ++k) {
      EXPECT_EQ(checks[k].seq, k + 1);
      seen.insert(checks[k].key + " " + checks[k].description + " " +
                  std::to_string(checks[k].seq));
    }
    for (const auto& probe : c.probes) EXPECT_EQ(seen.count(probe), 1u) << probe;
  }
}

TEST_F(AcRoundTest, AlarmStatesMakeTheirChecksActive) {
  const struct {
    std::uint8_t a, b, c, f, ia, ib, ic;
    std::set<std::string> active;
  } cases[] = {
      {1, 0, 0, 0, 0, 0, 0, {"AC_0"}},
      {2, 0, 0, 0, 0, 0, 0, {"AC_4"}},
      {3, 0, 0, 0, 0, 0, 0, {"AC_8"}},
      {4, 0, 0, 0, 0, 0, 0, {}},
      {0, 3, 2, 0, 0, 0, 0, {"AC_9", "AC_6"}},
      {0, 2, 3, 1, 0, 0, 0, {"AC_5", "AC_10", "AC_3"}},
      {0, 0, 0, 2, 0, 0, 0, {"AC_7"}},
      {0, 0, 0, 3, 0, 0, 0, {}},
      {1, 0, 0, 0, 2, 3, 1, {"AC_0", "AC_15", "AC_19", "AC_14"}},
      {0, 0, 0, 0, 3, 1, 2, {"AC_18", "AC_13", "AC_17"}},
      {0, 0, 0, 0, 0, 2, 0xFF, {"AC_16"}},
  };
  auto ac = Screen();
  ASSERT_TRUE(ac->LoadFromCache(CacheBlock(1, 230.5f).data(), 70));
  for (const auto& c : cases) {
    const Bytes answer = Alarms(1, c.a, c.b, c.c, c.f, c.ia, c.ib, c.ic);
    ASSERT_EQ(ac->parse40_44(answer.data(), answer.size()), 18);
    observer->Clear();
    ac->RoundDone();
    std::set<std::string> active;
    for (const auto& check : observer->Checks()) {
      if (check.active) active.insert(check.key);
    }
    EXPECT_EQ(active, c.active) << int(c.a) << int(c.b) << int(c.c) << int(c.f) << " " << int(c.ia)
                                << int(c.ib) << int(c.ic);
  }
}

TEST_F(AcRoundTest, EachRoundSendsAndSavesItsOwnBlock) {
  auto ac = Screen();
  const auto restored = CacheBlock(3, 230.5f);
  ASSERT_TRUE(ac->LoadFromCache(restored.data(), 130));

  // Hold the worker so that both rounds are sent before either is saved.
  std::mutex gate;
  gate.lock();
  controller->SubmitWork(0, [&gate] { std::lock_guard<std::mutex> hold(gate); });
  ac->RoundDone();
  const auto first_stamp = get_ttime(korv::LocalNow());
  korv::AdvanceLocalNow(5);
  ASSERT_EQ(Parse41(*ac, Analogue({{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}}, 13, 14, 15)), 64);
  ac->RoundDone();
  const auto second_stamp = get_ttime(korv::LocalNow());
  ASSERT_EQ(Parse41(*ac, Analogue({{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}, 0, 0, 0)), 64);
  gate.unlock();
  controller->DrainWork();

  const auto sent = BlocksOfKind(5156);
  const auto saved = BlocksOfKind(-1);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(saved, sent) << "every round saves exactly the bytes it sent";

  auto expected = restored;
  std::copy(first_stamp.begin(), first_stamp.end(), expected.begin() + 33);
  EXPECT_EQ(sent[0], expected);
  ASSERT_EQ(sent[1].size(), 130u);
  EXPECT_TRUE(std::equal(second_stamp.begin(), second_stamp.end(), sent[1].begin() + 33));
  EXPECT_EQ(psma_answers::F32(sent[1].data() + 4), 13.0f);                 // ia
  EXPECT_EQ(psma_answers::F32(sent[1].data() + 40 + 2 * 30 + 12), 12.0f);  // third f
}

TEST_F(AcRoundTest, TheBlockFollowsTheChannelCount) {
  auto ac = Screen();
  ac->RoundDone();  // no channel yet
  ASSERT_EQ(Parse41(*ac, Analogue({{1, 2, 3, 4}, {5, 6, 7, 8}}, 9, 10, 11)), 47);
  ac->RoundDone();
  ASSERT_TRUE(ac->LoadFromCache(CacheBlock(1, 7.0f).data(), 70));
  ac->RoundDone();
  controller->DrainWork();

  const auto sent = BlocksOfKind(5156);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].size(), 40u);
  ASSERT_EQ(sent[1].size(), 100u);
  EXPECT_EQ(psma_answers::F32(sent[1].data() + 40 + 30 + 12), 8.0f) << "second channel kept";
  EXPECT_EQ(sent[2].size(), 70u);
  EXPECT_EQ(BlocksOfKind(-1), sent);
}

TEST_F(AcRoundTest, ChangeDeterminationWithInclusiveThresholds) {
  auto ac = Screen(R"({"appSetting": {"diff_v": 5, "diff_i": "2"}})");
  const struct {
    const char* name;
    ChannelValues ch;
    float ia, ib, ic;
    bool changed;
  } steps[] = {
      {"first round", {230, 231, 232, 50}, 10, 11, 12, true},
      {"nothing moved", {230, 231, 232, 50}, 10, 11, 12, false},
      {"a moved by 4.5", {234.5f, 231, 232, 50}, 10, 11, 12, false},
      {"a moved by exactly 5", {239.5f, 231, 232, 50}, 10, 11, 12, true},
      {"the frequency is not compared", {239.5f, 231, 232, 60}, 10, 11, 12, false},
      {"c fell by 5", {239.5f, 231, 227, 60}, 10, 11, 12, true},
      {"b moved by 3: past diff_i, but a voltage", {239.5f, 234, 227, 60}, 10, 11, 12, false},
      {"ic moved by 1.5", {239.5f, 231, 227, 60}, 10, 11, 13.5f, false},
      {"ic moved by 2", {239.5f, 231, 227, 60}, 10, 11, 15.5f, true},
      {"ia fell by 2", {239.5f, 231, 227, 60}, 8, 11, 15.5f, true},
      // Each phase against its own previous value, not its neighbour's.
      {"phases far apart", {200, 220, 240, 60}, 10, 20, 30, true},
      {"phases far apart, nothing moved", {200, 220, 240, 60}, 10, 20, 30, false},
  };
  for (const auto& s : steps) {
    ASSERT_EQ(Parse41(*ac, Analogue({s.ch}, s.ia, s.ib, s.ic)), 30);
    ac->RoundDone();
    EXPECT_EQ(ac->ValuesChanged(), s.changed) << s.name;
  }
  // A new block (another channel count) holds zeros as the previous round.
  ASSERT_TRUE(ac->LoadFromCache(CacheBlock(2, 1.5f).data(), 100));
  ac->RoundDone();
  EXPECT_FALSE(ac->ValuesChanged()) << "1.5 lies within both thresholds of zero";
  ASSERT_TRUE(ac->LoadFromCache(CacheBlock(1, 5.0f).data(), 70));
  ac->RoundDone();
  EXPECT_TRUE(ac->ValuesChanged());
}

// Readers on several threads while the polling thread parses, restores and
// ends rounds and the worker saves histories: no torn value, no race.
TEST_F(AcRoundTest, ReadersMeetParsesRestoresAndRoundsSafely) {
  auto ac = Screen();
  ASSERT_TRUE(ac->LoadFromCache(CacheBlock(2, 230.5f).data(), 100));
  const std::set<std::uint32_t> allowed = {Bits(230.5f), Bits(110.25f), Bits(0.0f),
                                           Bits(1.0f),   Bits(2.0f),    Bits(3.0f)};
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<long> served{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      const char* keys[] = {"ia", "ic", "ic_alert", "channel_0_a", "channel_1_f", "channel_2_b"};
      while (!done.load()) {
        for (const char* key : keys) {
          try {
            if (allowed.count(Bits(ac->Get_Value(0, key))) == 0) ++torn;
            ++served;
          } catch (const std::out_of_range&) {
          }
        }
      }
    });
  }
  // The readers under way before the rounds begin: on a loaded machine the
  // rounds could otherwise be over before a reader ran.
  const auto start_by = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (served.load() < 3 && std::chrono::steady_clock::now() < start_by) {
    std::this_thread::yield();
  }
  testing::internal::CaptureStdout();
  for (int i = 0; i < 150; ++i) {
    const float v = i % 2 ? 110.25f : 230.5f;
    const std::uint8_t channels = static_cast<std::uint8_t>(1 + i % 3);
    const auto block = CacheBlock(channels, v);
    ac->LoadFromCache(block.data(), static_cast<int>(block.size()));
    const Bytes analogue = Analogue(std::vector<ChannelValues>(channels, {v, v, v, v}), v, v, v);
    EXPECT_EQ(ac->parse40_41(analogue.data(), analogue.size()), analogue.size());
    const std::uint8_t s = static_cast<std::uint8_t>(i % 4);
    const Bytes alarms = Alarms(channels, s, s, s, s, s, s, s);
    EXPECT_EQ(ac->parse40_44(alarms.data(), alarms.size()), alarms.size());
    ac->RoundDone();
  }
  testing::internal::GetCapturedStdout();
  done = true;
  for (auto& r : readers) r.join();
  controller->DrainWork();

  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(served.load(), 0);
  const auto sent = BlocksOfKind(5156);
  EXPECT_EQ(sent.size(), 150u);
  EXPECT_EQ(BlocksOfKind(-1), sent);
}

}  // namespace
