// The serial port and the polling engine on a pseudo-terminal made in the
// test: the test plays the unit on the master side. Every wait is bounded.

#include "host/polling_engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/serial_port.h"
#include "host/tcp_port.h"
#include "support/host_fixture.h"
#include "support/wait_for.h"

using testing_support::HostFixture;

namespace {

using namespace std::chrono_literals;

using testing_support::WaitFor;

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
    if (!rounds) return true;  // sends nothing: a refusal
    child_published_.store(true);
    Reset();  // each answer a completed round
    return false;
  }
  std::vector<std::vector<std::uint8_t>> Infos() {
    std::lock_guard<std::mutex> lock(m);
    return infos;
  }
  std::atomic<int> asks{0};
  bool rounds = false;
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

std::string Answer(std::vector<std::uint8_t> info, std::uint8_t address = 1) {
  std::vector<std::uint8_t> out;
  yd1363::EncodeRequest(0x20, address, 0x40, 0x00, info.data(), static_cast<unsigned>(info.size()),
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

  // Units 1..n on one line, each with its answer time, asking `asks` times;
  // `rounds`: each answer ends a round.
  std::vector<std::shared_ptr<Asker>> Bus(unsigned n, int timeout_ms, int asks,
                                          bool rounds = false) {
    std::vector<std::shared_ptr<Asker>> askers;
    for (unsigned address = 1; address <= n; ++address) {
      auto one = std::make_shared<Asker>();
      one->Init(controller, address, Json::Value());
      Json::Value settings;
      settings["address"] = address;
      settings["answer_timeout_ms"] = timeout_ms;
      EXPECT_TRUE(one->InitSetting(settings));
      one->asks = asks;
      one->rounds = rounds;
      askers.push_back(one);
    }
    return askers;
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
  const auto started = std::chrono::steady_clock::now();  // before the first request
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
  // However late the test saw the timeout: the request, its timeout and
  // three more come first.
  EXPECT_GE(at + held - started, 1500ms) << "four answer timeouts: 1600 ms";
  EXPECT_LT(held, 3000ms);
}

TEST_F(PollingEngineTest, ABrokenAnswerIsFollowedByTheQuietWaitBeforeTheRepeat) {
  engine->Start();
  asker->asks = 2;
  ASSERT_FALSE(unit.ReadRequest().empty());
  // A frame broken in the middle: the rest of the unit's answer may follow,
  // and the repeat must not go out over it.
  unit.Write("~21012A000000FDA8\r");
  const auto broken = std::chrono::steady_clock::now();
  ASSERT_FALSE(unit.ReadRequest().empty()) << "the request is repeated";
  EXPECT_GE(std::chrono::steady_clock::now() - broken, 350ms) << "quiet for the answer timeout";
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
  EXPECT_EQ(observer->Faults()[0], yd1363::Fault::kPort);
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

// The address a request goes to ("~20" VER, then ADR in hex).
int AddressOf(const std::string& request) {
  return request.size() > 5 ? std::stoi(request.substr(3, 2), nullptr, 16) : -1;
}

TEST_F(PollingEngineTest, UnitsOnOneBusTakeTurnsAndAnAnswerFromAnotherAddressIsNeverTaken) {
  engine->Stop();
  // Unit 2 waits out its answer time after the stray frame, well within
  // the others' wait after their answers (1 s).
  const auto askers = Bus(3, 150, 2);
  const std::vector<std::shared_ptr<PMBusProtocol>> bus(askers.begin(), askers.end());
  korv::PollingEngine::Options options;
  options.port = unit.path;
  options.poll_interval = 10ms;
  korv::PollingEngine busy(bus, options);
  busy.Start();
  // Unit 2's first answer comes from address 3: told under unit 2, never
  // unit 3's answer; unit 2 is asked again at its next turn.
  std::vector<int> order;
  for (int k = 0; k < 6; ++k) {
    const int address = AddressOf(unit.ReadRequest());
    ASSERT_GT(address, 0) << "request " << k;
    order.push_back(address);
    const bool wrong = address == 2 && std::count(order.begin(), order.end(), 2) == 1;
    const auto from = static_cast<std::uint8_t>(wrong ? 3 : address);
    unit.Write(Answer({from}, from));
  }
  ASSERT_TRUE(WaitFor([&] { return askers[0]->Infos().size() + askers[2]->Infos().size() == 4; }));
  busy.Stop();
  EXPECT_EQ(std::vector<int>(order.begin(), order.begin() + 4), (std::vector<int>{1, 2, 3, 2}))
      << "each due unit takes its turn before one goes again";
  EXPECT_EQ(askers[0]->Infos(), (std::vector<std::vector<std::uint8_t>>{{1}, {1}}));
  EXPECT_EQ(askers[1]->Infos(), (std::vector<std::vector<std::uint8_t>>{{2}}));
  EXPECT_EQ(askers[2]->Infos(), (std::vector<std::vector<std::uint8_t>>{{3}, {3}}));
  const auto faults = observer->Calls("link 2 wrong address");
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_NE(faults[0].find("from address 3, expected 2"), std::string::npos) << faults[0];
}

// A server that hangs, or a bus cut off: every unit falls silent at once.
// Each unit is asked twice; then the line is told lost once, each unit not
// answering, and the line is opened again; the first answer after that
// tells it back.
TEST_F(PollingEngineTest, ALineWhoseUnitsAllFallSilentIsTheLinesFault) {
  engine->Stop();
  const auto askers = Bus(4, 50, 1000);
  const std::vector<std::shared_ptr<PMBusProtocol>> bus(askers.begin(), askers.end());
  korv::PollingEngine::Options options;
  options.port = unit.path;
  // Long enough that the line opened again asks nothing before the test
  // has counted the requests of the silent time.
  options.reopen_interval = 1500ms;
  korv::PollingEngine busy(bus, options);
  busy.Start();
  const std::string lost = "link 1 port " + unit.path + ": no unit answers; retrying";
  ASSERT_TRUE(WaitFor([&] { return !observer->Calls(lost).empty(); }, 10s));
  // The line is told first, then its units (on the line's thread, a moment later).
  EXPECT_TRUE(WaitFor(
      [&] {
        return std::none_of(askers.begin(), askers.end(),
                            [](const auto& a) { return a->Answering(); });
      },
      2s));
  // The line comes back: the unit asked next answers (the requests of the
  // silent time, unread, go first).
  std::string silent_time;
  for (pollfd pfd{unit.master, POLLIN, 0}; ::poll(&pfd, 1, 0) > 0;) {
    char b[256];
    const ssize_t n = ::read(unit.master, b, sizeof b);
    if (n <= 0) break;
    silent_time.append(b, static_cast<std::size_t>(n));
  }
  // Two requests a unit: the eighth timeout in a row loses the line.
  EXPECT_EQ(std::count(silent_time.begin(), silent_time.end(), '~'), 8) << silent_time;
  const int address = AddressOf(unit.ReadRequest(8000ms));
  ASSERT_GE(address, 1);
  unit.Write(Answer({1}, static_cast<std::uint8_t>(address)));
  ASSERT_TRUE(WaitFor([&] { return askers[static_cast<std::size_t>(address) - 1]->Answering(); }));
  busy.Stop();
  EXPECT_EQ(observer->Calls("link 1 port"),
            (std::vector<std::string>{lost, "link 1 port " + unit.path + " open again"}));
}

// Unit 1 waits out its refusal; units 2 and 3 time out. The turn passes to
// the unit after the one that had the line, not after the one skipped.
TEST_F(PollingEngineTest, AUnitWaitingOutItsRefusalIsSkippedAndTheRotationGoesOn) {
  engine->Stop();
  const auto askers = Bus(3, 30, 1000);
  const std::vector<std::shared_ptr<PMBusProtocol>> bus(askers.begin(), askers.end());
  korv::PollingEngine::Options options;
  options.port = unit.path;
  korv::PollingEngine busy(bus, options);
  busy.Start();
  ASSERT_EQ(AddressOf(unit.ReadRequest()), 1);
  unit.Write(Answer({1}, 1));  // taken, and refused: 1 s before unit 1 is asked again
  std::vector<int> order;
  for (int k = 0; k < 4; ++k) order.push_back(AddressOf(unit.ReadRequest(900ms)));
  busy.Stop();
  EXPECT_EQ(order, (std::vector<int>{2, 3, 2, 3}));
}

// Three of four units on a line fall silent. Once they are told not
// answering they share one probe per 5 s of the line between them, instead
// of one each: the unit that answers keeps the line, and waits for no probe.
TEST_F(PollingEngineTest, LostUnitsShareOneProbeOfTheLine) {
  engine->Stop();
  const auto askers = Bus(4, 30, 100000, true);
  const std::vector<std::shared_ptr<PMBusProtocol>> bus(askers.begin(), askers.end());
  korv::PollingEngine::Options options;
  options.port = unit.path;
  korv::PollingEngine busy(bus, options);
  busy.Start();
  // Unit 1 answers every request, each answer a round: contact, and no wait.
  std::vector<std::uint8_t> refusal;
  yd1363::EncodeRequest(0x20, 1, 0x40, 0x00, nullptr, 0, refusal);
  // Serves for `span` or until `done`; when each lost unit was asked, and
  // the longest time unit 1 went unasked.
  std::chrono::steady_clock::duration longest{};
  const auto serve = [&](std::chrono::milliseconds span, const std::function<bool()>& done) {
    std::vector<std::chrono::steady_clock::time_point> probes;
    const auto end = std::chrono::steady_clock::now() + span;
    auto last = std::chrono::steady_clock::now();
    longest = {};
    while (std::chrono::steady_clock::now() < end && !done()) {
      const int address = AddressOf(unit.ReadRequest(200ms));
      const auto now = std::chrono::steady_clock::now();
      if (address == 1) {
        unit.Write(std::string(refusal.begin(), refusal.end()));
        longest = std::max(longest, now - last);
        last = now;
      }
      if (address > 1) probes.push_back(now);
    }
    longest = std::max(longest, std::chrono::steady_clock::now() - last);
    return probes;
  };
  const auto all_lost = [&] {
    return !askers[1]->Answering() && !askers[2]->Answering() && !askers[3]->Answering();
  };
  serve(10s, all_lost);
  ASSERT_TRUE(all_lost());
  // Each lost unit is due 5 s after its loss; one probe of the line in 5 s.
  const auto probes = serve(11s, [] { return false; });
  ASSERT_FALSE(probes.empty());
  for (std::size_t k = 1; k < probes.size(); ++k) {
    EXPECT_GE(probes[k] - probes[k - 1], 4900ms) << "probe " << k;
  }
  // A probe's wait is the lost units' alone: unit 1 is asked on between them.
  EXPECT_LT(longest, 2s);
  busy.Stop();
}

// Units that have not answered yet, or time out, take the line once for each
// round of the answering unit, not each a turn of their own: three silent
// units beside a live one leave it every other request, not every fourth.
TEST_F(PollingEngineTest, SilentUnitsTakeTheLineOnceForEachRoundOfAnAnsweringOne) {
  engine->Stop();
  const auto askers = Bus(4, 30, 100000, true);
  const std::vector<std::shared_ptr<PMBusProtocol>> bus(askers.begin(), askers.end());
  korv::PollingEngine::Options options;
  options.port = unit.path;
  korv::PollingEngine busy(bus, options);
  busy.Start();
  std::vector<std::uint8_t> answer;
  yd1363::EncodeRequest(0x20, 1, 0x40, 0x00, nullptr, 0, answer);
  std::vector<int> asked;
  while (asked.size() < 14) {
    const int address = AddressOf(unit.ReadRequest(2s));
    ASSERT_GT(address, 0) << "a request within 2 s";
    asked.push_back(address);
    if (address == 1) unit.Write(std::string(answer.begin(), answer.end()));
  }
  busy.Stop();
  // A first turn each; then, once every answering unit had its turn, one
  // silent unit, in turn: the live one every other request.
  EXPECT_EQ(asked, (std::vector<int>{1, 2, 3, 4, 2, 1, 3, 1, 4, 1, 2, 1, 3, 1}));
}

// The link states a unit is told.
class LinkStates : public korv::HostObserver {
 public:
  void OnLinkState(unsigned, bool, const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_);
    texts_.push_back(text);
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(m_);
    return texts_;
  }

 private:
  std::mutex m_;
  std::vector<std::string> texts_;
};

// A serial device server's end: listens on a loopback port, serves one
// connection.
class FakeServer {
 public:
  explicit FakeServer(std::uint16_t at = 0) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(at);
    socklen_t size = sizeof a;
    ok = ::bind(listener_, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
         ::listen(listener_, 1) == 0 &&
         ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) == 0;
    this->port = ntohs(a.sin_port);
  }
  ~FakeServer() {
    if (listener_ >= 0) ::close(listener_);
  }
  // Waits for the engine's connection and hands it to `unit`, which plays
  // the unit on it (and closes it).
  bool Accept(FakeUnit& unit, std::chrono::milliseconds limit = 5000ms) {
    pollfd pfd{listener_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(limit.count())) <= 0) return false;
    unit.CloseMaster();
    unit.master = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return unit.master >= 0;
  }

  bool ok = false;
  std::uint16_t port = 0;

 private:
  int listener_ = -1;
};

