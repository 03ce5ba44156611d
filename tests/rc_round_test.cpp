// The rectifier group's value refusal, cache restore and round end: the block
// it publishes and saves, its alarm checks, and readers on other threads.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "answers/bytes.h"
#include "host/ttime.h"
#include "rc/psma_rc.h"
#include "support/host_fixture.h"

using psma_answers::Bytes;
using testing_support::HostFixture;
using testing_support::RecordingObserver;

namespace {

using Module = tele_c_psma_rc_channel;

class Unit : public KorvSPDevice {
 public:
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }
};

// The group with a view of its pending rules and of its record lock.
class ProbeRC : public PsmaRC {
 public:
  void Queue(const rule_value& rule) { rules_.push_back(rule); }
  std::size_t PendingRules() const { return rules_.size(); }
  std::size_t RuleRoom() const { return rules_.capacity(); }
  // Whether another thread could take the record lock now.
  bool RecordsFree() const {
    bool free = false;
    std::thread other([&] {
      if (mutex_.try_lock()) {
        free = true;
        mutex_.unlock();
      }
    });
    other.join();
    return free;
  }
};

// Counts host calls made while the group held its record lock.
class LockWatch : public RecordingObserver {
 public:
  void Watch(const ProbeRC* rc) { rc_ = rc; }
  int held = 0;
  int seen = 0;

  void OnLog(unsigned d, const std::string& line) override {
    Look();
    RecordingObserver::OnLog(d, line);
  }
  void OnAlarmCheck(const korv::AlarmCheck& c) override {
    Look();
    RecordingObserver::OnAlarmCheck(c);
  }
  void OnSendSP(unsigned d, const std::string& t, int k, const std::vector<std::uint8_t>& b,
                bool delayed) override {
    Look();
    RecordingObserver::OnSendSP(d, t, k, b, delayed);
  }
  void OnWorkSubmitted(unsigned d) override {
    Look();
    RecordingObserver::OnWorkSubmitted(d);
  }

 private:
  void Look() {
    ++seen;
    if (rc_ != nullptr && !rc_->RecordsFree()) ++held;
  }
  const ProbeRC* rc_ = nullptr;
};

Bytes Analogues(std::uint8_t modules, float value = 1.0f) {
  Bytes b;
  b.u8(0).f32(53.5f).u8(modules);
  for (int i = 0; i < modules; ++i) b.f32(value + i).u8(4).f32(1).f32(2).f32(3).f32(4);
  return b;
}

// A cache block: group record announcing `announced` modules, then `modules`
// module records of recognisable bytes.
Bytes Block(std::uint8_t announced, int modules, std::uint32_t id = 0x0A0B0C0D) {
  Bytes b;
  b.u8s({static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8),
         static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 24)});
  b.rep(0x41, 65).f32(48.0f).u8(announced).u8s({0xE9, 0x07, 1, 2, 3, 4, 5});
  for (int i = 0; i < modules; ++i) b.rep(static_cast<std::uint8_t>(0x60 + i), 32);
  return b;
}

std::vector<std::uint8_t> RecordBytes(const tele_c_psma_rc& r) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
  return std::vector<std::uint8_t>(p, p + sizeof r);
}
std::vector<std::uint8_t> ModuleBytes(const std::vector<Module>& m) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(m.data());
  return std::vector<std::uint8_t>(p, p + m.size() * sizeof(Module));
}

class RcRoundTest : public HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    unit = std::make_shared<Unit>();
    unit->Init(controller, 9, Json::Value());
    rc = NewRC();
  }
  std::shared_ptr<ProbeRC> NewRC() {
    auto d = std::make_shared<ProbeRC>();
    d->InitV(unit.get(), 9, Json::Value(Json::objectValue));
    return d;
  }
  bool Restore(const Bytes& block, std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    const bool ok = rc->LoadFromCache(std::string(block.vec().begin(), block.vec().end()));
    const std::string text = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = text;
    return ok;
  }
  std::string ValueError(const char* key) {
    try {
      rc->Get_Value(0, key);
    } catch (const std::out_of_range& e) {
      return e.what();
    }
    return "a value";
  }
  // Holds the threshold worker until the returned lock is released.
  std::unique_lock<std::mutex> HoldWorker() {
    std::unique_lock<std::mutex> hold(gate_);
    controller->SubmitWork(0, [this] { std::lock_guard<std::mutex> g(gate_); });
    return hold;
  }

  std::shared_ptr<Unit> unit;
  std::shared_ptr<ProbeRC> rc;
  std::mutex gate_;
};

