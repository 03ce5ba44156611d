// End to end: the host runner with the built plug-in against the unit
// simulator on a pseudo-terminal, both in this process. The clock is fixed:
// a round starts only when the test moves the clock past the 2-second
// pacing, so every round is one the test asked for. Every wait is bounded.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/core/runner.h"
#include "gateway/core/store.h"
#include "gateway/outputs/console/console_output.h"
#include "host/local_clock.h"
#include "support/json.h"
#include "support/wait_for.h"
#include "tools/psma-sim/sim_server.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ParseJson;

using testing_support::WaitFor;

// One AC screen with one channel, two rectifier modules, one DC screen with
// its 64 fuses; every value fixed, every state normal.
const char kScenario[] = R"({
  "address": 1, "model": "PSM-A",
  "ac": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50}],
          "ia": 10.5, "ib": 11, "ic": 12, "switches": [1, 0]}],
  "rc": {"value": 53.5, "modules": [{"value": 20}, {"value": 21}]},
  "dc": [{"v": 53.5, "i": 120.25, "m": [1.5], "fuse_count": 64}],
  "ac_params": [280, 180, 0, 0, 0], "dc_params": [57, 45]
})";

const char kSite[] = R"({"units": [{"type": "psma", "data_id": 1, "address": 1,
  "answer_timeout_ms": 300,
  "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}]})";

struct Event {
  Json::Value v;
  std::string type() const { return v["event"].asString(); }
};

// The scenario's values by child and field (a state by its code).
const std::map<std::string, float> kScenarioValues = {
    {"11 phase.a.current", 10.5f},      {"11 phase.b.current", 11.0f},
    {"11 phase.c.current", 12.0f},      {"11 phase.a.current.alarm", 0.0f},
    {"11 phase.b.current.alarm", 0.0f}, {"11 phase.c.current.alarm", 0.0f},
    {"11 input1.voltage.ab", 230.5f},   {"11 input1.voltage.bc", 231.25f},
    {"11 input1.voltage.ca", 229.75f},  {"11 input1.frequency", 50.0f},
    {"21 output.voltage", 53.5f},       {"21 load.current", 120.25f}};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-07 08:00:00"));
    char name[] = "/tmp/korv-e2e-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    db_ = name;
  }
  void TearDown() override {
    runner_.reset();
    sim_.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db_ + suffix).c_str());
    korv::UseSystemClock();
  }

  void StartSim(psma_sim::FaultPlan plan = {}) {
    psma_sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(scenario.Load(ParseJson(kScenario), error)) << error;
    sim_ = std::make_unique<psma_sim::SimServer>(scenario, 9600, plan);
    ASSERT_TRUE(sim_->OpenPty(port_, error)) << error;
    sim_->Start();
  }

  void StartRunner() {
    korv_host::Options o;
    o.site = ParseJson(kSite);
    o.site["units"][0]["port"] = port_;
    o.site["store"]["history_every"] = 0;  // a row every round: none may go missing
    o.plugin = PSMA_PLUGIN_PATH;
    o.db = db_;
    o.poll_interval = 10ms;
    o.outputs.push_back(
        std::make_shared<korv_host::ConsoleOutput>(true, [this](const std::string& line) {
          std::lock_guard<std::mutex> lock(mutex_);
          events_.push_back({ParseJson(line)});
        }));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.clear();
    }
    runner_ = std::make_unique<korv_host::Runner>(o);
    std::string error;
    ASSERT_TRUE(runner_->Setup(error)) << error;
    runner_->Start();
  }

  // Lets the next round start and waits until it is complete.
  void Round(int n) {
    if (n > 1) korv::AdvanceLocalNow(2);
    ASSERT_TRUE(WaitFor([&] { return runner_->Rounds(1) >= n; })) << "round " << n;
  }

  std::vector<Event> Events(const std::string& type) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    for (const auto& e : events_) {
      if (e.type() == type) out.push_back(e);
    }
    return out;
  }
  std::vector<Event> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // The values told for round `round` (the value events after that round's
  // event and before the next one).
  std::map<std::string, float> RoundValues(int round) {
    std::map<std::string, float> values;
    int at = 0;
    for (const auto& e : All()) {
      if (e.type() == "round") at = e.v["round"].asInt();
      if (e.type() == "values" && at == round && e.v["source"].asString() == "round") {
        Fields(e.v, values);
      }
    }
    return values;
  }
  // The fields of a values line that kScenarioValues names, a state by the
  // code of its word.
  static void Fields(const Json::Value& line, std::map<std::string, float>& values) {
    const Json::Value& fields = line["fields"];
    for (const auto& name : fields.getMemberNames()) {
      const std::string key = line["device"].asString() + " " + name;
      if (kScenarioValues.count(key) == 0) continue;
      const Json::Value& v = fields[name];
      values[key] = v.isString() ? (v.asString() == "normal" ? 0.0f : -1.0f) : v.asFloat();
    }
  }
  void Set(const std::string& pointer, const std::string& json) {
    std::string error;
    ASSERT_TRUE(sim_->Set(pointer, ParseJson(json), error)) << error;
  }

  std::string db_, port_;
  std::unique_ptr<psma_sim::SimServer> sim_;
  std::unique_ptr<korv_host::Runner> runner_;
  std::mutex mutex_;
  std::vector<Event> events_;
};

