// psma-sim as a person or a soak run drives it: commands on its standard
// input, what it says on standard error (byte for byte), and what its units
// then answer on the line, a TCP client on the loopback; its --trace lines,
// paced answers, and --link.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "host/serial_port.h"
#include "host/yd1363.h"
#include "support/child_program.h"
#include "support/loopback_sim.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProgram;

// A command nobody has: its refusal marks where the commands before it were
// all done.
constexpr char kSync[] = "sync";
constexpr char kSynced[] = "psma-sim: unknown command \"sync\"\n";

// psma-sim serving on a free loopback port, a client connected to it.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args) : sim_(PSMA_SIM_PATH, std::move(args)) {
    if (sim_.port() > 0) fd_ = Connect();
  }
  // A new client of the simulator's port; -1 when it could not connect.
  int Connect() const {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(sim_.port()));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
  }
  ~Sim() {
    if (fd_ >= 0) ::close(fd_);
  }
  Sim(const Sim&) = delete;
  Sim& operator=(const Sim&) = delete;

  int fd() const { return fd_; }
  ChildProgram& program() { return sim_.program(); }

  // Gives `command` and returns what psma-sim said on standard error since
  // the last command (the trace of the requests between included); waits
  // (bounded) for the refusal of kSync behind it.
  std::string Do(const std::string& command) {
    const std::string synced = kSynced;
    if (!sim_.program().Write(command + "\n" + kSync + "\n")) return "(not written)";
    sim_.program().Until(
        [&](const std::string&, const std::string& err) {
          return err.size() >= seen_ + synced.size() &&
                 err.compare(err.size() - synced.size(), synced.size(), synced) == 0;
        },
        10s);
    const std::string err = sim_.program().Err();
    const std::string said = err.substr(seen_);
    seen_ = err.size();
    return said.size() >= synced.size() ? said.substr(0, said.size() - synced.size()) : said;
  }
  // Waits (bounded) until standard error has `count` more characters, and
  // returns them.
  std::string Next(std::size_t count) {
    sim_.program().Until(
        [&](const std::string&, const std::string& err) { return err.size() >= seen_ + count; },
        10s);
    const std::string said = sim_.program().Err().substr(seen_, count);
    seen_ += said.size();
    return said;
  }

 private:
  testing_support::LoopbackSim sim_;
  int fd_ = -1;
  std::size_t seen_ = 0;
};

// What stats says once it says `expected` (an answer is counted just after
// its last character goes out, so the count may lag what the client read),
// or after a bounded wait, what it says then.
std::string StatsOnceSettled(Sim& sim, const std::string& expected) {
  std::string said;
  testing_support::WaitFor(
      [&] {
        said = sim.Do("stats");
        return said == expected;
      },
      5s);
  return said;
}

std::vector<std::uint8_t> Request(int address, std::uint8_t cid2) {
  std::vector<std::uint8_t> request;
  yd1363::EncodeRequest(0x20, static_cast<std::uint8_t>(address), 0x40, cid2, nullptr, 0, request);
  return request;
}

// What came on the line: each frame as "ADR:CID2" (the model too, for an
// identification answer), each broken one by its fault, and "noise" for
// characters before the first frame starts.
struct Heard {
  std::string told;
  std::string raw;
};

// Reads `fd` until `events` frames or faults came (for 0: any), or `wait`
// passed.
Heard Listen(int fd, int events, std::chrono::milliseconds wait, std::uint8_t asked = 0x51) {
  if (events == 0) events = 1;
  Heard h;
  yd1363::Decoder decoder;
  int seen = 0;
  const auto tell = [&](const std::string& what) {
    h.told += (h.told.empty() ? "" : " ") + what;
    ++seen;
  };
  const auto end = std::chrono::steady_clock::now() + wait;
  for (auto now = std::chrono::steady_clock::now(); now < end && seen < events;
       now = std::chrono::steady_clock::now()) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    std::uint8_t buf[256];
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got <= 0) break;
    for (ssize_t k = 0; k < got && seen < events; ++k) {
      if (h.raw.empty() && buf[k] != yd1363::kSoi) h.told = "noise";
      h.raw.push_back(static_cast<char>(buf[k]));
      const auto event = decoder.Push(buf[k]);
      if (event == yd1363::Decoder::Event::kFault) tell(yd1363::FaultText(decoder.fault()));
      if (event != yd1363::Decoder::Event::kFrame) continue;
      const auto& f = decoder.frame();
      char tag[16];
      std::snprintf(tag, sizeof tag, "%u:%02X", f.adr, f.cid2);
      std::string what = tag;
      if (asked == 0x51 && f.cid2 == 0 && f.info.size() >= 10) {
        const std::string model(f.info.begin(), f.info.begin() + 10);
        what += " " + model.substr(0, model.find(' '));
      }
      tell(what);
    }
  }
  return h;
}

