// The DC screen outside the parse path: value keys and staleness, cache
// blocks, the round end with its host calls and alarm checks, the block the
// round sends and saves, the change determination, and concurrent readers.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "answers/bytes.h"
#include "dc/psma_dc.h"
#include "host/ttime.h"
#include "root/psma.h"
#include "support/host_fixture.h"
#include "support/json.h"

using psma_answers::Bytes;
using testing_support::ParseJson;
using Rec = tele_c_psma_dc;

namespace {

// A DC screen whose pending rules a test can fill.
class ProbeDC : public PsmaDC {
 public:
  std::vector<rule_value>& Rules() { return rules_; }
};

Bytes Analogue(float v, float i) { return Bytes().f32(v).f32(i).u8(0).u8(0).u8(0); }

// An alarm portion: output voltage state, fuse states, user-defined states.
Bytes Alarms(std::uint8_t v_alert, const std::vector<std::uint8_t>& m,
             const std::vector<std::uint8_t>& p) {
  Bytes b;
  b.u8(v_alert).u8(static_cast<std::uint8_t>(m.size()));
  for (auto s : m) b.u8(s);
  b.u8(static_cast<std::uint8_t>(p.size()));
  for (auto s : p) b.u8(s);
  return b;
}

std::vector<std::uint8_t> BlockOf(const Rec& r) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&r);
  return std::vector<std::uint8_t>(b, b + sizeof r);
}

// What Get_Value answers: the value as text, or the exception's text.
std::string Answer(const PsmaDC& d, const std::string& key) {
  try {
    return std::to_string(d.Get_Value(0, key));
  } catch (const std::out_of_range& e) {
    return e.what();
  }
}

class DcRoundTest : public testing_support::HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    root = std::make_shared<Psma>();
    root->Init(controller, 1, Json::Value());
    dc = Attach(std::make_shared<ProbeDC>());
  }
  template <typename D>
  std::shared_ptr<D> Attach(std::shared_ptr<D> d, const char* settings = "{}") {
    d->InitV(root.get(), 21, ParseJson(settings));
    return d;
  }
  void Feed41(PsmaDC& d, const Bytes& b) {
    testing::internal::CaptureStdout();
    d.parse42_41(b.data(), b.size());
    testing::internal::GetCapturedStdout();
  }
  void Feed44(PsmaDC& d, const Bytes& b) { ASSERT_EQ(d.parse42_44(b.data(), b.size()), b.size()); }
  std::vector<std::string> RoundChecks(PsmaDC& d) {
    observer->Clear();
    d.RoundDone();
    controller->DrainWork();
    std::vector<std::string> out;
    for (const auto& c : observer->Calls()) {
      if (c.rfind("check", 0) == 0 || c.rfind("map", 0) == 0) out.push_back(c);
    }
    return out;
  }

  std::shared_ptr<Psma> root;
  std::shared_ptr<ProbeDC> dc;
};