TEST_F(PollingEngineTest, ASerialServerLostAndBackIsTheUnitNotAnsweringAndAnsweringAgain) {
  engine->Stop();
  auto links = std::make_shared<LinkStates>();
  controller->SetObserver(links);
  asker->asks = 1000;
  korv::PollingEngine::Options options;
  std::uint16_t port = 0;
  {
    FakeServer server;
    ASSERT_TRUE(server.ok);
    port = server.port;
    options.port = "tcp://127.0.0.1:" + std::to_string(port);
    options.reopen_interval = 50ms;
    engine = std::make_unique<korv::PollingEngine>(asker, options);
    engine->Start();
    FakeUnit served;
    ASSERT_TRUE(server.Accept(served));
    ASSERT_FALSE(served.ReadRequest().empty());
    served.Write(Answer({1}));
    ASSERT_TRUE(WaitFor([&] { return asker->Infos().size() == 1; }));
  }  // the server goes, and the connection with it
  ASSERT_TRUE(WaitFor([&] { return links->Texts().size() >= 2; }));
  EXPECT_EQ(links->Texts()[1], "line lost: connection closed by the server");
  FakeServer again(port);
  ASSERT_TRUE(again.ok);
  FakeUnit served;
  ASSERT_TRUE(again.Accept(served)) << "the engine connects again";
  ASSERT_FALSE(served.ReadRequest().empty());
  served.Write(Answer({2}));
  ASSERT_TRUE(WaitFor([&] { return links->Texts().size() >= 3; }));
  EXPECT_EQ(links->Texts(),
            (std::vector<std::string>{"answering", "line lost: connection closed by the server",
                                      "answering again"}));
}