TEST_F(RcRoundTest, ValueRequestsAreRefusedTellingStaleDataApart) {
  const std::string none = "数据未就绪", stale = "数据已超时";
  struct Step {
    const char* what;
    int action;  // 0 nothing, 1 round end, 2 cache block
    int advance;
    std::string expected;
  } steps[] = {
      {"new device", 0, 0, none},
      {"round ended now", 1, 0, none},
      {"60 s later", 0, 60, none},
      {"61 s later", 0, 1, stale},
      {"clock set back", 0, -100, none},
      {"restored now", 2, 0, none},
      {"61 s after the restore", 0, 61, stale},
  };
  for (const auto& s : steps) {
    if (s.action == 1) rc->RoundDone();
    if (s.action == 2) {
      ASSERT_TRUE(Restore(Block(0, 0)));
    }
    korv::AdvanceLocalNow(s.advance);
    for (const char* key : {"", "v", "channel_0_a"}) {
      EXPECT_EQ(ValueError(key), s.expected) << s.what << " key " << key;
    }
  }
}

TEST_F(RcRoundTest, CacheBlocksAreTakenOnlyWhole) {
  const struct Case {
    const char* name;
    Bytes block;
    bool accepted;
    const char* trace;
    int modules;  // after the restore on a new device; -1: untouched
  } cases[] = {
      {"empty", Bytes(), false, "rc data_len:0 vs 81\n", -1},
      {"80 bytes", Bytes().rep(0, 80), false, "rc data_len:80 vs 81\n", -1},
      {"group only", Block(0, 0), true, "rc data_len:81 vs 81\nrc channelLen 32 and 0 left:0\n", 0},
      {"group only announcing 2", Block(2, 0), false,
       "rc data_len:81 vs 81\nrc channelLen 32 and 2 left:0\n", -1},
      {"one of 2 modules", Block(2, 1), false,
       "rc data_len:113 vs 81\nrc channelLen 32 and 2 left:32\n", -1},
      {"2 modules", Block(2, 2), true, "rc data_len:145 vs 81\nrc channelLen 32 and 2 left:64\n",
       2},
      {"2 modules and a byte", Block(2, 2).u8(0), false,
       "rc data_len:146 vs 81\nrc channelLen 32 and 2 left:65\n", -1},
      {"255 modules", Block(255, 255), true,
       "rc data_len:8241 vs 81\nrc channelLen 32 and 255 left:8160\n", 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // On a new device.
    rc = NewRC();
    const auto before = RecordBytes(rc->Record());
    std::string trace;
    EXPECT_EQ(Restore(c.block, &trace), c.accepted);
    EXPECT_EQ(trace, c.trace);
    EXPECT_EQ(rc->IsDataReady(), c.accepted);
    const auto record = rc->Record();
    const auto modules = rc->Modules();
    if (c.accepted) {
      const std::vector<std::uint8_t> whole = c.block;
      EXPECT_EQ(RecordBytes(record), std::vector<std::uint8_t>(whole.begin(), whole.begin() + 81));
      EXPECT_EQ(ModuleBytes(modules), std::vector<std::uint8_t>(whole.begin() + 81, whole.end()));
      EXPECT_EQ(static_cast<int>(modules.size()), c.modules);
    } else {
      EXPECT_EQ(RecordBytes(record), before);
      EXPECT_TRUE(modules.empty());
    }

    // On a device holding a round: a refused block leaves it as it was.
    rc = NewRC();
    ASSERT_EQ(rc->parse41_41(Analogues(3).data(), Analogues(3).size()), 69);
    rc->RoundDone();
    korv::AdvanceLocalNow(30);
    const auto held = RecordBytes(rc->Record());
    const auto held_modules = ModuleBytes(rc->Modules());
    EXPECT_EQ(Restore(c.block), c.accepted);
    EXPECT_TRUE(rc->IsDataReady());
    if (!c.accepted) {
      EXPECT_EQ(RecordBytes(rc->Record()), held);
      EXPECT_EQ(ModuleBytes(rc->Modules()), held_modules);
      EXPECT_EQ(rc->DataAgeSeconds(), 30) << "the update time stays";
    } else {
      EXPECT_EQ(rc->DataAgeSeconds(), 0);
      EXPECT_EQ(static_cast<int>(rc->Modules().size()), c.modules);
    }
  }
}

// Sets up `n` modules with the given fault states and alarm bytes (an
// alarm_count of 3 sends only the first three bytes).
struct ModuleState {
  std::uint8_t fault;
  std::uint8_t count;
  std::uint8_t alarm[4];
};
void SetModules(PsmaRC& rc, const std::vector<ModuleState>& states) {
  const auto n = static_cast<std::uint8_t>(states.size());
  const Bytes analogues = Analogues(n);
  ASSERT_EQ(rc.parse41_41(analogues.data(), analogues.size()), analogues.size());
  Bytes alarms;
  alarms.u8(0x01).u8(n);
  for (const auto& s : states) {
    alarms.u8(s.fault).u8(s.count);
    for (int k = 0; k < s.count; ++k) alarms.u8(s.alarm[k]);
  }
  ASSERT_EQ(rc.parse41_44(alarms.data(), alarms.size()), alarms.size());
}

TEST_F(RcRoundTest, AlarmChecksTakeSequenceNumbersInModuleOrder) {
  const struct Case {
    const char* name;
    std::vector<ModuleState> modules;
    std::vector<std::string> checks;
  } cases[] = {
      {"three modules reporting four alarm bytes",
       {{1, 4, {1, 1, 1, 0xE2}}, {2, 4, {0, 1, 0, 1}}, {0, 4, {2, 0, 1, 0xE3}}},
       {"check 9 2 RC_0 06024 整流模块故障告警 模块1整流模块故障告警 1 1",
        "check 9 2 RC_0 06024 整流模块故障告警 模块2整流模块故障告警 0 2",
        "check 9 2 RC_0 06024 整流模块故障告警 模块3整流模块故障告警 0 3",
        "check 9 3 PSMA_RC_0 06024 整流模块故障告警 第1模块故障告警状态 1 4",
        "check 9 4 PSMA_RC_1 06025 整流模块风扇告警 第1模块风扇告警 1 5",
        "check 9 3 PSMA_RC_2 06027 整流模块温度过高告警 第1模块过温告警状态 1 6",
        "check 9 4 PSMA_RC_3 06028 整流模块通信状态告警 第1模块通讯中断告警状态 1 7",
        "check 9 3 PSMA_RC_0 06024 整流模块故障告警 第2模块故障告警状态 0 8",
        "check 9 4 PSMA_RC_1 06025 整流模块风扇告警 第2模块风扇告警 1 9",
        "check 9 3 PSMA_RC_2 06027 整流模块温度过高告警 第2模块过温告警状态 0 10",
        "check 9 4 PSMA_RC_3 06028 整流模块通信状态告警 第2模块通讯中断告警状态 0 11",
        "check 9 3 PSMA_RC_0 06024 整流模块故障告警 第3模块故障告警状态 0 12",
        "check 9 4 PSMA_RC_1 06025 整流模块风扇告警 第3模块风扇告警 0 13",
        "check 9 3 PSMA_RC_2 06027 整流模块温度过高告警 第3模块过温告警状态 1 14",
        "check 9 4 PSMA_RC_3 06028 整流模块通信状态告警 第3模块通讯中断告警状态 0 15"}},
      {"first module reporting three alarm bytes",
       {{0, 3, {1, 1, 1, 0}}, {1, 4, {0, 0, 0, 0xE2}}},
       {"check 9 2 RC_0 06024 整流模块故障告警 模块1整流模块故障告警 0 1",
        "check 9 2 RC_0 06024 整流模块故障告警 模块2整流模块故障告警 1 2",
        "check 9 3 PSMA_RC_0 06024 整流模块故障告警 第2模块故障告警状态 0 3",
        "check 9 4 PSMA_RC_1 06025 整流模块风扇告警 第2模块风扇告警 0 4",
        "check 9 3 PSMA_RC_2 06027 整流模块温度过高告警 第2模块过温告警状态 0 5",
        "check 9 4 PSMA_RC_3 06028 整流模块通信状态告警 第2模块通讯中断告警状态 1 6"}},
      {"no module", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rc = NewRC();
    SetModules(*rc, c.modules);
    for (int round = 0; round < 2; ++round) {  // numbering restarts every round
      observer->Clear();
      rc->RoundDone();
      EXPECT_EQ(observer->Calls("check"), c.checks) << "round " << round;
    }
  }
}

TEST_F(RcRoundTest, RoundSendsItsBlockChecksThenHandsItsRulesAndBlockToTheWorker) {
  SetModules(*rc, {{1, 4, {0, 0, 0, 0}}, {0, 3, {0, 0, 0, 0}}});
  rc->Queue(rule_value{});
  rc->Queue(rule_value{});
  const auto room = rc->RuleRoom();
  korv::AdvanceLocalNow(5);
  observer->Clear();
  rc->RoundDone();
  EXPECT_EQ(rc->PendingRules(), 0u);
  EXPECT_GE(rc->RuleRoom(), 2u);
  EXPECT_LE(rc->RuleRoom(), room);
  controller->DrainWork();

  const auto calls = observer->Calls();
  ASSERT_EQ(calls.size(), 1u + 2 + 4 + 3);
  EXPECT_EQ(calls.front(), "send 9 5157 145");
  EXPECT_EQ(calls[1].substr(0, 16), "check 9 2 RC_0 0");
  EXPECT_EQ(calls[6].substr(0, 21), "check 9 4 PSMA_RC_3 0");
  EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
            (std::vector<std::string>{"work 9", "batch 9 2", "save 9 145"}));
  EXPECT_FALSE(rc->BatchResult());

  const auto blocks = observer->Blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].kind, 5157);
  EXPECT_EQ(blocks[1].bytes, blocks[0].bytes) << "the saved block is the one sent";
  const auto& b = blocks[0].bytes;
  const auto record = rc->Record();
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 81), RecordBytes(record));
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 81, b.end()), ModuleBytes(rc->Modules()));
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 4),
            (std::vector<std::uint8_t>{9, 0, 0, 0}));
  const ttime stamp = get_ttime(korv::LocalNow());
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 74, b.begin() + 81),
            std::vector<std::uint8_t>(stamp.begin(), stamp.end()));
  EXPECT_EQ(b[73], 2);
  EXPECT_EQ(b[81 + 26], 1) << "module 1 fault state";
  EXPECT_EQ(rc->DataAgeSeconds(), 0);
}