// Includes the battery voltage state table: 1 reads "欠压", 5 (outside the
// table) is passed on unchanged.
TEST_F(DcRoundTest, HostCallsOfOneRoundInOrder) {
  Feed41(*dc, Analogue(53.5f, 120.0f));
  Feed44(*dc, Alarms(1, {3, 3}, {3, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 1, 5}));
  observer->Clear();
  dc->RoundDone();
  controller->DrainWork();
  EXPECT_EQ(observer->Calls(),
            (std::vector<std::string>{
                "send 21 5158 158",
                "check 21 3 DC_0 06008 输出电压过低告警 输出电压过低告警 1 1",
                "check 21 3 DC_1 06009 输出电压过高告警 输出电压过高告警 0 2",
                "check 21 2 PSMA_DC_0 06007 负载熔丝故障告警 负载熔丝1故障告警 1 3",
                "check 21 2 PSMA_DC_1 06007 负载熔丝故障告警 负载熔丝1故障告警 0 4",
                "check 21 2 PSMA_DC_2 06002 电池充电过流告警 电池1充电过流告警 1 5",
                "check 21 2 PSMA_DC_3 06002 电池充电过流告警 电池2充电过流告警 0 6",
                "check 21 2 PSMA_DC_4 06029 电池组1保护 其他告警 0 7",
                "check 21 2 PSMA_DC_5 06029 电池组2保护 其他告警 0 8",
                "check 21 2 PSMA_DC_6 06080 二级低压脱离告警 "
                "第二级低压脱离开关动作，其后的负载被断电 0 9",
                "check 21 2 PSMA_DC_7 06029 电池房过温 其他告警 0 10",
                "check 21 2 PSMA_DC_8 06029 测点1过温 其他告警 0 11",
                "check 21 2 PSMA_DC_9 06029 测点2过温 其他告警 0 12",
                "check 21 2 PSMA_DC_10 06011 直流屏通讯中断告警 直流屏通讯中断告警状态 0 13",
                "map 21 1 2 PSMA_DC_11 06029 电池组1电压异常 其他告警 欠压 14",
                "map 21 5 2 PSMA_DC_12 06029 电池组2电压异常 其他告警 5 15",
                "work 21",
                "batch 21 0",
                "save 21 158",
            }));
}

TEST_F(DcRoundTest, OutputVoltageStates) {
  const struct {
    std::uint8_t state;
    const char* low;
    const char* high;
  } cases[] = {{0, "0 1", "0 2"}, {1, "1 1", "0 2"}, {2, "0 1", "1 2"}, {3, "0 1", "0 2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.state});
    Feed44(*dc, Alarms(c.state, {}, {}));
    EXPECT_EQ(
        RoundChecks(*dc),
        (std::vector<std::string>{
            std::string("check 21 3 DC_0 06008 输出电压过低告警 输出电压过低告警 ") + c.low,
            std::string("check 21 3 DC_1 06009 输出电压过高告警 输出电压过高告警 ") + c.high}));
  }
}

// Fuse checks only with the full list of 64, user checks only with all 13;
// the sequence numbers run on across both.
TEST_F(DcRoundTest, AlarmListsOfUnexpectedSizeMakeNoChecks) {
  const struct {
    std::size_t fuses;
    std::size_t user;
    int fuse_checks;
    int first_user_seq;  // 0: no user-defined check
  } cases[] = {{64, 13, 64, 67}, {3, 13, 0, 3}, {0, 13, 0, 3},   {63, 13, 0, 3},
               {65, 13, 0, 3},   {2, 12, 0, 0}, {64, 14, 64, 0}, {2, 0, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.fuses) + " fuses, " + std::to_string(c.user) + " user states");
    Feed44(*dc,
           Alarms(0, std::vector<std::uint8_t>(c.fuses, 0), std::vector<std::uint8_t>(c.user, 0)));
    observer->Clear();
    dc->RoundDone();
    controller->DrainWork();
    const auto checks = observer->Checks();
    int fuse_checks = 0;
    std::vector<int> user_seqs;
    for (const auto& k : checks) {
      if (k.key == "DC_3") ++fuse_checks;
      if (k.key.rfind("PSMA_DC_", 0) == 0) user_seqs.push_back(k.seq);
    }
    EXPECT_EQ(fuse_checks, c.fuse_checks);
    if (c.first_user_seq == 0) {
      EXPECT_TRUE(user_seqs.empty());
    } else {
      ASSERT_EQ(user_seqs.size(), 13u);
      EXPECT_EQ(user_seqs.front(), c.first_user_seq);
      EXPECT_EQ(user_seqs.back(), c.first_user_seq + 12);
    }
  }
}

TEST_F(DcRoundTest, OneCheckPerBatteryFuse) {
  std::vector<std::uint8_t> fuses(64, 0);
  fuses[0] = 3;
  fuses[1] = 2;
  fuses[63] = 3;
  Feed44(*dc, Alarms(0, fuses, {}));
  const auto checks = RoundChecks(*dc);
  ASSERT_EQ(checks.size(), 66u);
  for (int k = 1; k <= 64; ++k) {
    const bool active = k == 1 || k == 64;
    EXPECT_EQ(checks[k + 1], "check 21 1 DC_3 06001 电池熔丝故障告警 直流" + std::to_string(k) +
                                 "电池熔丝故障告警 " + (active ? "1 " : "0 ") +
                                 std::to_string(k + 2));
  }
}