// A server whose device is gone accepts and closes at once: every such
// connection counts as a failure, so the waits grow as when it refuses, and
// the loss is told once; the line's first valid answer tells it back, with
// the count.
TEST_F(PollingEngineTest, AServerThatAcceptsAndClosesIsBackedOffAndToldOnce) {
  engine->Stop();
  FakeServer server;
  ASSERT_TRUE(server.ok);
  const std::string port = "tcp://127.0.0.1:" + std::to_string(server.port);
  korv::PollingEngine::Options options;
  options.port = port;
  options.reopen_interval = 50ms;
  engine = std::make_unique<korv::PollingEngine>(asker, options);
  asker->asks = 1000;
  engine->Start();
  // Waits of 50, 100, 200 and 400 ms: five connections at most in 700 ms.
  int closed = 0;
  const auto end = std::chrono::steady_clock::now() + 700ms;
  for (FakeUnit served; std::chrono::steady_clock::now() < end;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (!server.Accept(served, std::max(left, 1ms))) continue;
    served.ReadRequest(500ms);  // nothing unread: a plain close, not a reset
    served.CloseMaster();
    ++closed;
  }
  EXPECT_GE(closed, 2);
  EXPECT_LE(closed, 5);
  FakeUnit served;
  ASSERT_TRUE(server.Accept(served)) << "the engine connects again";
  ASSERT_FALSE(served.ReadRequest().empty());
  served.Write(Answer({1}));
  ASSERT_TRUE(WaitFor([&] { return observer->Calls("link 1 port").size() >= 2; }));
  EXPECT_EQ(observer->Calls("link 1 port"),
            (std::vector<std::string>{
                "link 1 port " + port + ": connection closed by the server; retrying",
                "link 1 port " + port + " open again after " + std::to_string(closed) +
                    " failed attempts"}));
}