// While the worker still holds earlier rounds, the module count changes and
// the records move on: every round's item saves exactly what that round sent.
TEST_F(RcRoundTest, EachWorkItemSavesWhatItsRoundSentAtItsLength) {
  auto hold = HoldWorker();
  rc->RoundDone();  // no module yet: 81 bytes
  ASSERT_EQ(rc->parse41_41(Analogues(2).data(), Analogues(2).size()), 48);
  rc->RoundDone();  // 145 bytes
  ASSERT_EQ(rc->parse41_41(Analogues(2, 7.0f).data(), Analogues(2, 7.0f).size()), 48);
  ASSERT_TRUE(Restore(Block(1, 1, 9)));
  rc->RoundDone();  // 113 bytes
  ASSERT_EQ(rc->parse41_41(Analogues(1, 8.0f).data(), Analogues(1, 8.0f).size()), 27);
  rc->RoundDone();  // 113 bytes again, other values
  hold.unlock();
  controller->DrainWork();

  std::vector<std::vector<std::uint8_t>> sent, saved;
  for (const auto& b : observer->Blocks()) (b.kind == 5157 ? sent : saved).push_back(b.bytes);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(saved, sent);
  EXPECT_EQ(sent[0].size(), 81u) << "a group without modules still publishes its record";
  EXPECT_EQ(sent[1].size(), 145u);
  EXPECT_EQ(sent[2].size(), 113u);
  EXPECT_EQ(sent[2][81], 0x60) << "the restored module";
  EXPECT_NE(sent[3], sent[2]);
}