TEST_F(DcRoundTest, UserDefinedStatesRaiseOnlyTheirOwnValue) {
  // entry, value, key of the one active check ("" for none)
  const struct {
    int entry;
    std::uint8_t value;
    const char* active;
  } cases[] = {
      {0, 3, "PSMA_DC_0"},
      {1, 3, "PSMA_DC_1"},
      {2, 2, "PSMA_DC_2"},
      {3, 2, "PSMA_DC_3"},
      {4, 0xE4, "PSMA_DC_4"},
      {5, 0xE4, "PSMA_DC_5"},
      {6, 0xE3, "PSMA_DC_6"},
      {7, 0xE1, "PSMA_DC_7"},
      {8, 0xE1, "PSMA_DC_8"},
      {9, 0xE1, "PSMA_DC_9"},
      {10, 0xE2, "PSMA_DC_10"},
      {0, 2, ""},
      {2, 3, ""},
      {4, 0xE3, ""},
      {6, 0xE4, ""},
      {7, 0xE2, ""},
      {10, 0xE1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.entry) + " = " + std::to_string(c.value));
    std::vector<std::uint8_t> user(13, 0);
    user[c.entry] = c.value;
    Feed44(*dc, Alarms(0, {}, user));
    observer->Clear();
    dc->RoundDone();
    std::vector<std::string> active;
    for (const auto& k : observer->Checks()) {
      if (k.active) active.push_back(k.key);
    }
    EXPECT_EQ(active,
              c.active[0] ? std::vector<std::string>{c.active} : std::vector<std::string>{});
  }
}

TEST_F(DcRoundTest, ValueKeysAndStaleness) {
  const std::string not_ready = "数据未就绪";
  const std::string stale = "数据已超时";
  for (const char* key : {"v", "i", "x"}) EXPECT_EQ(Answer(*dc, key), not_ready) << key;

  Feed41(*dc, Analogue(53.5f, 120.25f));
  EXPECT_EQ(Answer(*dc, "v"), not_ready);  // parsed, but no round ended yet
  dc->RoundDone();
  EXPECT_EQ(Answer(*dc, "v"), std::to_string(53.5f));
  EXPECT_EQ(Answer(*dc, "i"), std::to_string(120.25f));
  for (const char* key : {"V", "I", "vi", "", "v "}) EXPECT_EQ(Answer(*dc, key), not_ready) << key;

  korv::AdvanceLocalNow(60);
  EXPECT_EQ(Answer(*dc, "v"), std::to_string(53.5f));
  korv::AdvanceLocalNow(1);
  EXPECT_EQ(Answer(*dc, "v"), stale);
  EXPECT_EQ(Answer(*dc, "x"), stale);

  dc->RoundDone();  // a later round renews the stamp
  EXPECT_EQ(Answer(*dc, "i"), std::to_string(120.25f));
  korv::AdvanceLocalNow(-100);  // the clock set back: a negative age is fresh
  EXPECT_EQ(Answer(*dc, "v"), std::to_string(53.5f));
}

