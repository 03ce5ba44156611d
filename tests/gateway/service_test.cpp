// korv-host as a systemd service, run as a program: the notifications it
// sends to the NOTIFY_SOCKET the test listens on (READY=1, STATUS=, and
// WATCHDOG=1 only while its polling threads progress), a reload of the site
// file on SIGHUP, --check, the priorities of its lines for the journal, and
// which stream is the journal's and what the status says.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "gateway/core/journal.h"
#include "gateway/core/service_notify.h"
#include "support/child_program.h"
#include "support/loopback_sim.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "support/untimed.h"
#include "tools/common/free_port.h"

namespace {

using testing_support::ChildProgram;
using testing_support::RunProgram;
using testing_support::TempDir;
using namespace std::chrono_literals;

// The service manager's end of NOTIFY_SOCKET: a datagram socket in a folder.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  ~NotifySocket() { ::close(fd_); }
  std::string Env() const { return "NOTIFY_SOCKET=" + path_; }
  // The next message, or "" when none came within `limit`.
  std::string Next(std::chrono::milliseconds limit) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(limit.count())) <= 0) return "";
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
  }
  // The first message holding `text` within `limit`, or "".
  std::string WaitFor(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now()) {
      const std::string m = Next(std::chrono::duration_cast<std::chrono::milliseconds>(end - now));
      if (m.find(text) != std::string::npos) return m;
    }
    return "";
  }
  // Whether, within `limit`, a stretch of `quiet` passes with no message
  // holding `text`.
  bool QuietFor(const std::string& text, std::chrono::milliseconds quiet,
                std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    auto last = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
      const std::string m = Next(10ms);
      const auto now = std::chrono::steady_clock::now();
      if (m.find(text) != std::string::npos) last = now;
      if (now - last >= quiet) return true;
    }
    return false;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

std::string Unit(unsigned id, const std::string& more = "") {
  return R"({"type": "psma", "data_id": )" + std::to_string(id) + R"(, "rcSetting": {})" + more +
         "}";
}
std::string Site(const std::vector<std::string>& units) {
  std::string site = R"({"units": [)";
  for (std::size_t k = 0; k < units.size(); ++k) site += (k > 0 ? ", " : "") + units[k];
  return site + "]}";
}

// The rounds told of a unit in the readable lines ("unit N round R"), from
// `from` on. (No std::regex: GCC warns inside it under the sanitizers.)
std::vector<int> Rounds(const std::string& timed, unsigned unit, std::size_t from = 0) {
  const std::string out = testing_support::Untimed(timed.substr(std::min(from, timed.size())));
  from = 0;
  std::vector<int> rounds;
  const std::string head = "unit " + std::to_string(unit) + " round ";
  for (std::size_t at = out.find(head, from); at != std::string::npos;
       at = out.find(head, at + 1)) {
    if (at > 0 && out[at - 1] != '\n') continue;
    const std::size_t digits = at + head.size();
    const std::size_t end = out.find_first_not_of("0123456789", digits);
    if (end == digits || end == std::string::npos || out[end] != '\n') continue;
    rounds.push_back(std::stoi(out.substr(digits, end - digits)));
  }
  return rounds;
}

