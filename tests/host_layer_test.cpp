// The stand-in host: log rendering, alarm state, the threshold worker, the
// clock, the time stamp and the exchange bookkeeping of the protocol layer.

#include <gtest/gtest.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "host/pmbus_protocol.h"
#include "host/ttime.h"
#include "support/host_fixture.h"
#include "support/json.h"

using testing_support::HostFixture;

namespace {

// A minimal device to drive the host services.
class ProbeDevice : public PMBusProtocol {
 public:
  ProbeDevice() { type_name_ = "probe"; }
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }
  bool process_payload() override {
    ++answers;
    if (reply) write_pmbus_cmd(0x41, 0x41);
    return true;
  }
  int answers = 0;
  bool reply = false;
};

class HostLayerTest : public HostFixture {
 protected:
  std::shared_ptr<ProbeDevice> Probe(unsigned id = 7) {
    auto d = std::make_shared<ProbeDevice>();
    d->Init(controller, id, Json::Value());
    return d;
  }
};

TEST_F(HostLayerTest, InfoLogRendersPlaceholdersWithEightBitCountsAsNumbers) {
  auto d = Probe();
  d->InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", 7u, std::uint8_t{2},
             std::uint8_t{0});
  d->InfoLog("no placeholders");
  d->InfoLog("too few {} {}", 1);  // a bad format is logged as it stands, never thrown
  EXPECT_EQ(observer->Calls(),
            (std::vector<std::string>{"log 7 PMBusPowerAC:ProcotolError 7 read 40_41 p is 2 not 0",
                                      "log 7 no placeholders", "log 7 too few {} {}"}));
}

TEST_F(HostLayerTest, InfoLogWithoutControllerDoesNothing) {
  ProbeDevice lonely;
  lonely.InfoLog("x {}", 1);
  EXPECT_TRUE(observer->Calls().empty());
}

TEST_F(HostLayerTest, AlarmTransitionsPerDeviceKeyAndDescription) {
  using T = korv::AlarmTransition;
  auto d = Probe(7);
  auto other = Probe(8);
  struct Step {
    ProbeDevice* dev;
    const char* description;
    bool active;
    T expected;
  };
  const Step steps[] = {
      {d.get(), "ch1", false, T::None},  // first inactive check: nothing to clear
      {d.get(), "ch1", true, T::Raised},
      {d.get(), "ch2", false, T::None},       // the neighbour does not clear channel 1
      {d.get(), "ch1", true, T::None},        // still active: no second raise
      {other.get(), "ch1", true, T::Raised},  // same key and text on another device
      {d.get(), "ch1", false, T::Cleared},
      {d.get(), "ch1", false, T::None},
  };
  for (const auto& s : steps) {
    observer->Clear();
    s.dev->CheckThresholdBool(3, "AC_0", "06015", "name", s.description, s.active, 1);
    ASSERT_EQ(observer->Checks().size(), 1u);
    EXPECT_EQ(observer->Checks()[0].transition, s.expected) << s.description << s.active;
  }
  EXPECT_TRUE(controller->IsRaised(8, "AC_0", "ch1"));
  EXPECT_FALSE(controller->IsRaised(7, "AC_0", "ch1"));
}

TEST_F(HostLayerTest, AlertMapRaisesOnEveryNonZeroChangeAndClearsOnZero) {
  using T = korv::AlarmTransition;
  auto d = Probe();
  const std::map<std::uint8_t, std::string> texts{{0, "正常"}, {1, "欠压"}, {2, "过压"}};
  const struct {
    std::uint8_t value;
    T expected;
    const char* text;
  } steps[] = {{0, T::None, "正常"}, {1, T::Raised, "欠压"}, {2, T::Raised, "过压"},
               {2, T::None, "过压"}, {5, T::Raised, "5"},    {0, T::Cleared, "正常"}};
  for (const auto& s : steps) {
    observer->Clear();
    d->CheckAlertMap(s.value, 2, "PSMA_DC_11", "06029", "电池组1电压异常", "其他告警", texts, 12);
    ASSERT_EQ(observer->Checks().size(), 1u);
    EXPECT_EQ(observer->Checks()[0].transition, s.expected) << int(s.value);
    EXPECT_EQ(observer->Checks()[0].state_text, s.text);
  }
}