TEST_F(RcRoundTest, WorkItemKeepsTheGroupAliveUntilItHasSaved) {
  std::weak_ptr<ProbeRC> watch = rc;
  {
    auto hold = HoldWorker();
    rc->RoundDone();
    rc.reset();
    EXPECT_FALSE(watch.expired());
  }
  controller->DrainWork();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(observer->Calls("save"), (std::vector<std::string>{"save 9 81"}));
}

TEST_F(RcRoundTest, HostCallsAreMadeWithTheRecordsUnlocked) {
  auto watch = std::make_shared<LockWatch>();
  controller->SetObserver(watch);
  watch->Watch(rc.get());
  const Bytes odd = Bytes().u8(0).u8(2).u8(1).u8(3).u8s({1, 1, 1}).u8(0).u8(9).rep(0, 9);
  SetModules(*rc, {{1, 4, {1, 1, 1, 0xE2}}, {0, 4, {0, 0, 0, 0}}});
  EXPECT_EQ(rc->parse41_44(odd.data(), odd.size()), odd.size());  // two count lines
  EXPECT_EQ(rc->parse41_41(Analogues(2).data(), 20), -1);         // an overflow line
  rc->RoundDone();
  controller->DrainWork();
  controller->SetObserver(observer);
  EXPECT_EQ(watch->seen, 3 + 1 + 2 + 1);  // logs, send, checks, work
  EXPECT_EQ(watch->held, 0);
}