TEST_F(EndToEnd, ValuesAreTheScenariosAndAlarmsRaiseAndClearWithItsStates) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  ASSERT_NO_FATAL_FAILURE(StartRunner());
  ASSERT_NO_FATAL_FAILURE(Round(1));
  EXPECT_EQ(RoundValues(1), kScenarioValues);
  EXPECT_TRUE(Events("alarm").empty());

  Set("/dc/0/v_alert", "1");
  Set("/ac/0/channels/0/alerts", "[2, 0, 0, 0]");
  Set("/rc/modules/1/user_alarms", "[0, 1, 0, 0]");
  ASSERT_NO_FATAL_FAILURE(Round(2));
  const auto raised = Events("alarm");
  std::vector<std::string> told;
  for (const auto& e : raised) {
    told.push_back(e.v["device"].asString() + " " + e.v["key"].asString() + " " +
                   e.v["code"].asString() + " " + e.v["level"].asString() + " " +
                   e.v["state"].asString());
  }
  std::sort(told.begin(), told.end());
  EXPECT_EQ(told, (std::vector<std::string>{"1 PSMA_RC_1 06025 4 raised", "11 AC_4 06014 2 raised",
                                            "21 DC_0 06008 3 raised"}));
  for (const auto& e : raised) {
    if (e.v["key"] == "AC_4") {
      EXPECT_EQ(e.v["description"].asString(), "交流屏1输入线/相电压AB/A");
    }
    if (e.v["key"] == "PSMA_RC_1") {
      EXPECT_EQ(e.v["description"].asString(), "第2模块风扇告警");
    }
  }

  Set("/dc/0/v_alert", "0");
  Set("/ac/0/channels/0/alerts", "[0, 0, 0, 0]");
  Set("/rc/modules/1/user_alarms", "[0, 0, 0, 0]");
  ASSERT_NO_FATAL_FAILURE(Round(3));
  const auto all = Events("alarm");
  ASSERT_EQ(all.size(), 6u);
  for (std::size_t k = 3; k < 6; ++k) EXPECT_EQ(all[k].v["state"].asString(), "cleared");
  EXPECT_EQ(RoundValues(3), kScenarioValues);

  runner_->Stop();  // the worker finishes: every round's history is saved
  korv_host::Store store;
  std::string error;
  ASSERT_TRUE(store.Open(db_, error)) << error;
  EXPECT_EQ(store.HistoryCount(11, "psma-ac"), 3);
  EXPECT_EQ(store.HistoryCount(21, "psma-dc"), 3);
  EXPECT_EQ(store.HistoryCount(1, "psma-rc"), 3);
}

