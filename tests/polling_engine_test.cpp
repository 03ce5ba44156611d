// The serial port and the polling engine on a pseudo-terminal made in the
// test: the test plays the unit on the master side. Every wait is bounded.

#include "host/polling_engine.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/host_fixture.h"

using testing_support::HostFixture;

namespace {

using namespace std::chrono_literals;

// Polls `done` until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A device that asks 40/51 whenever it is polled and may ask.
class Asker : public PMBusProtocol {
 public:
  Asker() { type_name_ = "asker"; }
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }
  bool RefreshStatus() override {
    if (!KorvSPDevice::RefreshStatus() || asks.load() == 0) return false;
    --asks;
    write_pmbus_cmd(0x40, 0x51);
    return true;
  }
  bool process_payload() override {
    std::lock_guard<std::mutex> lock(m);
    infos.emplace_back(answer_ + 6, answer_ + answer_len_);
    return true;
  }
  std::vector<std::vector<std::uint8_t>> Infos() {
    std::lock_guard<std::mutex> lock(m);
    return infos;
  }
  std::atomic<int> asks{0};
  std::mutex m;
  std::vector<std::vector<std::uint8_t>> infos;
};

// The unit's end of a pseudo-terminal.
class FakeUnit {
 public:
  FakeUnit() {
    int slave = -1;
    ok = ::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0;
    if (ok) {
      path = ::ttyname(slave);
      // Raw until the engine opens it, so nothing written is echoed back.
      termios tio{};
      ::tcgetattr(slave, &tio);
      ::cfmakeraw(&tio);
      ::tcsetattr(slave, TCSANOW, &tio);
      slave_ = slave;
    }
  }
  ~FakeUnit() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  void CloseMaster() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  // Reads one request (up to its CR), or "" after `limit`.
  std::string ReadRequest(std::chrono::milliseconds limit = 5000ms) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.empty() || got.back() != '\r') {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd pfd{master, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char c;
      if (::read(master, &c, 1) == 1) got += c;
    }
    return got;
  }
  void Write(const std::string& s) {
    ASSERT_EQ(::write(master, s.data(), s.size()), ssize_t(s.size()));
  }

  bool ok = false;
  int master = -1;
  std::string path;

 private:
  int slave_ = -1;
};

std::string Answer(std::vector<std::uint8_t> info) {
  std::vector<std::uint8_t> out;
  yd1363::EncodeRequest(0x20, 0x01, 0x40, 0x00, info.data(), static_cast<unsigned>(info.size()),
                        out);
  return {out.begin(), out.end()};
}

class PollingEngineTest : public HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    ASSERT_TRUE(unit.ok);
    asker = std::make_shared<Asker>();
    asker->Init(controller, 1, Json::Value());
    Json::Value settings;
    settings["answer_timeout_ms"] = 400;
    ASSERT_TRUE(asker->InitSetting(settings));
    korv::PollingEngine::Options options;
    options.port = unit.path;
    options.poll_interval = 10ms;
    options.reopen_interval = 50ms;
    engine = std::make_unique<korv::PollingEngine>(asker, options);
  }
  void TearDown() override {
    engine->Stop();
    HostFixture::TearDown();
  }

  FakeUnit unit;
  std::shared_ptr<Asker> asker;
  std::unique_ptr<korv::PollingEngine> engine;
};

TEST_F(PollingEngineTest, RequestOutAnswerInInPieces) {
  std::string error;
  ASSERT_TRUE(engine->Open(error)) << error;
  engine->Start();
  asker->asks = 1;
  EXPECT_EQ(unit.ReadRequest(), "~200140510000FDB3\r");
  const std::string a = Answer({7, 8, 9});
  unit.Write("\x01garbage");
  unit.Write(a.substr(0, 5));
  unit.Write(a.substr(5, 9));
  unit.Write(a.substr(14));
  ASSERT_TRUE(WaitFor([&] { return asker->Infos().size() == 1; }));
  EXPECT_EQ(asker->Infos()[0], (std::vector<std::uint8_t>{7, 8, 9}));
  EXPECT_TRUE(WaitFor([&] { return !asker->IsProcessing(); }));
}