// Waits of 20, 40, 80, then 100 ms each: the cap holds the line's retries
// at one a cap's time, not one in ever longer waits.
TEST_F(PollingEngineTest, TheReconnectWaitStopsGrowingAtItsCap) {
  engine->Stop();
  FakeServer server;
  ASSERT_TRUE(server.ok);
  korv::PollingEngine::Options options;
  options.port = "tcp://127.0.0.1:" + std::to_string(server.port);
  options.reopen_interval = 20ms;
  options.max_reopen_interval = 100ms;
  engine = std::make_unique<korv::PollingEngine>(asker, options);
  asker->asks = 1000;
  engine->Start();
  // In 1.5 s: about 14 connections with the cap, 7 at most without it.
  int closed = 0;
  const auto end = std::chrono::steady_clock::now() + 1500ms;
  for (FakeUnit served; std::chrono::steady_clock::now() < end;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (!server.Accept(served, std::max(left, 1ms))) continue;
    served.CloseMaster();
    ++closed;
  }
  EXPECT_GE(closed, 9);
}

// What a line's settings leave out: the runner sets only the idle sleep.
TEST_F(PollingEngineTest, ALineHasItsDefaultsAndGivesItsUnitsTheRepeatWindow) {
  const korv::PollingEngine::Options defaults;
  EXPECT_EQ(defaults.baud, 0);
  EXPECT_EQ(defaults.poll_interval, 1000ms);
  EXPECT_EQ(defaults.reopen_interval, 1000ms);
  EXPECT_EQ(defaults.max_reopen_interval, 30000ms);
  EXPECT_EQ(defaults.connect_timeout, 3000ms);
  engine->Start();
  EXPECT_EQ(controller->RepeatWindow(), 60);
}