TEST_F(EndToEnd, ARestartAnswersFromTheCacheBeforeItsFirstRound) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  ASSERT_NO_FATAL_FAILURE(StartRunner());
  ASSERT_NO_FATAL_FAILURE(Round(1));
  runner_->Stop();
  runner_.reset();

  Set("/dc/0/v", "48");  // the unit moved on while the host was away
  ASSERT_NO_FATAL_FAILURE(StartRunner());
  ASSERT_NO_FATAL_FAILURE(Round(1));
  const auto events = All();
  ASSERT_FALSE(events.empty());
  std::map<std::string, float> cached;
  std::size_t k = 0;
  for (; k < events.size() && events[k].type() != "round"; ++k) {
    if (events[k].type() == "values") {
      EXPECT_EQ(events[k].v["source"].asString(), "cache");
      Fields(events[k].v, cached);
    }
  }
  EXPECT_EQ(cached, kScenarioValues) << "the last round of the first run, before any round";
  EXPECT_EQ(RoundValues(1)["21 output.voltage"], 48.0f);
}

TEST_F(EndToEnd, FaultsCostAtMostTheirExchange) {
  psma_sim::FaultPlan plan;
  plan.garbage_every = 3;
  plan.corrupt_every = 5;
  plan.drop_every = 7;
  plan.delay_every = 11;
  plan.delay_ms = 500;  // past the answer time: the exchange is lost, the late answer discarded
  ASSERT_NO_FATAL_FAILURE(StartSim(plan));
  sim_->Inject(psma_sim::FaultKind::kDelay, 60);  // within the answer time: no loss at all
  ASSERT_NO_FATAL_FAILURE(StartRunner());
  const int rounds = 6;
  for (int n = 1; n <= rounds; ++n) {
    ASSERT_NO_FATAL_FAILURE(Round(n));
    EXPECT_EQ(RoundValues(n), kScenarioValues) << "round " << n;
  }
  EXPECT_TRUE(Events("alarm").empty()) << "no fault may look like an alarm";
  const auto& stats = sim_->Stats();
  EXPECT_GT(stats.dropped.load(), 0);
  EXPECT_GT(stats.corrupted.load(), 0);
  EXPECT_GT(stats.garbled.load(), 0);
  EXPECT_GT(stats.delayed.load(), 1);
  EXPECT_FALSE(Events("fault").empty()) << "corrupted answers are told";

  runner_->Stop();
  korv_host::Store store;
  std::string error;
  ASSERT_TRUE(store.Open(db_, error)) << error;
  EXPECT_EQ(store.HistoryCount(11, "psma-ac"), rounds);
  EXPECT_EQ(store.HistoryCount(21, "psma-dc"), rounds);
  EXPECT_EQ(store.HistoryCount(1, "psma-rc"), rounds);
}

TEST_F(EndToEnd, AUnitThatStopsAnsweringIsToldAndItsValuesGoStale) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  ASSERT_NO_FATAL_FAILURE(StartRunner());
  ASSERT_NO_FATAL_FAILURE(Round(1));
  sim_->SetSilent(true);
  korv::AdvanceLocalNow(2);
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& e : Events("link")) {
      if (e.v["state"] == "not answering") return true;
    }
    return false;
  }));
  EXPECT_EQ(Events("fault").size(), 1u) << "one warning before";
  const auto children = runner_->Children(1);
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(children[1]->Get_Value(0, "v"), 53.5f) << "2 seconds old: still served";
  korv::AdvanceLocalNow(59);  // 61 seconds after the last round
  for (const auto& child : children) {
    try {
      child->Get_Value(0, child->DeviceType() == "psma-ac" ? "channel_0_a" : "v");
      ADD_FAILURE() << child->DeviceType() << " still answers";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "数据已超时") << child->DeviceType();
    }
  }
  sim_->SetSilent(false);
  ASSERT_TRUE(WaitFor([&] {
    const auto links = Events("link");
    return links.back().v["text"] == "answering again";
  }));
  const int before = runner_->Rounds(1);
  ASSERT_TRUE(WaitFor([&] { return runner_->Rounds(1) > before; }));
  EXPECT_EQ(children[1]->Get_Value(0, "v"), 53.5f) << "fresh again after a round";
}

}  // namespace
