// The simulator's bus and its TCP server: several units on one line, each
// answering its own address from its own scenario, and a line served over
// TCP on the loopback as a serial device server does.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/core/runner.h"
#include "gateway/outputs/console/console_output.h"
#include "host/local_clock.h"
#include "host/serial_port.h"
#include "host/tcp_port.h"
#include "host/yd1363.h"
#include "support/child_program.h"
#include "support/json.h"
#include "tools/common/free_port.h"
#include "tools/psma-sim/sim_server.h"

namespace {

using namespace std::chrono_literals;

psma_sim::Scenario Unit(int address, const std::string& model) {
  psma_sim::Scenario s;
  std::string error;
  EXPECT_TRUE(s.Load(psma_sim::BuiltInScenario(1, 1, 2, address), error)) << error;
  EXPECT_TRUE(s.Set("/model", model, error)) << error;
  return s;
}

// The next frame read on `fd`, or nothing when none came within `wait`.
std::optional<yd1363::Frame> ReadFrame(int fd, std::chrono::milliseconds wait) {
  yd1363::Decoder decoder;
  const auto end = std::chrono::steady_clock::now() + wait;
  for (auto now = std::chrono::steady_clock::now(); now < end;
       now = std::chrono::steady_clock::now()) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    std::uint8_t buf[256];
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got <= 0) return std::nullopt;
    for (ssize_t k = 0; k < got; ++k) {
      if (decoder.Push(buf[k]) == yd1363::Decoder::Event::kFrame) return decoder.frame();
    }
  }
  return std::nullopt;
}

bool Send(int fd, const std::vector<std::uint8_t>& request) {
  return ::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size());
}

// Asks `address` for its identification on `fd` and returns the model its
// answer names, or nothing when no answer came within `wait`.
std::optional<std::string> AskModel(int fd, int address, std::chrono::milliseconds wait = 2000ms) {
  std::vector<std::uint8_t> request;
  yd1363::EncodeRequest(0x20, static_cast<std::uint8_t>(address), 0x40, 0x51, nullptr, 0, request);
  if (!Send(fd, request)) return std::nullopt;
  const auto f = ReadFrame(fd, wait);
  if (!f) return std::nullopt;
  if (f->adr != address || f->info.size() < 10) return "wrong answer";
  std::string model(f->info.begin(), f->info.begin() + 10);
  return model.substr(0, model.find(' '));
}

TEST(SimBus, EachUnitAnswersItsOwnAddressFromItsOwnScenario) {
  psma_sim::SimServer sim(Unit(1, "BUS-ONE"), 9600, {});
  ASSERT_TRUE(sim.AddUnit(Unit(2, "BUS-TWO")));
  EXPECT_FALSE(sim.AddUnit(Unit(2, "AGAIN"))) << "one unit an address";
  std::string path, error;
  ASSERT_TRUE(sim.OpenPty(path, error)) << error;
  ASSERT_TRUE(sim.Start());
  korv::SerialPort line;
  ASSERT_TRUE(line.Open(path, 9600)) << line.Error();

  struct Case {
    int silent;  // the unit silenced, 0 for none
    int asked;
    std::optional<std::string> model;
  };
  const Case cases[] = {
      {0, 1, "BUS-ONE"},    {0, 2, "BUS-TWO"}, {0, 3, std::nullopt},  // nobody at 3
      {1, 1, std::nullopt}, {1, 2, "BUS-TWO"}, {2, 1, "BUS-ONE"},
  };
  for (const auto& c : cases) {
    for (int address : {1, 2}) EXPECT_TRUE(sim.SetSilent(address, c.silent == address));
    const auto wait = c.model ? 2000ms : 300ms;
    EXPECT_EQ(AskModel(line.Fd(), c.asked, wait), c.model)
        << "asked " << c.asked << ", silenced " << c.silent;
  }
  EXPECT_FALSE(sim.SetSilent(3, true)) << "no unit at 3";
}