TEST(Service, ReadyStatusAndAWatchdogThatStopsWhenPollingIsHeld) {
  TempDir dir;
  NotifySocket notify(dir.path + "/notify");
  // Units with screens, whose values fill a small pipe within a round or two
  // once its reader is held below; the plug-in's trace lines (--trace, on
  // standard error, the same pipe) are written on the polling threads.
  std::vector<std::string> units;
  for (unsigned id : {1, 2, 3}) {
    units.push_back(Unit(id, fmt::format(R"(, "acSetting": [{{"data_id": {}}}], )"
                                         R"("dcSetting": [{{"data_id": {}}}])",
                                         10 * id + 1, 10 * id + 2)));
  }
  // The rest of its options from the site file, as the packaged service
  // gives them: its command line names the site file and the database only.
  std::string site = Site(units);
  site.insert(site.size() - 1, R"(, "options": {"simulate": true, "json": true, "trace": true})");
  ChildProgram host(KORV_HOST_PATH,
                    {"--config", dir.Write("site.json", site), "--db", dir.path + "/db", "--plugin",
                     PSMA_PLUGIN_PATH},
                    {{notify.Env(), "WATCHDOG_USEC=1000000"}, true, false, 4096});
  const std::string ready = notify.WaitFor("READY=1", 60s);
  EXPECT_NE(ready.find("STATUS=3 units, "), std::string::npos) << ready;
  EXPECT_NE(notify.WaitFor("WATCHDOG=1", 10s), "");
  EXPECT_NE(notify.WaitFor("STATUS=3 units, 3 answering, ", 30s), "");
  // Nobody reads the pipe: the units' threads block in their trace writes
  // (the lines' own writer holds up no unit), and the pings stop while they
  // are held ...
  host.HoldOut(true);
  EXPECT_TRUE(notify.QuietFor("WATCHDOG=1", 2s, 60s));
  // ... and come back when they go on.
  host.HoldOut(false);
  EXPECT_NE(notify.WaitFor("WATCHDOG=1", 10s), "");
  EXPECT_EQ(host.Stop(), 0);
  EXPECT_NE(notify.WaitFor("STOPPING=1", 5s), "");
}

TEST(Service, ReloadAddsRemovesAndRestartsUnitsWhileAnUnchangedOneGoesOn) {
  TempDir dir;
  const std::string site = dir.Write("site.json", Site({Unit(1), Unit(2), Unit(3), Unit(5)}));
  ChildProgram host(
      KORV_HOST_PATH,
      {"--config", site, "--simulate", "--db", dir.path + "/db", "--plugin", PSMA_PLUGIN_PATH}, {});
  ASSERT_TRUE(host.Until([](const std::string& out, const std::string&) {
    return !Rounds(out, 1).empty() && !Rounds(out, 2).empty() && Rounds(out, 3).size() >= 2;
  }));
  // Units 2 and 5 leave, unit 3 gets another DC screen, unit 4 comes.
  dir.Write("site.json", Site({Unit(1), Unit(3, R"(, "dcSetting": [{"data_id": 32}])"), Unit(4)}));
  host.Signal(SIGHUP);
  ASSERT_TRUE(host.Until([](const std::string& out, const std::string& err) {
    return err.find("reloaded: 1 added, 2 removed, 1 restarted, 1 unchanged\n") !=
               std::string::npos &&
           out.find("unit 4: simulated on ") != std::string::npos;
  })) << host.Err();
  const std::size_t reloaded = host.Out().find("unit 4: simulated on ");
  ASSERT_TRUE(host.Until([&](const std::string& out, const std::string&) {
    return Rounds(out, 1, reloaded).size() >= 2 && Rounds(out, 4).size() >= 2 &&
           Rounds(out, 3, reloaded).size() >= 2;
  }));
  EXPECT_EQ(host.Stop(), 0);
  const std::string out = host.Out();
  // Unit 1 kept its devices and its count: its rounds go on, one after
  // another, across the reload.
  const std::vector<int> one = Rounds(out, 1);
  for (std::size_t k = 0; k < one.size(); ++k) EXPECT_EQ(one[k], static_cast<int>(k) + 1) << out;
  EXPECT_EQ(Rounds(out, 1, reloaded).front(),
            static_cast<int>(Rounds(out, 1).size() - Rounds(out, 1, reloaded).size()) + 1);
  // Unit 3 starts over on a new simulator, with its new screen; units 2 and 5
  // are gone.
  EXPECT_EQ(Rounds(out, 3, reloaded).front(), 1) << out;
  EXPECT_NE(out.find("psma-dc 32: output.voltage ", reloaded), std::string::npos);
  EXPECT_EQ(out.find("psma-dc 32: output.voltage "),
            out.find("psma-dc 32: output.voltage ", reloaded));
  EXPECT_TRUE(Rounds(out, 2, reloaded).empty()) << out;
  EXPECT_TRUE(Rounds(out, 5, reloaded).empty()) << out;
}