// Each command says what it did or why not, and the answers after it carry
// its fault or change; stats counts them all. A bus of units 1 and 2.
TEST(SimCommands, EachCommandShapesTheAnswersAfterIt) {
  Sim sim({"--unit", "1", "--unit", "2"});
  ASSERT_GE(sim.fd(), 0) << sim.program().Err();
  EXPECT_EQ(sim.Next(0), "");
  const std::string none = "psma-sim: no unit at address ";
  struct Case {
    const char* command;
    std::string said;   // on standard error
    int asked;          // the unit then asked (0: none)
    std::uint8_t cid2;  // 0x51 identification, 0x41 AC analogue (begins a round)
    int events;         // frames and faults to wait for (0: silence)
    const char* heard;
  };
  const Case cases[] = {
      {"round", "psma-sim: round 0\n", 1, 0x51, 1, "1:00 PSM-A"},
      {"corrupt", "", 1, 0x51, 1, "bad checksum"},
      {"@2 corrupt", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"", "", 2, 0x51, 1, "bad checksum"},
      {"@3 corrupt", none + "3\n", 1, 0x51, 1, "1:00 PSM-A"},
      {"garbage", "", 1, 0x51, 1, "noise 1:00 PSM-A"},
      {"echo", "", 1, 0x51, 2, "1:51 1:00 PSM-A"},
      {"stray", "", 1, 0x51, 2, "2:00 1:00 PSM-A"},
      {"drop", "", 1, 0x51, 0, ""},
      {"@2 drop", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"", "", 2, 0x51, 0, ""},
      {"delay 30", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"delay 0", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"delay", "psma-sim: delay needs milliseconds\n", 0, 0, 0, ""},
      {"delay -1", "psma-sim: delay needs milliseconds\n", 0, 0, 0, ""},
      {"late 30", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"late 0", "", 0, 0, 0, ""},
      {"late x", "psma-sim: late needs milliseconds\n", 0, 0, 0, ""},
      {"late -5", "psma-sim: late needs milliseconds\n", 0, 0, 0, ""},
      {"@2 delay 20", "", 2, 0x51, 1, "2:00 PSM-A"},
      {"silent on", "", 1, 0x51, 0, ""},
      {"", "", 2, 0x51, 1, "2:00 PSM-A"},
      {"silent off", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"@2 silent on", "", 2, 0x51, 0, ""},
      {"", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"@2 silent off", "", 2, 0x51, 1, "2:00 PSM-A"},
      {"@3 silent on", none + "3\n", 0, 0, 0, ""},
      {"close-on-accept off", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"rtn 04", "", 1, 0x51, 1, "1:04"},
      {"", "", 1, 0x51, 1, "1:04"},  // kept until told otherwise
      {"rtn 00", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"rtn x", "psma-sim: rtn needs a return code in hex (00: none)\n", 0, 0, 0, ""},
      {"length on", "", 1, 0x51, 1, "bad length"},
      {"length off", "", 1, 0x51, 1, "1:00 PSM-A"},
      {"@2 master on", "", 2, 0x51, 2, "2:44 2:00 PSM-A"},
      {"@2 master off", "", 2, 0x51, 1, "2:00 PSM-A"},
      {R"(set /model "SET-ONE")", "", 1, 0x51, 1, "1:00 SET-ONE"},
      {R"(@2 set /model "SET-TWO")", "", 2, 0x51, 1, "2:00 SET-TWO"},
      {"", "", 1, 0x51, 1, "1:00 SET-ONE"},
      {"set /model {", "psma-sim: set /model: not JSON\n", 0, 0, 0, ""},
      {R"(@3 set /model "X")", "psma-sim: set: no unit at address 3\n", 0, 0, 0, ""},
      // A second unit at one address is refused and the unit keeps its own.
      {"set /address 2", "psma-sim: set: /address: another unit of the line has address 2\n", 1,
       0x51, 1, "1:00 SET-ONE"},
      {"@2 set /address 1", "psma-sim: set: /address: another unit of the line has address 1\n", 2,
       0x51, 1, "2:00 SET-TWO"},
      {"@2 set /address 3", "", 3, 0x51, 1, "3:00 SET-TWO"},
      {"", "", 2, 0x51, 0, ""},
      {"@2 round", none + "2\n", 1, 0x41, 1, "1:00"},
      {"", "", 1, 0x41, 1, "1:00"},
      {"", "", 3, 0x41, 1, "3:00"},
      {"round", "psma-sim: round 2\n", 0, 0, 0, ""},
      {"@3 round", "psma-sim: round 1\n", 0, 0, 0, ""},
      {"@256 round", "psma-sim: @256: not a unit address\n", 0, 0, 0, ""},
      {"@-1 round", "psma-sim: @-1: not a unit address\n", 0, 0, 0, ""},
      {"@x round", "psma-sim: @x: not a unit address\n", 0, 0, 0, ""},
      {"frobnicate 1", "psma-sim: unknown command \"frobnicate\"\n", 0, 0, 0, ""},
      {"stats", "psma-sim: requests 39, answers 34, dropped 4, corrupted 2, garbled 1, delayed 3\n",
       0, 0, 0, ""},
  };
  for (const auto& c : cases) {
    const bool stats = std::string(c.command) == "stats";
    EXPECT_EQ(stats ? StatsOnceSettled(sim, c.said) : sim.Do(c.command), c.said) << c.command;
    if (c.asked == 0) continue;
    const auto request = Request(c.asked, c.cid2);
    ASSERT_EQ(::write(sim.fd(), request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    const auto wait = c.events > 0 ? 5000ms : 300ms;
    EXPECT_EQ(Listen(sim.fd(), c.events, wait, c.cid2).told, c.heard)
        << c.command << ", asked " << c.asked;
  }
  EXPECT_EQ(sim.program().Stop(), 0);
}

// close-on-accept on (any word but "off"): each new client is closed as it
// connects; off: new clients are served again.
TEST(SimCommands, CloseOnAcceptTurnsNewClientsAway) {
  Sim sim({});
  ASSERT_GE(sim.fd(), 0) << sim.program().Err();
  const struct {
    const char* command;
    const char* heard;  // by a new client asking unit 1
  } cases[] = {{"close-on-accept on", "closed"},
               {"close-on-accept yes", "closed"},
               {"close-on-accept off", "1:00 PSM-A"}};
  for (const auto& c : cases) {
    EXPECT_EQ(sim.Do(c.command), "") << c.command;
    const int fd = sim.Connect();
    ASSERT_GE(fd, 0);
    const auto request = Request(1, 0x51);
    std::string heard = "closed";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      heard = Listen(fd, 1, 5000ms).told;
      if (heard.empty()) heard = "closed";
    }
    ::close(fd);
    EXPECT_EQ(heard, c.heard) << c.command;
  }
  EXPECT_EQ(sim.program().Stop(), 0);
}

// --trace tells each request, broken or whole, and each answer with the
// faults it got; "{A}" stands for the identification answer as written.
TEST(SimCommands, TraceTellsEachRequestAndAnswer) {
  Sim sim({"--trace"});
  ASSERT_GE(sim.fd(), 0) << sim.program().Err();
  EXPECT_EQ(sim.Next(27), "psma-sim: client connected\n");
  const std::string asked = "psma-sim: request 40/51 to address 1\n";
  struct Case {
    const char* command;
    bool broken;  // the request's checksum spoilt
    int events;
    std::string traced;
  };
  const Case cases[] = {
      {"", false, 1, asked + "psma-sim: answer {A}\n"},
      {"corrupt", false, 1, asked + "psma-sim: answer {A} (checksum corrupted)\n"},
      {"garbage", false, 1, asked + "psma-sim: answer {A} (after garbage)\n"},
      {"drop", false, 0, asked + "psma-sim: answer dropped\n"},
      {"delay 10", false, 1, asked + "psma-sim: answer delayed by 10 ms\npsma-sim: answer {A}\n"},
      {"", true, 1,
       "psma-sim: broken request: bad checksum: CHKSUM FDB0, computed FDB3\n"
       "psma-sim: answer ~200140020000FDB7\n"},
  };
  std::string answer;
  for (const auto& c : cases) {
    EXPECT_EQ(sim.Do(c.command), "") << c.command;
    auto request = Request(1, 0x51);
    if (c.broken) request[request.size() - 2] = request[request.size() - 2] == '0' ? '1' : '0';
    ASSERT_EQ(::write(sim.fd(), request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    const auto heard = Listen(sim.fd(), c.events, c.events > 0 ? 5000ms : 300ms);
    if (answer.empty()) answer = heard.raw.substr(0, heard.raw.find('\r'));
    std::string traced = c.traced;
    const auto at = traced.find("{A}");
    if (at != std::string::npos) traced.replace(at, 3, answer);
    EXPECT_EQ(sim.Next(traced.size()), traced) << c.command;
  }
  EXPECT_EQ(sim.program().Stop(), 0);
}

// Paced at the line's rate, answers go out in pieces and still come whole,
// each counted once.
TEST(SimCommands, PacedAnswersComeWholeAndCountOnce) {
  Sim sim({"--pace", "--baud", "115200", "--unit", "1", "--unit", "2"});
  ASSERT_GE(sim.fd(), 0) << sim.program().Err();
  const struct {
    int asked;
    std::uint8_t cid2;
    const char* heard;
  } cases[] = {{1, 0x51, "1:00 PSM-A"}, {2, 0x41, "2:00"}, {2, 0x51, "2:00 PSM-A"}};
  for (const auto& c : cases) {
    const auto request = Request(c.asked, c.cid2);
    ASSERT_EQ(::write(sim.fd(), request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    EXPECT_EQ(Listen(sim.fd(), 1, 5000ms, c.cid2).told, c.heard) << c.asked;
  }
  const std::string counted =
      "psma-sim: requests 3, answers 3, dropped 0, corrupted 0, garbled 0, delayed 0\n";
  EXPECT_EQ(StatsOnceSettled(sim, counted), counted);
  EXPECT_EQ(sim.program().Stop(), 0);
}

// --link names the pseudo-terminal while psma-sim runs, and is gone after;
// a link it cannot make ends it at once.
TEST(SimCommands, LinkNamesThePseudoTerminalWhileItRuns) {
  testing_support::TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  const struct {
    std::string link;
    int status;
    std::string err;
  } cases[] = {
      {dir.path + "/line", 0, ""},
      {dir.path + "/none/line", 2, "psma-sim: cannot make the link " + dir.path + "/none/line\n"},
  };
  for (const auto& c : cases) {
    ChildProgram sim(PSMA_SIM_PATH, {"--link", c.link}, {});
    ASSERT_TRUE(sim.Until([](const std::string& out, const std::string& err) {
      return out.find('\n') != std::string::npos || !err.empty();
    }));
    if (c.status != 0) {
      // Standard error may come in pieces: wait for all of it.
      sim.Until(
          [&](const std::string&, const std::string& err) { return err.size() >= c.err.size(); },
          10s);
      EXPECT_EQ(sim.Err(), c.err);
      EXPECT_EQ(sim.Stop(), c.status);
      continue;
    }
    const std::string path = sim.Out().substr(0, sim.Out().find('\n'));
    char target[256] = {};
    ASSERT_GT(::readlink(c.link.c_str(), target, sizeof target - 1), 0) << c.link;
    EXPECT_EQ(std::string(target), path);
    korv::SerialPort line;
    ASSERT_TRUE(line.Open(c.link, 9600)) << line.Error();
    const auto request = Request(1, 0x51);
    ASSERT_EQ(::write(line.Fd(), request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    EXPECT_EQ(Listen(line.Fd(), 1, 5000ms).told, "1:00 PSM-A");
    line.Close();
    EXPECT_EQ(sim.Stop(), 0);
    struct stat st {};
    EXPECT_NE(::lstat(c.link.c_str(), &st), 0) << "the link outlives the simulator";
    EXPECT_EQ(sim.Err(), c.err);
  }
}

}  // namespace