TEST_F(DcRoundTest, CacheBlocksOfEveryLength) {
  Rec saved;
  std::memset(&saved, 0x5A, sizeof saved);
  saved.data_id = 99;
  saved.v = 48.5f;
  saved.i = 12.25f;
  const std::vector<std::uint8_t> block = BlockOf(saved);

  for (int len : {0, 1, 157, 159, 316}) {
    std::vector<std::uint8_t> other(static_cast<std::size_t>(len), 0x77);
    EXPECT_FALSE(dc->LoadFromCache(other.data(), len)) << len;
  }
  EXPECT_FALSE(dc->LoadFromCache(nullptr, 158));
  EXPECT_FALSE(dc->LoadFromCache(std::string(157, 'x')));
  EXPECT_FALSE(dc->IsDataReady());
  EXPECT_EQ(dc->Record().data_id, 21u);

  ASSERT_TRUE(dc->LoadFromCache(std::string(block.begin(), block.end())));
  EXPECT_EQ(BlockOf(dc->Record()), block);  // saved data id and round time included
  EXPECT_EQ(dc->DataId(), 21u);             // the device's own id is the host's
  EXPECT_EQ(Answer(*dc, "v"), std::to_string(48.5f));
  EXPECT_EQ(Answer(*dc, "i"), std::to_string(12.25f));

  // A refused block later changes nothing: record, flag, time.
  const auto stamped = dc->LastUpdate();
  korv::AdvanceLocalNow(30);
  std::vector<std::uint8_t> longer(159, 0);
  EXPECT_FALSE(dc->LoadFromCache(longer.data(), 159));
  EXPECT_EQ(BlockOf(dc->Record()), block);
  EXPECT_EQ(dc->LastUpdate(), stamped);
  korv::AdvanceLocalNow(31);
  EXPECT_EQ(Answer(*dc, "v"), "数据已超时");
}

// Each round's work item saves exactly what that round sent, however the
// record moves on before the worker gets to it.
TEST_F(DcRoundTest, SavedBlockIsTheBlockTheRoundSent) {
  std::mutex gate;
  gate.lock();
  controller->SubmitWork(0, [&gate] { std::lock_guard<std::mutex> hold(gate); });

  const auto t0 = korv::LocalNow();
  Feed41(*dc, Analogue(48.0f, 10.0f));
  Feed44(*dc, Alarms(2, {0, 3}, {}));
  dc->RoundDone();
  Feed41(*dc, Analogue(50.0f, 11.0f));
  korv::AdvanceLocalNow(5);
  dc->RoundDone();
  Feed41(*dc, Analogue(52.0f, 12.0f));  // after the last round: never sent
  gate.unlock();
  controller->DrainWork();

  std::vector<std::vector<std::uint8_t>> sent, saved;
  for (const auto& b : observer->Blocks()) {
    ASSERT_EQ(b.device, 21u);
    (b.kind == 5158 ? sent : saved).push_back(b.bytes);
  }
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(saved, sent);

  Rec first;
  std::memset(&first, 0, sizeof first);
  first.data_id = 21;
  first.v = 48.0f;
  first.i = 10.0f;
  first.dc_v_alert = 2;
  first.alert_m_count = 2;
  first.alert_m_state[1] = 3;
  const ttime stamp0 = get_ttime(t0);
  std::memcpy(reinterpret_cast<std::uint8_t*>(&first) + offsetof(Rec, round_time), stamp0.data(),
              7);
  EXPECT_EQ(sent[0], BlockOf(first));

  Rec second = first;
  second.v = 50.0f;
  second.i = 11.0f;
  const ttime stamp1 = get_ttime(t0 + boost::posix_time::seconds(5));
  std::memcpy(reinterpret_cast<std::uint8_t*>(&second) + offsetof(Rec, round_time), stamp1.data(),
              7);
  EXPECT_EQ(sent[1], BlockOf(second));
}

TEST_F(DcRoundTest, RulesMoveToTheWorkItemWhichKeepsTheDeviceAlive) {
  dc->Rules().resize(3);
  std::mutex gate;
  gate.lock();
  controller->SubmitWork(0, [&gate] { std::lock_guard<std::mutex> hold(gate); });
  dc->RoundDone();
  EXPECT_TRUE(dc->Rules().empty());
  EXPECT_GE(dc->Rules().capacity(), 3u);

  std::weak_ptr<ProbeDC> watch = dc;
  dc.reset();
  EXPECT_FALSE(watch.expired());  // the queued item holds it
  gate.unlock();
  controller->DrainWork();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(observer->Calls("batch"), std::vector<std::string>{"batch 21 3"});
  EXPECT_EQ(observer->Calls("save"), std::vector<std::string>{"save 21 158"});
}

