// The simulator's bus and its TCP server: several units on one line, each
// answering its own address from its own scenario, and a line served over
// TCP on the loopback as a serial device server does.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "host/serial_port.h"
#include "host/yd1363.h"
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

// Asks `address` for its identification on `fd` and returns the model its
// answer names, or nothing when no answer came within `wait`.
std::optional<std::string> AskModel(int fd, int address, std::chrono::milliseconds wait = 2000ms) {
  std::vector<std::uint8_t> request;
  yd1363::EncodeRequest(0x20, static_cast<std::uint8_t>(address), 0x40, 0x51, nullptr, 0, request);
  if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    return std::nullopt;
  }
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
      if (decoder.Push(buf[k]) != yd1363::Decoder::Event::kFrame) continue;
      const auto& f = decoder.frame();
      if (f.adr != address || f.info.size() < 10) return "wrong answer";
      std::string model(f.info.begin(), f.info.begin() + 10);
      return model.substr(0, model.find(' '));
    }
  }
  return std::nullopt;
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

}  // namespace