// Readers on host threads while the polling thread parses, restores and ends
// rounds and the worker saves: run under ThreadSanitizer.
TEST_F(RcRoundTest, ReadersMeetWholeRecordsWhileRoundsRun) {
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  auto reader = [&] {
    while (!stop.load()) {
      try {
        rc->Get_Value(0, "v");
      } catch (const std::out_of_range&) {
      }
      const auto modules = rc->Modules();
      const auto record = rc->Record();
      EXPECT_LE(modules.size(), 3u);
      EXPECT_LE(record.module_count, 3);
      ++reads;
    }
  };
  testing::internal::CaptureStdout();
  std::thread r1(reader), r2(reader);
  std::thread poller([&] {
    const Bytes
        three = Analogues(3),
        two = Block(2, 2, 9),
        alarms = Bytes().u8(1).u8(2).u8(1).u8(4).u8s({1, 1, 1, 0xE2}).u8(0).u8(4).u8s({0, 0, 0, 0});
    for (int round = 0; round < 200; ++round) {
      rc->parse41_41(three.data(), three.size());
      rc->parse41_44(alarms.data(), alarms.size());
      if (round % 3 == 0) rc->LoadFromCache(two.data(), two.size());
      if (round % 3 == 1) rc->LoadFromCache(Block(0, 0, 9).data(), 81);
      rc->RoundDone();
    }
  });
  poller.join();
  while (reads.load() < 10) std::this_thread::yield();
  stop = true;
  r1.join();
  r2.join();
  controller->DrainWork();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(observer->Calls("save").size(), 200u);
}

}  // namespace