TEST_F(PollingEngineTest, TimeoutThenLateAnswerIsDiscardedAndTheRepeatIsAnswered) {
  engine->Start();
  asker->asks = 2;
  ASSERT_FALSE(unit.ReadRequest().empty());
  // No answer: the engine gives up after the answer budget.
  ASSERT_TRUE(WaitFor([&] { return !asker->IsProcessing(); }));
  // The late answer lands while the engine waits for the line to go quiet.
  unit.Write(Answer({1}));
  ASSERT_FALSE(unit.ReadRequest().empty()) << "the request is repeated";
  unit.Write(Answer({2}));
  ASSERT_TRUE(WaitFor([&] { return asker->Infos().size() == 1; }));
  EXPECT_EQ(asker->Infos()[0], (std::vector<std::uint8_t>{2}));
}

TEST_F(PollingEngineTest, ALineKeptBusyAfterATimeoutHoldsTheNextRequestForThreeTimeouts) {
  engine->Start();
  asker->asks = 2;
  ASSERT_FALSE(unit.ReadRequest().empty());
  // Noise every 50 ms from here on: the line never falls quiet for the
  // answer timeout (400 ms), so only the cap ends the wait.
  std::atomic<bool> noisy{true};
  std::thread noise([&] {
    while (noisy.load()) {
      [[maybe_unused]] const ssize_t put = ::write(unit.master, "x", 1);
      std::this_thread::sleep_for(50ms);
    }
  });
  const bool timed_out = WaitFor([&] { return !asker->IsProcessing(); });
  const auto at = std::chrono::steady_clock::now();
  const std::string again = timed_out ? unit.ReadRequest() : "";
  const auto held = std::chrono::steady_clock::now() - at;
  noisy.store(false);
  noise.join();
  ASSERT_TRUE(timed_out);
  ASSERT_FALSE(again.empty()) << "the wait is capped";
  EXPECT_GE(held, 800ms) << "three answer timeouts: 1200 ms";
  EXPECT_LT(held, 3000ms);
}

TEST_F(PollingEngineTest, LostPortIsReportedOnceAndStopIsPrompt) {
  engine->Start();
  asker->asks = 1;
  ASSERT_FALSE(unit.ReadRequest().empty());
  unit.CloseMaster();
  ASSERT_TRUE(WaitFor([&] { return !observer->Calls("link 1 port").empty(); }));
  EXPECT_TRUE(WaitFor([&] { return !asker->IsProcessing(); }));
  const auto start = std::chrono::steady_clock::now();
  engine->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  const auto lines = observer->Calls("link 1 port");
  EXPECT_NE(lines[0].find(unit.path), std::string::npos) << lines[0];
  EXPECT_LE(lines.size(), 2u) << "told once, not at every retry";
}

TEST_F(PollingEngineTest, ARefusedAnswerIsAskedAgainOnlyAfterItsWait) {
  engine->Start();
  asker->asks = 2;  // the asker takes its answer but asks nothing next: a refusal
  ASSERT_FALSE(unit.ReadRequest().empty());
  const auto answered = std::chrono::steady_clock::now();
  unit.Write(Answer({1}));
  ASSERT_FALSE(unit.ReadRequest().empty()) << "the request is repeated";
  EXPECT_GE(std::chrono::steady_clock::now() - answered, PMBusProtocol::kFirstBackoff);
}

TEST(SerialPort, UnknownPortAndBadRateNameTheProblem) {
  korv::SerialPort port;
  EXPECT_FALSE(port.Open("/dev/no-such-port", 9600));
  EXPECT_EQ(port.Error(), "cannot open /dev/no-such-port: No such file or directory");
  EXPECT_FALSE(korv::IsStandardBaud(9601));
  FakeUnit unit;
  ASSERT_TRUE(unit.ok);
  EXPECT_FALSE(port.Open(unit.path, 9601));
  EXPECT_EQ(port.Error(), "unsupported baud rate 9601");
  EXPECT_TRUE(port.Open(unit.path, 9600)) << port.Error();
  std::uint8_t b[4];
  EXPECT_EQ(port.Read(b, sizeof b, 0ms), 0);
}

}  // namespace