TEST_F(DcRoundTest, DeviceWithoutControllerOrOwnerEndsItsRound) {
  PsmaDC lonely;
  lonely.InitV(nullptr, 5, Json::Value());
  lonely.RoundDone();  // the item runs at once, with nobody to tell
  EXPECT_TRUE(lonely.IsDataReady());
  EXPECT_TRUE(observer->Calls().empty());
}

TEST_F(DcRoundTest, ChangeDeterminationAgainstTheThresholds) {
  auto d = Attach(std::make_shared<PsmaDC>(), R"({"appSetting": {"diff_v": "0.5", "diff_i": 2}})");
  const struct {
    float v, i;
    bool changed;
  } rounds[] = {
      {48.0f, 10.0f, true},    // first round: nothing to compare with
      {48.0f, 10.0f, false},   //
      {48.5f, 10.0f, true},    // voltage moved by exactly diff_v
      {48.75f, 10.0f, false},  // by less
      {48.25f, 10.0f, true},   // down by diff_v
      {48.25f, 12.0f, true},   // current moved by exactly diff_i
      {48.25f, 10.5f, false},  // by less
  };
  for (const auto& r : rounds) {
    SCOPED_TRACE(std::to_string(r.v) + " " + std::to_string(r.i));
    Feed41(*d, Analogue(r.v, r.i));
    d->RoundDone();
    EXPECT_EQ(d->ValuesChanged(), r.changed);
  }

  // After a restore the first round has no previous values either, even
  // when its own lie within the thresholds of nothing.
  auto restored =
      Attach(std::make_shared<PsmaDC>(), R"({"appSetting": {"diff_v": "0.5", "diff_i": 2}})");
  Rec saved = restored->Record();
  saved.v = 0.25f;
  saved.i = 1.0f;
  ASSERT_TRUE(restored->LoadFromCache(reinterpret_cast<const std::uint8_t*>(&saved), sizeof saved));
  restored->RoundDone();
  EXPECT_TRUE(restored->ValuesChanged());
  restored->RoundDone();
  EXPECT_FALSE(restored->ValuesChanged());
}

// Readers on several threads while the polling thread parses, restores and
// ends rounds and the threshold worker saves: ThreadSanitizer watches, and
// every answer is one of the values that were written.
TEST_F(DcRoundTest, ValuesReadWhileThePollingThreadWrites) {
  constexpr int kRounds = 200;
  Rec saved = dc->Record();
  saved.v = 1.0f;
  saved.i = 10.0f;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};

  testing::internal::CaptureStdout();
  std::thread polling([&] {
    for (int n = 0; n < kRounds; ++n) {
      const float v = static_cast<float>(n % 4 + 1);
      const Bytes analogue = Analogue(v, 10.0f * v);
      dc->parse42_41(analogue.data(), analogue.size());
      const Bytes alarms =
          Alarms(static_cast<std::uint8_t>(n % 3), std::vector<std::uint8_t>(64, 3),
                 std::vector<std::uint8_t>(13, 1));
      dc->parse42_44(alarms.data(), alarms.size());
      if (n % 50 == 25) {
        dc->LoadFromCache(reinterpret_cast<const std::uint8_t*>(&saved), sizeof saved);
      }
      dc->RoundDone();
    }
    done = true;
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      do {
        for (const char* key : {"v", "i"}) {
          try {
            const float x = dc->Get_Value(0, key);
            const float unit = key[0] == 'v' ? 1.0f : 10.0f;
            if (x != unit && x != 2 * unit && x != 3 * unit && x != 4 * unit) ++bad;
          } catch (const std::out_of_range&) {
          }
        }
        (void)dc->ValuesChanged();
        (void)dc->Record();
      } while (!done);
    });
  }
  polling.join();
  for (auto& r : readers) r.join();
  controller->DrainWork();
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(observer->Calls("save").size(), static_cast<std::size_t>(kRounds));
  for (const auto& b : observer->Blocks()) ASSERT_EQ(b.bytes.size(), sizeof(Rec));
}

}  // namespace