TEST_F(HostLayerTest, WorkerRunsItemsInOrderOnItsOwnThreadAndKeepsTheDeviceAlive) {
  std::weak_ptr<ProbeDevice> watch;
  std::vector<int> order;
  std::thread::id ran_on;
  std::atomic<bool> alive_in_item{false};
  {
    auto d = Probe();
    watch = d;
    std::mutex gate;
    gate.lock();  // hold the worker until the caller has dropped its share
    d->CheckThresholdWork([&gate] { std::lock_guard<std::mutex> g(gate); });
    d->CheckThresholdWork(
        [keep = std::shared_ptr<ProbeDevice>(d), &order, &ran_on, &alive_in_item, &watch] {
          order.push_back(1);
          ran_on = std::this_thread::get_id();
          alive_in_item = !watch.expired();
          (void)keep;
        });
    d->CheckThresholdWork([&order] { order.push_back(2); });
    d.reset();
    EXPECT_FALSE(watch.expired());  // the queued item holds it
    gate.unlock();
    controller->DrainWork();
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(ran_on, controller->WorkerThreadId());
  EXPECT_NE(ran_on, std::this_thread::get_id());
  EXPECT_TRUE(alive_in_item);
  EXPECT_TRUE(watch.expired());  // released once the item ran
}

TEST_F(HostLayerTest, WorkItemThatThrowsIsLoggedAndTheWorkerGoesOn) {
  auto d = Probe();
  bool after = false;
  d->CheckThresholdWork([] { throw std::runtime_error("boom"); });
  d->CheckThresholdWork([&after] { after = true; });
  controller->DrainWork();
  EXPECT_TRUE(after);
  EXPECT_EQ(observer->Calls("log").size(), 1u);
}

TEST_F(HostLayerTest, ClockIsSettableAndAgesCountWholeSeconds) {
  auto d = Probe();
  const auto t0 = korv::LocalNow();
  d->SetLastUpdate(t0);
  EXPECT_EQ(d->DataAgeSeconds(), 0);
  korv::AdvanceLocalNow(61);
  EXPECT_EQ(d->DataAgeSeconds(), 61);
  korv::AdvanceLocalNow(-100);
  EXPECT_EQ(d->DataAgeSeconds(), -39);
  EXPECT_EQ(d->LastUpdate(), t0);
}

// The engine wakes a couple of milliseconds after the wall clock's second
// turns; the root's pacing must read the new second by then, or a round due
// at that turn waits for the next one (3 s apart instead of 2). Sampled from
// just before each turn to well past a clock tick after it.
TEST(LocalClock, TurnsWithTheWallClocksSecond) {
  korv::UseSystemClock();
  using std::chrono::system_clock;
  using namespace std::chrono_literals;
  for (int turn = 0; turn < 3; ++turn) {
    const auto next =
        std::chrono::ceil<std::chrono::seconds>(system_clock::now().time_since_epoch() + 1us);
    std::this_thread::sleep_until(system_clock::time_point(next - 1ms));
    while (system_clock::now().time_since_epoch() < next + 15ms) {
      const auto fine = boost::posix_time::microsec_clock::local_time();
      const auto now = korv::LocalNow();
      ASSERT_GE(korv::ToEpochSeconds(now), korv::ToEpochSeconds(fine)) << "turn " << turn;
    }
  }
}

TEST(TimeStamp, LayoutIsYearLowHighMonthDayHourMinuteSecond) {
  const auto t = boost::posix_time::time_from_string("2026-12-07 08:09:05");
  EXPECT_EQ(get_ttime(t), (ttime{0xEA, 0x07, 12, 7, 8, 9, 5}));
  EXPECT_EQ(get_ttime(korv::LocalTime(boost::posix_time::not_a_date_time)), ttime{});
}

TEST_F(HostLayerTest, ExchangeEndsOnResetOnRefusalAndOnLinkError) {
  auto d = Probe();
  EXPECT_TRUE(d->RefreshStatus());
  d->write_pmbus_cmd(0x40, 0x41);
  EXPECT_FALSE(d->RefreshStatus()) << "an exchange is outstanding";

  const std::uint8_t frame[6] = {0x20, 0x01, 0x40, 0x00, 0x00, 0x00};
  d->reply = true;  // the handler sends the next request itself
  d->HandleAnswer(frame, sizeof frame);
  EXPECT_FALSE(d->RefreshStatus());
  d->reply = false;  // a refused answer sends nothing: the exchange is over
  d->HandleAnswer(frame, sizeof frame);
  EXPECT_TRUE(d->RefreshStatus());

  d->write_pmbus_cmd(0x40, 0x41);
  d->process_error(1, "timeout");
  EXPECT_TRUE(d->RefreshStatus());
  EXPECT_FALSE(d->IsDataReady()) << "no round was completed";
}

TEST_F(HostLayerTest, ResetAfterAChildPublishedMakesTheRootReadyAndStampsIt) {
  auto root = Probe(1);
  auto child = std::make_shared<ProbeDevice>();
  child->InitV(root.get(), 2, Json::Value());
  korv::AdvanceLocalNow(30);

  root->write_pmbus_cmd(0x40, 0x41);
  root->Reset();  // abandoned round: nothing published
  EXPECT_FALSE(root->IsDataReady());

  root->write_pmbus_cmd(0x41, 0x41);
  korv::AdvanceLocalNow(1);  // the round's end lies a second after its start
  const std::uint8_t block[3] = {1, 2, 3};
  child->SendSP(5157, block, 3, false);
  root->Reset();
  EXPECT_TRUE(root->IsDataReady());
  EXPECT_EQ(root->DataAgeSeconds(), 1) << "the pacing counts from the round's first request";
  EXPECT_EQ(observer->Calls(),
            (std::vector<std::string>{"request 1 40 41", "reset 1", "request 1 41 41",
                                      "send 2 5157 3", "reset 1"}));
}

TEST_F(HostLayerTest, RequestsAreEncodedWithVersionAndAddressAndWrittenToTheLine) {
  auto d = std::make_shared<ProbeDevice>();
  Json::Value settings;
  settings["address"] = 2;
  ASSERT_TRUE(d->InitSetting(settings));
  std::string line;
  d->AttachLine([&line](const std::uint8_t* b, unsigned n) {
    line.assign(reinterpret_cast<const char*>(b), n);
    return true;
  });
  const std::uint8_t info = 0x02;
  d->SetProtocolVersion(0x20);
  EXPECT_TRUE(d->write_pmbus_cmd(0x46, 0x42, &info, 1));
  EXPECT_EQ(line, "~20024642E00202FD33\r");
}

TEST(ProtocolSettings, AddressMustFitAByte) {
  struct Case {
    const char* json;
    bool ok;
  } cases[] = {{"{}", true},
               {"{\"address\": 255}", true},
               {"{\"address\": 256}", false},
               {"{\"address\": -1}", false},
               {"{\"address\": \"1\"}", false},
               {"[]", false}};
  for (const auto& c : cases) {
    ProbeDevice d;
    EXPECT_EQ(d.InitSetting(testing_support::ParseJson(c.json)), c.ok) << c.json;
  }
}

TEST(ProtocolSettings, BaudIsAStandardLineRate) {
  for (const int baud : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
    ProbeDevice d;
    EXPECT_TRUE(
        d.InitSetting(testing_support::ParseJson("{\"baud\": " + std::to_string(baud) + "}")))
        << baud;
    EXPECT_EQ(d.BaudRate(), baud);
  }
  for (const char* json : {R"({"baud": 0})", R"({"baud": 9601})", R"({"baud": "9600"})"}) {
    ProbeDevice d;
    EXPECT_FALSE(d.InitSetting(testing_support::ParseJson(json))) << json;
  }
}

}  // namespace