// A unit added on another spelling of a running unit's serial device server
// joins that line; two lines would fight over the one server.
TEST(Service, ReloadJoinsTwoSpellingsOfOnePortOnOneLine) {
  TempDir dir;
  ChildProgram sim(PSMA_SIM_PATH, {"--listen", "127.0.0.1:0", "--unit", "1", "--unit", "2"}, {});
  ASSERT_TRUE(sim.Until([](const std::string& out, const std::string&) {
    return out.find('\n') != std::string::npos;
  }));
  const std::string server = sim.Out().substr(0, sim.Out().find('\n'));
  const std::string port = server.substr(server.rfind(':') + 1);
  const std::string site = dir.Write(
      "site.json", Site({Unit(1, R"(, "port": "tcp://127.0.0.1:)" + port + R"(", "address": 1)")}));
  ChildProgram host(KORV_HOST_PATH,
                    {"--config", site, "--db", dir.path + "/db", "--plugin", PSMA_PLUGIN_PATH}, {});
  ASSERT_TRUE(host.Until([](const std::string& out, const std::string&) {
    return !Rounds(out, 1).empty();
  })) << host.Err();
  dir.Write("site.json",
            Site({Unit(1, R"(, "port": "tcp://127.0.0.1:)" + port + R"(", "address": 1)"),
                  Unit(2, R"(, "port": "tcp://localhost:)" + port + R"(", "address": 2)")}));
  const std::size_t before_out = host.Out().size(), before_err = host.Err().size();
  host.Signal(SIGHUP);
  EXPECT_TRUE(host.Until([&](const std::string& out, const std::string&) {
    return Rounds(out, 1, before_out).size() >= 3 && Rounds(out, 2, before_out).size() >= 3;
  })) << host.Err();
  const std::string out = host.Out();
  EXPECT_EQ(host.Stop(), 0);
  // Neither unit lost the line to the other.
  EXPECT_EQ(out.find("answering again", before_out), std::string::npos) << out;
  EXPECT_EQ(host.Err().find("connection", before_err), std::string::npos) << host.Err();
}

TEST(Service, ReloadOfASiteThatDoesNotPassChangesNothing) {
  TempDir dir;
  const std::string good = Site({Unit(1), Unit(2)});
  const std::string site = dir.Write("site.json", good);
  ChildProgram host(
      KORV_HOST_PATH,
      {"--config", site, "--simulate", "--db", dir.path + "/db", "--plugin", PSMA_PLUGIN_PATH}, {});
  ASSERT_TRUE(host.Until([](const std::string& out, const std::string&) {
    return !Rounds(out, 1).empty() && !Rounds(out, 2).empty();
  }));
  const struct {
    std::string site;
    const char* names;  // what the one line must name
  } cases[] = {
      {"{\"units\": [", "not JSON"},
      {Site({Unit(1), Unit(1, R"(, "address": 2)")}), "units[1]: data_id 1 is used twice"},
      {Site({Unit(1), Unit(3, R"(, "port": "/dev/null")")}), "unit 3: not a serial port"},
  };
  for (const auto& c : cases) {
    const std::size_t before_out = host.Out().size(), before_err = host.Err().size();
    dir.Write("site.json", c.site);
    host.Signal(SIGHUP);
    ASSERT_TRUE(host.Until([&](const std::string&, const std::string& err) {
      return err.find('\n', before_err) != std::string::npos;
    }));
    const std::string line = host.Err().substr(before_err);
    EXPECT_EQ(line.rfind("korv-host: reload refused, the running site stays: ", 0), 0u) << line;
    EXPECT_NE(line.find(c.names), std::string::npos) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    // Both units go on with their rounds, nothing new starts.
    ASSERT_TRUE(host.Until([&](const std::string& out, const std::string&) {
      return !Rounds(out, 1, before_out).empty() && !Rounds(out, 2, before_out).empty();
    }));
    EXPECT_EQ(host.Out().find("simulated", before_out), std::string::npos);
  }
  EXPECT_EQ(host.Stop(), 0);
  for (unsigned unit : {1u, 2u}) {
    const std::vector<int> rounds = Rounds(host.Out(), unit);
    for (std::size_t k = 0; k < rounds.size(); ++k) EXPECT_EQ(rounds[k], static_cast<int>(k) + 1);
  }
}

TEST(Service, CheckPassesOrNamesTheProblemWithoutOpeningAPort) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;  // the line on standard output (0) or standard error (2)
  } cases[] = {
      {{"--check"}, 0, "built-in site: ok\n"},
      // The port is not opened: a unit on a port that is no serial port passes.
      {{"--check", dir.Write("a.json", Site({Unit(1, R"(, "port": "/dev/null")")}))},
       0,
       dir.path + "/a.json: ok\n"},
      {{"--config", dir.Write("b.json", Site({Unit(1, R"(, "port": "/dev/null")")})), "--check"},
       0,
       dir.path + "/b.json: ok\n"},
      {{"--check", dir.Write("c.json", Site({Unit(1)}))},
       2,
       "korv-host: " + dir.path +
           "/c.json: units[0] (data_id 1) has no \"port\": give one, or "
           "run with --simulate\n"},
      {{"--check", dir.Write("c.json", Site({Unit(1)})), "--simulate"},
       0,
       dir.path + "/c.json: ok\n"},
      {{"--check", dir.Write("d.json", "{")}, 2, "korv-host: " + dir.path + "/d.json: not JSON"},
      {{"--check", dir.path + "/none.json"},
       2,
       "korv-host: cannot read the site file " + dir.path +
           "/none.json: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--plugin", PSMA_PLUGIN_PATH});
    const auto r = RunProgram(KORV_HOST_PATH, args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ((c.status == 0 ? r.out : r.err).rfind(c.says, 0), 0u) << r.out << r.err;
    EXPECT_EQ(
        std::count(r.out.begin(), r.out.end(), '\n') + std::count(r.err.begin(), r.err.end(), '\n'),
        1);
  }
}

TEST(Service, UnderTheJournalEachLineCarriesItsPriority) {
  TempDir dir;
  const std::string lost = dir.Write(
      "lost.json", Site({Unit(1, R"(, "port": "tcp://127.0.0.1:)" +
                                     std::to_string(korv_tools::FreeLoopbackPort()) + "\"")}));
  // Asked at an address its simulated unit does not answer.
  const std::string other = dir.Write(
      "other.json", R"({"address": 2, "rc": {"value": 53.5, "modules": [{"value": 20}]}})");
  testing_support::LoopbackSim unit2(PSMA_SIM_PATH, {"--scenario", other});
  const std::string silent =
      dir.Write("silent.json",
                Site({Unit(1, R"(, "answer_timeout_ms": 100, "port": ")" + unit2.url() + "\"")}));
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> lines;      // each at the start of a line
    std::vector<std::string> none = {};  // none at the start of a line
  } cases[] = {
      // A raised alarm is a warning, a cleared one a notice (the built-in
      // scenario raises in round 2 and clears in round 3); rounds and
      // values only when asked for, as information.
      {{"--rounds", "3"},
       {"<5>link 1: answering\n", "<4>alarm raised  psma-dc 21 DC_0 ",
        "<5>alarm cleared psma-dc 21 DC_0 "},
       {"<6>unit 1 round ", "<6>  psma-"}},
      {{"--rounds", "3", "--values", "yes"},
       {"<6>unit 1 round 1\n", "<6>  psma-dc 21: output.voltage "}},
      // A line that cannot be reached: a fault and a lost link are warnings.
      {{"--config", lost, "--rounds", "1"},
       {"<4>fault 1: port tcp://127.0.0.1:", "<4>link 1: line lost: "}},
      // A line where no unit ever answered: what to check, once.
      {{"--config", silent}, {"<4>korv-host: line tcp://127.0.0.1:"}},
      // korv-host's own lines on standard error.
      {{"--config", dir.path + "/none.json"},
       {"<3>korv-host: cannot read the site file " + dir.path +
        "/none.json: No such file or directory\n"}},
      {{"--http", "0", "--rounds", "1"}, {"<5>korv-host: serving http://127.0.0.1:"}},
      {{"--http", "[::1]:0", "--rounds", "1"}, {"<5>korv-host: serving http://[::1]:"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--db", dir.path + "/db", "--plugin", PSMA_PLUGIN_PATH});
    ChildProgram host(KORV_HOST_PATH, args, {{}, true, true, 0});
    EXPECT_TRUE(host.Until([&](const std::string& out, const std::string&) {
      for (const auto& line : c.lines) {
        if (("\n" + testing_support::Untimed(out)).find("\n" + line) == std::string::npos)
          return false;
      }
      return true;
    })) << host.Out();
    host.Stop();
    for (const auto& line : c.none) {
      EXPECT_EQ(("\n" + testing_support::Untimed(host.Out())).find("\n" + line), std::string::npos)
          << host.Out();
    }
    // No line goes without its priority.
    std::istringstream out(host.Out());
    for (std::string line; std::getline(out, line);) EXPECT_EQ(line.rfind('<', 0), 0u) << line;
  }
}

// Each syslog priority, emergency to debug, has its prefix on the journal's
// stream and none elsewhere; a number that is no priority leaves the line.
TEST(Service, EachPriorityHasItsPrefixOnTheJournalOnly) {
  const struct {
    int priority;
    bool journal;
    const char* line;
  } cases[] = {
      {0, true, "<0>x"}, {7, true, "<7>x"}, {7, false, "x"}, {8, true, "x"}, {-1, true, "x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(korv_host::WithPriority(c.priority, "x", c.journal), c.line) << c.priority;
  }
}

TEST(Service, OnlyTheStreamJournalStreamNamesExactlyIsTheJournal) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fds[1], &st), 0);
  const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
  const struct {
    const char* value;  // nullptr: not set
    std::string stream;
    bool journal;
  } cases[] = {
      {"", dev + ":" + ino, true},
      {nullptr, "", false},
      {"", "", false},
      {"", dev + ":" + ino + " ", false},  // anything after the inode
      {"", dev + ":" + ino + "0", false},
      {"", dev, false},
      {"", ino + ":" + dev, st.st_dev == st.st_ino},
      {"", dev + ":" + std::to_string(st.st_ino + 1), false},
  };
  for (const auto& c : cases) {
    if (c.value == nullptr) {
      ::unsetenv("JOURNAL_STREAM");
    } else {
      ::setenv("JOURNAL_STREAM", c.stream.c_str(), 1);
    }
    EXPECT_EQ(korv_host::IsJournalStream(fds[1]), c.journal) << "'" << c.stream << "'";
  }
  ::unsetenv("JOURNAL_STREAM");
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(Service, StatusCountsUnitsInWordsAndTheAnsweringOnes) {
  std::size_t units = 0;
  korv_host::ServiceNotifier notifier([](std::chrono::milliseconds) { return true; },
                                      [&] { return units; });
  const struct {
    std::size_t units;
    std::vector<std::pair<unsigned, bool>> links;  // told before the status
    bool remove_2;
    std::string status;
  } steps[] = {
      {0, {}, false, "0 units, 0 answering, 0 rounds a minute"},
      {1, {{1, true}}, false, "1 unit, 1 answering, 0 rounds a minute"},
      {2, {{2, true}, {2, true}}, false, "2 units, 2 answering, 0 rounds a minute"},
      {2, {{1, false}}, false, "2 units, 1 answering, 0 rounds a minute"},
      {1, {}, true, "1 unit, 0 answering, 0 rounds a minute"},
  };
  for (const auto& step : steps) {
    units = step.units;
    for (const auto& [unit, answering] : step.links) notifier.OnLinkState(unit, {answering, ""});
    if (step.remove_2) notifier.OnUnitRemoved(2, {});
    EXPECT_EQ(notifier.Status(), step.status);
  }
}

}  // namespace