// A request broken on the line is answered by the unit its address names,
// with the return code of the fault; one to an address no unit has, by none.
TEST(SimBus, ABrokenRequestIsAnsweredByTheUnitItNames) {
  psma_sim::SimServer sim(Unit(1, "BUS-ONE"), 9600, {});
  ASSERT_TRUE(sim.AddUnit(Unit(2, "BUS-TWO")));
  std::string path, error;
  ASSERT_TRUE(sim.OpenPty(path, error)) << error;
  ASSERT_TRUE(sim.Start());
  korv::SerialPort line;
  ASSERT_TRUE(line.Open(path, 9600)) << line.Error();

  const struct {
    int address;
    bool length;  // the LENGTH's checksum broken, else the frame's
    std::optional<int> rtn;
  } cases[] = {
      {1, false, 0x02},
      {2, false, 0x02},
      {2, true, 0x03},
      {3, false, std::nullopt},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> request;
    yd1363::EncodeRequest(0x20, static_cast<std::uint8_t>(c.address), 0x40, 0x51, nullptr, 0,
                          request);
    // SOI, VER, ADR, CID1, CID2, then LENGTH; CHKSUM's last digit before EOI.
    std::uint8_t& digit = request[c.length ? 9 : request.size() - 2];
    digit = digit == '0' ? '1' : '0';
    ASSERT_TRUE(Send(line.Fd(), request));
    const auto f = ReadFrame(line.Fd(), c.rtn ? 2000ms : 300ms);
    ASSERT_EQ(f.has_value(), c.rtn.has_value()) << "address " << c.address;
    if (!f) continue;
    EXPECT_EQ(f->adr, c.address);
    EXPECT_EQ(f->cid2, *c.rtn) << "address " << c.address;
  }
}

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the server ended the connection within a bounded wait.
bool Closed(int fd) {
  pollfd p{fd, POLLIN, 0};
  std::uint8_t b = 0;
  return ::poll(&p, 1, 2000) == 1 && ::read(fd, &b, 1) == 0;
}

TEST(SimTcp, ServesOneClientOnTheLoopbackAndTheSamePortAfterARestart) {
  psma_sim::SimServer sim(Unit(1, "TCP-ONE"), 9600, {});
  ASSERT_TRUE(sim.AddUnit(Unit(4, "TCP-FOUR")));
  std::string error;
  ASSERT_TRUE(sim.Listen("127.0.0.1", 0, error)) << error;
  const int port = sim.Port();
  ASSERT_GT(port, 0);
  ASSERT_TRUE(sim.Start());

  const int first = Connect(port);
  ASSERT_GE(first, 0);
  EXPECT_EQ(AskModel(first, 4), "TCP-FOUR");
  const int second = Connect(port);
  ASSERT_GE(second, 0);
  EXPECT_EQ(AskModel(second, 1), "TCP-ONE") << "a new client has the line";
  EXPECT_TRUE(Closed(first)) << "the old one is let go";

  sim.Stop();
  EXPECT_TRUE(Closed(second));
  const int refused = Connect(port);
  EXPECT_LT(refused, 0) << "nothing listens while stopped";
  if (refused >= 0) ::close(refused);

  ASSERT_TRUE(sim.Start(&error)) << error;
  EXPECT_EQ(sim.Port(), port);
  const int third = Connect(port);
  ASSERT_GE(third, 0);
  EXPECT_EQ(AskModel(third, 4), "TCP-FOUR");
  for (int fd : {first, second, third}) ::close(fd);
}

// --listen takes an IPv6 address too; the line reaches it as tcp://[::1]:PORT.
TEST(SimTcp, ServesOnTheIpv6Loopback) {
  psma_sim::SimServer sim(Unit(1, "V6"), 9600, {});
  std::string error;
  ASSERT_TRUE(sim.Listen("::1", 0, error)) << error;
  ASSERT_TRUE(sim.Start());
  korv::TcpPort line;
  ASSERT_TRUE(line.Connect("tcp://[::1]:" + std::to_string(sim.Port()), 2000ms)) << line.Error();
  std::vector<std::uint8_t> request;
  yd1363::EncodeRequest(0x20, 1, 0x40, 0x51, nullptr, 0, request);
  ASSERT_TRUE(line.Write(request.data(), static_cast<unsigned>(request.size())));
  yd1363::Decoder decoder;
  auto event = yd1363::Decoder::Event::kNone;
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (event == yd1363::Decoder::Event::kNone && std::chrono::steady_clock::now() < end) {
    std::uint8_t b[256];
    const int got = line.Read(b, sizeof b, 100ms);
    ASSERT_GE(got, 0) << line.Error();
    for (int i = 0; i < got && event == yd1363::Decoder::Event::kNone; ++i)
      event = decoder.Push(b[i]);
  }
  ASSERT_EQ(event, yd1363::Decoder::Event::kFrame);
  EXPECT_EQ(decoder.frame().adr, 1);
  sim.Stop();
}