TEST(TcpPort, AServerAddressIsTcpHostPort) {
  const struct {
    const char* port;
    const char* host;  // nullptr: refused
    std::uint16_t number;
  } cases[] = {
      {"tcp://10.0.0.7:4001", "10.0.0.7", 4001},
      {"tcp://moxa-3:950", "moxa-3", 950},
      {"tcp://[::1]:4001", "::1", 4001},
      {"TCP://10.0.0.7:4001", "10.0.0.7", 4001},
      {"tcp://10.0.0.7", nullptr, 0},
      {"tcp://:4001", nullptr, 0},
      {"tcp://h:0", nullptr, 0},
      {"tcp://h:65536", nullptr, 0},
      {"tcp://h:40x", nullptr, 0},
      {"tcp://::1:4001", nullptr, 0},
      {"/dev/ttyS0", nullptr, 0},
  };
  for (const auto& c : cases) {
    std::string host, error;
    std::uint16_t number = 0;
    const bool ok = korv::ParseTcpPort(c.port, host, number, error);
    EXPECT_EQ(ok, c.host != nullptr) << c.port;
    if (c.host == nullptr) {
      EXPECT_EQ(error, std::string("\"") + c.port + "\" is not tcp://HOST:PORT");
      continue;
    }
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(number, c.number);
  }
  // The scheme alone is a TCP address (a bad one), not a device's name.
  EXPECT_TRUE(korv::IsTcpPort("tcp://"));
  EXPECT_FALSE(korv::IsTcpPort("tcp:/"));
  std::string to;
  {
    FakeServer gone;
    to = "tcp://127.0.0.1:" + std::to_string(gone.port);
  }  // nothing listens there now
  korv::TcpPort refused;
  EXPECT_FALSE(refused.Connect(to, 500ms));
  EXPECT_EQ(refused.Error().rfind("cannot connect to " + to + ": ", 0), 0u) << refused.Error();
}