TEST_F(HostLayerTest, RefusedAnswersSpaceTheNextPollUntilARoundCompletes) {
  auto root = Probe(1);
  auto child = std::make_shared<ProbeDevice>();
  child->InitV(root.get(), 2, Json::Value());
  const std::uint8_t frame[6] = {0x20, 0x01, 0x40, 0x00, 0x00, 0x00};
  using std::chrono::milliseconds;
  EXPECT_EQ(root->RetryAt(), std::chrono::steady_clock::time_point{}) << "nothing to wait for";

  // Each row: what the answer does, and the wait it leaves before the next poll.
  enum class Answer { kRefused, kNextRequest, kRoundEnd };
  const struct {
    Answer answer;
    long long wait_ms;
  } kRows[] = {
      {Answer::kRefused, 1000},     {Answer::kRefused, 2000},  {Answer::kRefused, 4000},
      {Answer::kNextRequest, 4000}, {Answer::kRefused, 8000},  {Answer::kRefused, 16000},
      {Answer::kRefused, 30000},    {Answer::kRefused, 30000}, {Answer::kRoundEnd, 0},
      {Answer::kRefused, 1000},
  };
  for (const auto& row : kRows) {
    root->write_pmbus_cmd(0x40, 0x41);
    const auto before = std::chrono::steady_clock::now();
    root->reply = row.answer == Answer::kNextRequest;
    if (row.answer == Answer::kRoundEnd) {
      const std::uint8_t block[1] = {1};
      child->SendSP(5157, block, 1, false);
      root->Reset();
    } else {
      root->HandleAnswer(frame, sizeof frame);
    }
    EXPECT_EQ(root->RefusalBackoff().count(), row.wait_ms);
    if (row.answer == Answer::kRefused) {
      EXPECT_GE(root->RetryAt(), before + milliseconds(row.wait_ms));
      EXPECT_FALSE(root->IsProcessing()) << "a refusal ends the exchange";
    }
    if (row.answer == Answer::kRoundEnd) {
      EXPECT_EQ(root->RetryAt(), std::chrono::steady_clock::time_point{});
    }
    if (root->IsProcessing()) root->Reset();
  }
}