// The frames (address, CID1) that come back on `line` within `limit`; a
// broken one as (-1, its fault).
std::vector<std::pair<int, int>> FramesFrom(korv::TcpPort& line, std::size_t want,
                                            std::chrono::milliseconds limit) {
  std::vector<std::pair<int, int>> frames;
  yd1363::Decoder decoder;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (frames.size() < want && std::chrono::steady_clock::now() < end) {
    std::uint8_t b[256];
    const int got = line.Read(b, sizeof b, 50ms);
    if (got < 0) break;
    for (int i = 0; i < got; ++i) {
      const auto event = decoder.Push(b[i]);
      if (event == yd1363::Decoder::Event::kFrame) {
        frames.emplace_back(decoder.frame().adr, decoder.frame().cid1);
      } else if (event == yd1363::Decoder::Event::kFault) {
        frames.emplace_back(-1, static_cast<int>(decoder.fault()));
      }
    }
  }
  return frames;
}

bool Ask(korv::TcpPort& line, std::uint8_t cid1) {
  std::vector<std::uint8_t> request;
  yd1363::EncodeRequest(0x20, 1, cid1, 0x51, nullptr, 0, request);
  return line.Write(request.data(), static_cast<unsigned>(request.size()));
}

// The faults the engine's tests of misbehaving peers need, on demand: an
// echo of the request, a neighbour's frame first, an answer overtaken by the
// next one, an answer whose checksum is wrong, and a server that closes each
// connection as it comes.
TEST(SimTcp, MisbehavesOnDemand) {
  psma_sim::SimServer sim(Unit(1, "ODD"), 9600, {});
  std::string error;
  ASSERT_TRUE(sim.Listen("127.0.0.1", 0, error)) << error;
  ASSERT_TRUE(sim.Start());
  const std::string port = "tcp://127.0.0.1:" + std::to_string(sim.Port());
  korv::TcpPort line;
  ASSERT_TRUE(line.Connect(port, 2000ms)) << line.Error();
  const struct {
    psma_sim::FaultKind kind;
    std::vector<std::pair<int, int>> frames;  // after asking 40, then 42
    bool unanswered_first = false;            // a broken request the unit does not answer, before
  } cases[] = {
      {psma_sim::FaultKind::kEcho, {{1, 0x40}, {1, 0x40}, {1, 0x42}}},
      {psma_sim::FaultKind::kStray, {{2, 0x40}, {1, 0x40}, {1, 0x42}}},
      {psma_sim::FaultKind::kLate, {{1, 0x42}, {1, 0x40}}},
      {psma_sim::FaultKind::kCorrupt,
       {{-1, static_cast<int>(yd1363::Fault::kBadChecksum)}, {1, 0x42}}},
      // The fault waits for an answer to spoil.
      {psma_sim::FaultKind::kCorrupt,
       {{-1, static_cast<int>(yd1363::Fault::kBadChecksum)}, {1, 0x42}},
       true},
  };
  for (const auto& c : cases) {
    sim.Inject(c.kind, 300);
    if (c.unanswered_first) {
      std::vector<std::uint8_t> broken;
      yd1363::EncodeRequest(0x20, 1, 0x40, 0x51, nullptr, 0, broken);
      broken[5] = 'G';  // CID1's first digit: a bad hex digit, no answer
      ASSERT_TRUE(line.Write(broken.data(), static_cast<unsigned>(broken.size())));
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(Ask(line, 0x40));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(Ask(line, 0x42));
    EXPECT_EQ(FramesFrom(line, c.frames.size(), 2000ms), c.frames) << static_cast<int>(c.kind);
  }
  sim.SetCloseOnAccept(true);
  korv::TcpPort closed;
  ASSERT_TRUE(closed.Connect(port, 2000ms)) << closed.Error();
  std::uint8_t b[16];
  EXPECT_EQ(closed.Read(b, sizeof b, 2000ms), -1);
  EXPECT_EQ(closed.Error(), "connection closed by the server");
  sim.Stop();
}

// --servers N with --listen HOST:PORT: N lines on PORT, PORT+1, ..., each
// announced and each the whole bus.
TEST(SimTcp, ServersListenOnConsecutivePortsFromTheOneGiven) {
  int port = -1;
  for (int tries = 0; tries < 20 && port < 0; ++tries) {
    const int p = korv_tools::FreeLoopbackPort();
    const int next = Connect(p + 1);
    if (next >= 0) ::close(next);
    if (p > 0 && p < 65535 && next < 0) port = p;
  }
  ASSERT_GT(port, 0);
  testing_support::ChildProgram sim(
      PSMA_SIM_PATH,
      {"--listen", "127.0.0.1:" + std::to_string(port), "--servers", "2", "--address", "1"}, {});
  ASSERT_TRUE(sim.Until([](const std::string& out, const std::string& err) {
    return std::count(out.begin(), out.end(), '\n') >= 2 || !err.empty();
  })) << sim.Err();
  EXPECT_EQ(sim.Out(), "tcp://127.0.0.1:" + std::to_string(port) +
                           "\ntcp://127.0.0.1:" + std::to_string(port + 1) + "\n")
      << sim.Err();
  for (int p : {port, port + 1}) {
    const int fd = Connect(p);
    ASSERT_GE(fd, 0) << p;
    EXPECT_TRUE(AskModel(fd, 1).has_value()) << p;
    ::close(fd);
  }
  EXPECT_EQ(sim.Stop(), 0);
}

// The host runner polling a bus of two units over TCP: both go round, and
// after the server is stopped and started again on the same port the runner
// connects again and both go round again. The clock moves only when the test
// moves it; every wait is bounded.
TEST(SimTcp, TheRunnerPollsABusOverTcpAcrossARestartOfTheServer) {
  korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-07 08:00:00"));
  psma_sim::SimServer sim(Unit(1, "TCP-ONE"), 9600, {});
  ASSERT_TRUE(sim.AddUnit(Unit(2, "TCP-TWO")));
  std::string error;
  ASSERT_TRUE(sim.Listen("127.0.0.1", 0, error)) << error;
  ASSERT_TRUE(sim.Start());

  char db[] = "/tmp/korv-tcp-bus-XXXXXX";
  const int fd = ::mkstemp(db);
  if (fd >= 0) ::close(fd);
  korv_host::Options o;
  o.site = testing_support::ParseJson(R"({"units": [
    {"type": "psma", "data_id": 1, "address": 1, "answer_timeout_ms": 300,
     "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}},
    {"type": "psma", "data_id": 2, "address": 2, "answer_timeout_ms": 300,
     "acSetting": [{"data_id": 12}], "dcSetting": [{"data_id": 22}], "rcSetting": {}}]})");
  for (auto& unit : o.site["units"]) unit["port"] = "tcp://127.0.0.1:" + std::to_string(sim.Port());
  o.plugin = PSMA_PLUGIN_PATH;
  o.db = db;
  o.poll_interval = 10ms;
  {
    korv_host::Runner runner(o);
    ASSERT_TRUE(runner.Setup(error)) << error;
    runner.Start();
    // Lets rounds start until both units have completed `n`.
    const auto both_reach = [&](int n) {
      const auto end = std::chrono::steady_clock::now() + 30s;
      while (runner.Rounds(1) < n || runner.Rounds(2) < n) {
        if (std::chrono::steady_clock::now() > end) return false;
        korv::AdvanceLocalNow(2);
        std::this_thread::sleep_for(20ms);
      }
      return true;
    };
    EXPECT_TRUE(both_reach(2));
    sim.Stop();
    const int before = std::max(runner.Rounds(1), runner.Rounds(2));
    ASSERT_TRUE(sim.Start(&error)) << error;
    EXPECT_TRUE(both_reach(before + 2)) << "both again after the restart";
    runner.Stop();
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((std::string(db) + suffix).c_str());
  korv::UseSystemClock();
}

}  // namespace