// A server whose queue of connections is full: a connect to it hangs.
class FullServer {
 public:
  FullServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ok = ::bind(listener_, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
         ::listen(listener_, 0) == 0 &&
         ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) == 0;
    for (int k = 0; ok && k < 3; ++k) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), size);
      fillers_.push_back(fd);
    }
    port = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  }
  ~FullServer() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  bool ok = false;
  std::string port;

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
};

TEST_F(PollingEngineTest, StopDuringAConnectIsPromptAndNoFaultOfTheLine) {
  engine->Stop();
  FullServer server;
  ASSERT_TRUE(server.ok);
  {
    korv::TcpPort hanging;
    ASSERT_FALSE(hanging.Connect(server.port, 200ms));
    ASSERT_NE(hanging.Error().find("timed out"), std::string::npos)
        << "the connect must hang: " << hanging.Error();
  }
  {
    // Woken meanwhile (the engine's Stop()): the connect ends at once and
    // says so, not "Connection timed out".
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    std::thread waker([&] {
      std::this_thread::sleep_for(100ms);
      [[maybe_unused]] const ssize_t put = ::write(wake[1], "x", 1);
    });
    korv::TcpPort stopped;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(stopped.Connect(server.port, 10000ms, wake[0]));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(stopped.Error(), "cannot connect to " + server.port + ": stopped");
    waker.join();
    ::close(wake[0]);
    ::close(wake[1]);
  }
  korv::PollingEngine::Options options;
  options.port = server.port;
  options.connect_timeout = 10000ms;
  engine = std::make_unique<korv::PollingEngine>(asker, options);
  asker->asks = 1;
  engine->Start();
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  engine->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(observer->Calls("link").empty()) << observer->Calls("link")[0];
}

// A resolver that never answers in time (a name server that is gone): the
// lookup is abandoned at the connect's limit, or at once when stopped.
int HangingResolver(const char*, const char*, const addrinfo*, addrinfo**) {
  std::this_thread::sleep_for(3s);
  return EAI_AGAIN;
}

TEST(TcpPort, AHangingNameLookupHoldsNeitherAStopNorTheLineBeyondItsLimit) {
  korv::TcpPort::SetResolver(&HangingResolver);
  int wake[2];
  ASSERT_EQ(::pipe(wake), 0);
  const struct {
    std::chrono::milliseconds limit;
    bool stop;  // woken 100 ms in
    const char* error;
  } rows[] = {
      {200ms, false, "cannot find hanging.invalid: no answer from the resolver within 200 ms"},
      {10000ms, true, "cannot find hanging.invalid: stopped"},
  };
  for (const auto& row : rows) {
    std::thread waker([&] {
      std::this_thread::sleep_for(100ms);
      if (row.stop) [[maybe_unused]]
        const ssize_t put = ::write(wake[1], "x", 1);
    });
    korv::TcpPort line;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(line.Connect("tcp://hanging.invalid:4001", row.limit, wake[0]));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << row.error;
    EXPECT_EQ(line.Error(), row.error);
    waker.join();
  }
  korv::TcpPort::SetResolver(nullptr);
  ::close(wake[0]);
  ::close(wake[1]);
}