TEST_F(HostLayerTest, RepeatedLogLinesAreToldOnceWithTheirCount) {
  // Each row: seconds the clock moves, then a device's line.
  const struct {
    int advance;
    unsigned device;
    const char* line;
  } kRows[] = {
      {0, 1, "refused"}, {1, 1, "refused"}, {2, 1, "refused"},  // held: 2
      {0, 2, "refused"},                                        // another device: told
      {0, 1, "other"},                                          // tells the count first
      {0, 1, "other"},   {61, 1, "other"},                      // window passed
      {0, 3, "x"},       {1, 3, "x"},       {0, 4, "y"},        // 3 holds one
      {60, 4, "z"},                                             // due: 3's count told
      {0, 6, "a"},       {0, 6, "a"},       {0, 6, "b"},        // a count of one told first
      {0, 7, "e"},       {0, 7, "e"},       {60, 8, "f"},       // due at the window's end
      {0, 10, "g"},      {60, 10, "g"},                         // a new window at its end
  };
  controller->Log(9, "off");
  controller->Log(9, "off");  // no window: told as it comes
  controller->SetRepeatWindow(60);
  for (const auto& row : kRows) {
    korv::AdvanceLocalNow(row.advance);
    controller->Log(row.device, row.line);
  }
  controller->Log(5, "w");
  controller->Log(5, "w");
  controller->FlushRepeats();
  EXPECT_EQ(observer->Calls("log"), (std::vector<std::string>{"log 9 off",
                                                              "log 9 off",
                                                              "log 1 refused",
                                                              "log 2 refused",
                                                              "log 1 refused (repeated 2 times)",
                                                              "log 1 other",
                                                              "log 1 other (repeated 1 times)",
                                                              "log 1 other",
                                                              "log 3 x",
                                                              "log 4 y",
                                                              "log 3 x (repeated 1 times)",
                                                              "log 4 z",
                                                              "log 6 a",
                                                              "log 6 a (repeated 1 times)",
                                                              "log 6 b",
                                                              "log 7 e",
                                                              "log 7 e (repeated 1 times)",
                                                              "log 8 f",
                                                              "log 10 g",
                                                              "log 10 g",
                                                              "log 5 w",
                                                              "log 5 w (repeated 1 times)"}));
}