namespace {

// Three units on one bus (a pseudo-terminal), each with its own DC voltage
// and only the second with a DC alarm: each is told its own. Then the second
// is silenced: it is told not answering while the other two go on
// completing their rounds. The clock moves only when the test moves it.
TEST(SiteBus, ThreeUnitsAreEachToldTheirOwnAndASilencedOneHoldsNoOtherBack) {
  korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-07 08:00:00"));
  const auto unit = [](int address) {
    Json::Value v = testing_support::ParseJson(R"({"model": "PSM-A",
      "ac": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50}], "ia": 10.5,
              "ib": 11, "ic": 12}],
      "rc": {"value": 53.5, "modules": [{"value": 20}]},
      "dc": [{"i": 120.25, "m": [1.5], "fuse_count": 64}]})");
    v["address"] = address;
    v["dc"][0]["v"] = 50 + address;
    v["dc"][0]["v_alert"] = address == 2 ? 1 : 0;
    psma_sim::Scenario s;
    std::string error;
    EXPECT_TRUE(s.Load(v, error)) << error;
    return s;
  };
  psma_sim::SimServer sim(unit(1), 9600, {});
  ASSERT_TRUE(sim.AddUnit(unit(2)));
  ASSERT_TRUE(sim.AddUnit(unit(3)));
  std::string error, port;
  ASSERT_TRUE(sim.OpenPty(port, error)) << error;
  ASSERT_TRUE(sim.Start());

  char db[] = "/tmp/korv-bus-XXXXXX";
  const int fd = ::mkstemp(db);
  if (fd >= 0) ::close(fd);
  korv_host::Options o;
  for (int k = 1; k <= 3; ++k) {
    Json::Value u = testing_support::ParseJson(
        R"({"type": "psma", "answer_timeout_ms": 300, "rcSetting": {}})");
    u["data_id"] = k;
    u["address"] = k;
    u["port"] = port;
    u["acSetting"][0]["data_id"] = 10 + k;
    u["dcSetting"][0]["data_id"] = 20 + k;
    o.site["units"].append(u);
  }
  o.plugin = PSMA_PLUGIN_PATH;
  o.db = db;
  o.poll_interval = 10ms;
  std::mutex mutex;
  std::vector<Json::Value> events;
  o.outputs.push_back(
      std::make_shared<korv_host::ConsoleOutput>(true, [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(testing_support::ParseJson(line));
      }));
  {
    korv_host::Runner runner(o);
    ASSERT_TRUE(runner.Setup(error)) << error;
    runner.Start();
    // Lets rounds start until `done`, at most 30 s.
    const auto until = [&](const std::function<bool()>& done) {
      const auto end = std::chrono::steady_clock::now() + 30s;
      while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        korv::AdvanceLocalNow(2);
        std::this_thread::sleep_for(20ms);
      }
      return true;
    };
    ASSERT_TRUE(until([&] {
      return std::min({runner.Rounds(1), runner.Rounds(2), runner.Rounds(3)}) >= 2;
    }));
    {
      std::lock_guard<std::mutex> lock(mutex);
      std::map<unsigned, double> voltage;
      std::vector<unsigned> alarmed;
      for (const auto& e : events) {
        if (e["event"] == "values" && e["fields"].isMember("output.voltage"))
          voltage[e["device"].asUInt()] = e["fields"]["output.voltage"].asDouble();
        if (e["event"] == "alarm" && e["state"] == "raised")
          alarmed.push_back(e["device"].asUInt());
      }
      EXPECT_EQ(voltage, (std::map<unsigned, double>{{21, 51}, {22, 52}, {23, 53}}));
      EXPECT_EQ(alarmed, std::vector<unsigned>{22}) << "only the second unit's DC alarm";
    }

    ASSERT_TRUE(sim.SetSilent(2, true));
    const int first = runner.Rounds(1), third = runner.Rounds(3);
    const auto told_lost = [&] {
      std::lock_guard<std::mutex> lock(mutex);
      return std::any_of(events.begin(), events.end(), [](const Json::Value& e) {
        return e["event"] == "link" && e["device"] == 2 && e["state"] == "not answering";
      });
    };
    EXPECT_TRUE(until([&] {
      return told_lost() && runner.Rounds(1) >= first + 3 && runner.Rounds(3) >= third + 3;
    })) << "the others go round while the silenced unit is told lost";
    const int second = runner.Rounds(2);
    EXPECT_TRUE(until([&] { return runner.Rounds(1) >= first + 5; }));
    EXPECT_EQ(runner.Rounds(2), second) << "no round of the silenced unit";
    runner.Stop();
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((std::string(db) + suffix).c_str());
  korv::UseSystemClock();
}

}  // namespace