TEST(TcpPort, AWriteLargerThanTheSocketTakesGoesOutWhole) {
  FakeServer server;
  ASSERT_TRUE(server.ok);
  korv::TcpPort port;
  ASSERT_TRUE(port.Connect("tcp://127.0.0.1:" + std::to_string(server.port), 2000ms));
  FakeUnit far;
  ASSERT_TRUE(server.Accept(far));
  const std::vector<std::uint8_t> big(8 << 20, 'x');  // far beyond the socket's buffers
  std::size_t received = 0;
  std::thread reader([&] {
    char b[65536];
    for (;;) {
      pollfd pfd{far.master, POLLIN, 0};
      if (::poll(&pfd, 1, 5000) <= 0) return;
      const ssize_t got = ::read(far.master, b, sizeof b);
      if (got <= 0) return;
      received += static_cast<std::size_t>(got);
      if (received >= big.size()) return;
    }
  });
  EXPECT_TRUE(port.Write(big.data(), static_cast<unsigned>(big.size()), 10000ms)) << port.Error();
  reader.join();
  EXPECT_EQ(received, big.size());
}

TEST(TcpPort, AResetIsToldAsAnErrorNotAsAClose) {
  FakeServer server;
  ASSERT_TRUE(server.ok);
  korv::TcpPort port;
  ASSERT_TRUE(port.Connect("tcp://127.0.0.1:" + std::to_string(server.port), 2000ms));
  FakeUnit far;
  ASSERT_TRUE(server.Accept(far));
  const linger reset{1, 0};  // close with a reset
  ASSERT_EQ(::setsockopt(far.master, SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
  far.CloseMaster();
  std::uint8_t b[16];
  EXPECT_EQ(port.Read(b, sizeof b, 2000ms), -1);
  EXPECT_EQ(port.Error(), "recv: Connection reset by peer");
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

// Whether the tty refuses others now: a program without root's leave gets
// EBUSY; root may look at the flag. Unknown where neither tells (qemu).
std::optional<bool> HeldExclusive(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? std::optional<bool>(true) : std::nullopt;
  int held = 0;
  const bool told = ::ioctl(fd, TIOCGEXCL, &held) == 0;
  ::close(fd);
  return told ? std::optional<bool>(held != 0) : std::nullopt;
}

// One port, two spellings (the pseudo-terminal's own name and a link to it):
// the second program to open it is refused with one clear line, and finds it
// free once the first has closed it, also of the tty's own hold.
TEST(SerialPort, APortHeldByOneIsRefusedToAnotherUnderAnyName) {
  FakeUnit unit;
  ASSERT_TRUE(unit.ok);
  const std::string link = ::testing::TempDir() + "korv-port-link-" + std::to_string(::getpid());
  ::unlink(link.c_str());
  ASSERT_EQ(::symlink(unit.path.c_str(), link.c_str()), 0);
  korv::SerialPort first, second;
  ASSERT_TRUE(first.Open(unit.path, 9600)) << first.Error();
  EXPECT_FALSE(second.Open(link, 9600));
  EXPECT_EQ(second.Error(), "cannot open " + link + ": in use by another program");
  EXPECT_NE(HeldExclusive(unit.path), std::optional<bool>(false));
  first.Close();
  EXPECT_NE(HeldExclusive(unit.path), std::optional<bool>(true)) << "the hold outlived the port";
  EXPECT_TRUE(second.Open(link, 9600)) << second.Error();
  ::unlink(link.c_str());
}

}  // namespace
