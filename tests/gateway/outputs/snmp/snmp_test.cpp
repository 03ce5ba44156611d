// korv-host's SNMP side: its MIB read by Debian's smilint and snmptranslate,
// what it serves, and the subagent of a korv-host run against the simulator
// under a real snmpd as master, with a real snmptrapd taking the
// notifications, read with snmpget and snmpwalk and compared with the state
// the HTTP side serves. The net-snmp programs come from scripts/deps; a test
// that needs one fails when it is missing.

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/outputs/snmp/snmp_output.h"
#include "gateway/outputs/snmp/snmp_view.h"
#include "support/http_client.h"
#include "support/json.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "support/values_event.h"
#include "support/wait_for.h"
#include "tools/common/free_port.h"

namespace {

using testing_support::TempDir;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using testing_support::RunProgram;
using testing_support::WaitFor;

const std::string kMibDir = KORV_MIB_DIR;  // gateway/outputs/snmp
// The MIB and the base modules it imports (test-only: mibs/base/), then
// net-snmp's own (NET-SNMP-MIB).
const std::string kMibPath = kMibDir + "/mibs/base:/usr/share/snmp/mibs:" + kMibDir;
const std::vector<std::string> kMibOptions = {"-M", kMibPath, "-m", "KORV-PSMA-MIB"};

std::string Find(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    std::string file = std::string(dir) + "/" + name;
    if (::access(file.c_str(), X_OK) == 0) return file;
  }
  return "";
}

// A program running until the test ends it (SIGTERM, then SIGKILL after a
// bounded wait); its standard error read from `err` when asked.
class Process {
 public:
  Process(std::vector<std::string> command, const std::map<std::string, std::string>& env = {}) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return;
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (auto& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(err[1]);
    err_ = err[0];
  }
  ~Process() {
    Stop();
    if (err_ >= 0) ::close(err_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The wait status; -1 when it was not running.
  int Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT);  // a frozen one too
    int status = -1;
    const auto end = Clock::now() + seconds(10);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    pid_ = -1;
    return status;
  }
  void Signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  // Reads standard error until it holds `text`, for at most `limit`.
  bool ErrHas(const std::string& text, milliseconds limit = seconds(30)) {
    const auto end = Clock::now() + limit;
    while (err_text_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{err_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(err_, buf, sizeof buf);
      if (n <= 0) return false;
      err_text_.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }
  const std::string& err_text() const { return err_text_; }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
  std::string err_text_;
};

// A master agent and a notification receiver on the loopback, their files in
// a temporary folder.
class Site {
 public:
  Site() {
    std::ofstream(dir_.path + "/snmptrapd.conf") << "authCommunity log public\n";
    trapd_ = std::make_unique<Process>(
        std::vector<std::string>{Find("snmptrapd"), "-f", "-C", "-c", dir_.path + "/snmptrapd.conf",
                                 "-Lf", traps(), "-M", kMibPath, "-m", "KORV-PSMA-MIB",
                                 "udp:127.0.0.1:" + std::to_string(trap_port_)},
        Env());
    std::ofstream(dir_.path + "/snmpd.conf") << "master agentx\n"
                                             << "agentXSocket " << socket() << "\n"
                                             << "agentXPerms 0600 0700\n"
                                             << "rocommunity public 127.0.0.1\n"
                                             << "trap2sink 127.0.0.1:" << trap_port_ << " public\n";
  }
  // Starts the master (again); true once it serves.
  bool StartMaster() {
    master_ = std::make_unique<Process>(
        std::vector<std::string>{Find("snmpd"), "-f", "-C", "-c", dir_.path + "/snmpd.conf", "-m",
                                 "", "-Lf", dir_.path + "/snmpd.log",
                                 "udp:127.0.0.1:" + std::to_string(agent_port_)},
        Env());
    return WaitFor([&] { return Get({"SNMPv2-SMI::mib-2.1.3.0"}).status == 0; }, seconds(20));
  }
  void StopMaster() { master_.reset(); }
  // SIGSTOP: the master keeps its sockets and reads none of them.
  void FreezeMaster(bool frozen) { master_->Signal(frozen ? SIGSTOP : SIGCONT); }
  // The master's AgentX connections, accepted or waiting to be (Linux names
  // each by the socket's path in /proc/net/unix).
  std::size_t MasterConnections() const {
    const std::string path = " " + socket();
    std::ifstream in("/proc/net/unix");
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);) {
      n += line.size() > path.size() &&
           line.compare(line.size() - path.size(), path.size(), path) == 0;
    }
    return n - 1;  // the listening socket
  }

  std::string socket() const { return dir_.path + "/agentx"; }
  std::string traps() const { return dir_.path + "/traps.log"; }
  std::string Traps() const {
    std::ifstream in(traps());
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // snmpget or snmpwalk of `names`, with the values only (-Oqv) or with the
  // names (-Oq: "name value").
  testing_support::ProgramResult Get(const std::vector<std::string>& names, bool walk = false,
                                     const char* format = "-Oq") const {
    std::vector<std::string> args = {"-v2c", "-c", "public", "-t", "2", "-r", "1", format};
    args.insert(args.end(), kMibOptions.begin(), kMibOptions.end());
    args.push_back("127.0.0.1:" + std::to_string(agent_port_));
    args.insert(args.end(), names.begin(), names.end());
    return RunProgram(Find(walk ? "snmpwalk" : "snmpget"), args, seconds(30));
  }
  // The walk of `name` as instance -> value (-Oq prints "name.index value").
  std::map<std::string, std::string> Walk(const std::string& name) const {
    std::map<std::string, std::string> rows;
    std::istringstream lines(Get({name}, true).out);
    for (std::string line; std::getline(lines, line);) {
      const auto space = line.find(' ');
      if (space == std::string::npos) continue;
      std::string value = line.substr(space + 1);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      rows[line.substr(0, space)] = value;
    }
    return rows;
  }

 private:
  std::map<std::string, std::string> Env() const {
    return {{"SNMP_PERSISTENT_DIR", dir_.path + "/persist"}, {"SNMPCONFPATH", dir_.path}};
  }

  TempDir dir_;
  int agent_port_ = korv_tools::FreeLoopbackPort(SOCK_DGRAM);
  int trap_port_ = korv_tools::FreeLoopbackPort(SOCK_DGRAM);
  std::unique_ptr<Process> trapd_;
  std::unique_ptr<Process> master_;
};

// korv-host with the built-in site (or `config`'s, simulated), its subagent
// at the site's socket, serving HTTP on a free loopback port.
class Host {
 public:
  Host(const Site& site, const std::string& db, const std::string& config = "")
      : process_(testing_support::CommandLine(
                     KORV_HOST_PATH, Args({"--plugin", PSMA_PLUGIN_PATH, "--simulate", "--http",
                                           "0", "--snmp-agentx", site.socket(), "--db", db},
                                          config)),
                 {}) {
    const std::string serving = "serving http://127.0.0.1:";
    if (process_.ErrHas(serving) && process_.ErrHas("/\n")) {
      const std::string& err = process_.err_text();
      port_ = std::atoi(err.c_str() + err.find(serving) + serving.size());
    }
  }
  Process& process() { return process_; }
  Json::Value State() const {
    const auto reply = testing_support::HttpGet(port_, "/api/v1/state");
    try {
      return reply.status == 200 ? testing_support::ParseJson(reply.body) : Json::Value();
    } catch (const std::exception&) {
      return Json::Value();
    }
  }

 private:
  static std::vector<std::string> Args(std::vector<std::string> args, const std::string& config) {
    if (!config.empty()) args.insert(args.end(), {"--config", config});
    return args;
  }

  Process process_;
  int port_ = 0;
};

TEST(SnmpMib, PassesSmilintAndEveryNameResolves) {
  // net-snmp's tools make their state folder on a machine's first run and
  // say so on standard error: one of this test's own, made already, whatever
  // ran on the machine before.
  const testing_support::TempDir state;
  std::filesystem::create_directories(state.path + "/cert_indexes");
  ::setenv("SNMP_PERSISTENT_DIR", state.path.c_str(), 1);
  const std::string smilint = Find("smilint");
  ASSERT_FALSE(smilint.empty()) << "smilint not found: install Debian's smitools (scripts/deps)";
  const std::string base = kMibDir + "/mibs/base/";
  const auto lint = RunProgram(
      smilint, {"-l", "4", "-s", "-p", base + "SNMPv2-SMI.txt", "-p", base + "SNMPv2-TC.txt", "-p",
                base + "SNMPv2-CONF.txt", "-p", "/usr/share/snmp/mibs/NET-SNMP-MIB.txt",
                kMibDir + "/KORV-PSMA-MIB.txt"});
  EXPECT_EQ(lint.status, 0) << lint.err;
  EXPECT_EQ(lint.err + lint.out, "");

  // Every name the module defines, and the identifier the subagent uses.
  std::ifstream in(kMibDir + "/KORV-PSMA-MIB.txt");
  const std::string mib(std::istreambuf_iterator<char>(in), {});
  // A definition starts a line: its name, then what it defines.
  std::vector<std::string> names;
  std::istringstream lines(mib);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("korv", 0) != 0) continue;
    const std::size_t end = line.find_first_of(" \t");
    if (end == std::string::npos) continue;
    const std::string rest = line.substr(line.find_first_not_of(" \t", end));
    for (const char* kind :
         {"OBJECT-TYPE", "NOTIFICATION-TYPE", "OBJECT-GROUP", "NOTIFICATION-GROUP",
          "MODULE-COMPLIANCE", "MODULE-IDENTITY", "OBJECT IDENTIFIER"}) {
      if (rest.rfind(kind, 0) == 0) names.push_back(line.substr(0, end));
    }
  }
  EXPECT_GT(names.size(), 40u);
  std::string module_oid;
  for (std::uint32_t arc : korv_host::snmp::ModuleOid()) module_oid += "." + std::to_string(arc);
  for (const auto& name : names) {
    std::vector<std::string> args = kMibOptions;
    args.insert(args.end(), {"-On", "KORV-PSMA-MIB::" + name});
    const auto r = RunProgram(Find("snmptranslate"), args);
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.err, "") << name;
    EXPECT_EQ(r.out.rfind(module_oid, 0), 0u) << name << ": " << r.out;
  }
  ::unsetenv("SNMP_PERSISTENT_DIR");
}

TEST(SnmpView, MilliTextAndDateAtTheirEdges) {
  const struct {
    float value;
    std::optional<std::int32_t> milli;
  } values[] = {
      {230.005f, 230005},
      {-0.1f, -100},
      {0.0005f, 1},  // rounded to the nearest
      {2147483.5f, 2147483500},
      {2147484.0f, std::nullopt},  // past an Integer32
      {-2147483.75f, std::nullopt},
      {NAN, std::nullopt},
      {INFINITY, std::nullopt},
  };
  for (const auto& c : values) EXPECT_EQ(korv_host::snmp::Milli(c.value), c.milli) << c.value;

  // Cut to 255 octets, never inside a character (3 octets each here).
  const std::string han = "告";
  std::string long_text;
  for (int i = 0; i < 90; ++i) long_text += han;
  EXPECT_EQ(korv_host::snmp::Text(long_text).size(), 255u);
  EXPECT_EQ(korv_host::snmp::Text("a" + long_text).size(), 253u);
  EXPECT_EQ(korv_host::snmp::Text("ok"), "ok");

  // DateAndTime: the year high octet first, month from 1, tenths, UTC.
  const struct {
    std::int64_t ms;  // since the epoch
    std::vector<int> octets;
  } times[] = {
      {1796630950250, {0x07, 0xEA, 12, 7, 8, 9, 10, 2, '+', 0, 0}},  // 2026-12-07 08:09:10.25
      {1709251199999, {0x07, 0xE8, 2, 29, 23, 59, 59, 9, '+', 0, 0}},
      {946684800000, {0x07, 0xD0, 1, 1, 0, 0, 0, 0, '+', 0, 0}},
  };
  for (const auto& t : times) {
    const std::string text = korv_host::snmp::DateAndTime(
        std::chrono::system_clock::time_point(std::chrono::milliseconds(t.ms)));
    std::vector<int> octets;
    for (const unsigned char c : text) octets.push_back(c);
    EXPECT_EQ(octets, t.octets) << t.ms;
  }
}

// The columns that tell a state apart: a unit's link (unknown before any
// contact), a value's source, an alarm's state text (a state-table alarm's
// only), and the link of a notification.
TEST(SnmpView, EachStateHasItsOwnNumberOrText) {
  namespace snmp = korv_host::snmp;
  using Link = korv_host::SiteState::Link;
  korv_host::SiteState::Snapshot site;
  for (const auto& [id, link] : {std::pair{1u, Link::kUnknown},
                                 {2u, Link::kAnswering},
                                 {3u, Link::kNotAnswering},
                                 {4u, Link::kNoRound}}) {
    korv_host::SiteState::Unit u;
    u.id = id;
    u.link = link;
    korv_host::SiteState::Child child;
    child.device = 20 + id;
    child.type = "psma-dc";
    child.source = id == 3 ? korv_host::Source::kCache : korv_host::Source::kRound;
    child.stale = link == Link::kNotAnswering;
    testing_support::SetFields(child, {{"v", 53.5f}});
    u.children.push_back(child);
    site.units.push_back(u);
  }
  std::vector<snmp::ActiveAlarm> alarms(2);
  alarms[0].id = 1;
  alarms[0].check.is_map = true;
  alarms[0].check.state_text = "open";
  alarms[1].id = 2;
  alarms[1].check.state_text = "2";  // a threshold alarm's number: not shown
  const auto view = snmp::BuildView(site, alarms, {});
  const auto at = [&](std::vector<std::uint32_t> tail) {
    auto oid = snmp::ObjectsOid();
    oid.insert(oid.end(), tail.begin(), tail.end());
    for (const auto& v : view) {
      if (v.oid == oid)
        return v.value.kind == snmp::Value::Kind::kOctets ? v.value.octets
                                                          : std::to_string(v.value.number);
    }
    return std::string("absent");
  };
  const struct {
    std::vector<std::uint32_t> oid;  // below korvObjects
    const char* value;
  } cases[] = {
      // korvUnitLink: unknown, answering, not answering.
      {{1, 1, 2, 1}, "1"},
      {{1, 1, 2, 2}, "2"},
      {{1, 1, 2, 3}, "3"},
      {{1, 1, 2, 4}, "4"},
      // korvValueSource: from a round, from the cache.
      {{2, 1, 8, 2, 22, 1, 1}, "1"},
      {{2, 1, 8, 3, 23, 1, 1}, "2"},
      // korvValueStale: a unit that does not answer.
      {{2, 1, 10, 2, 22, 1, 1}, "2"},
      {{2, 1, 10, 3, 23, 1, 1}, "1"},
      // korvAlarmStateText.
      {{3, 1, 10, 1}, "open"},
      {{3, 1, 10, 2}, ""},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const auto n : c.oid) name += "." + std::to_string(n);
    EXPECT_EQ(at(c.oid), c.value) << name;
  }
  const auto link = [](bool answering) {
    return snmp::LinkVarbinds(4, answering, "", 0).front().value.number;
  };
  EXPECT_EQ(link(true), 2);
  EXPECT_EQ(link(false), 3);
}

// A bare --snmp-agentx is the master agent's default socket, not a mistake
// that takes the next option for its value.
TEST(SnmpOption, ABareAgentxIsTheDefaultMaster) {
  TempDir dir;
  for (const std::vector<std::string>& tail :
       {std::vector<std::string>{"--snmp-agentx", "--rounds", "1"},
        std::vector<std::string>{"--rounds", "1", "--snmp-agentx"}}) {
    std::vector<std::string> args = {"--plugin", PSMA_PLUGIN_PATH, "--simulate", "--db",
                                     dir.path + "/korv-host.db"};
    args.insert(args.end(), tail.begin(), tail.end());
    const auto run = RunProgram(KORV_HOST_PATH, args);
    EXPECT_EQ(run.status, 0) << tail[0] << "\n" << run.err;
  }
}

TEST(SnmpOutput, AFullQueueDropsTheOldestAndCountsIt) {
  korv_host::SnmpSettings settings;
  settings.queue_limit = 2;
  korv_host::SnmpOutput output(std::make_shared<korv_host::SiteState>(),
                               settings);  // not started: nothing leaves the queue
  korv::AlarmCheck alarm;
  alarm.device = 21;
  alarm.device_type = "psma-dc";
  alarm.transition = korv::AlarmTransition::Raised;
  for (const char* key : {"DC_0", "DC_1", "DC_2", "DC_3"}) {
    alarm.key = key;
    output.OnAlarm(1, alarm);
  }
  output.OnLinkState(1, {true, "answering"});  // a first contact: no notification
  EXPECT_EQ(output.Counts().dropped, 2u);
  output.OnLinkState(1, {false, "not answering"});
  EXPECT_EQ(output.Counts().dropped, 3u);

  // Left out, the bound is a thousand notifications.
  korv_host::SnmpOutput bounded(std::make_shared<korv_host::SiteState>(),
                                korv_host::SnmpSettings());
  for (int k = 0; k < 1000; ++k) {
    alarm.key = "DC_" + std::to_string(k);
    bounded.OnAlarm(1, alarm);
  }
  EXPECT_EQ(bounded.Counts().dropped, 0u);
  alarm.key = "DC_1000";
  bounded.OnAlarm(1, alarm);
  EXPECT_EQ(bounded.Counts().dropped, 1u);
}

// A master not there is an outage, with its socket and the reason, until it
// comes.
TEST(SnmpOutput, AnAbsentMasterIsAnOutage) {
  Site site;
  korv_host::SnmpSettings settings;
  settings.socket = site.socket();
  korv_host::SnmpOutput output(std::make_shared<korv_host::SiteState>(), settings);
  std::string error;
  ASSERT_TRUE(output.Start(error)) << error;
  EXPECT_TRUE(WaitFor([&] { return !output.Outage().empty(); }, seconds(10)));
  EXPECT_EQ(output.Outage(),
            "snmp: no master agent at " + site.socket() + ": No such file or directory");
  ASSERT_TRUE(site.StartMaster()) << "snmpd did not answer";
  EXPECT_TRUE(WaitFor([&] { return output.Outage().empty(); }, seconds(10)));
  EXPECT_TRUE(output.Stop());
}

// A burst of notifications far past what the master's socket holds, told
// as the units' threads tell them: a master that reads takes them all and
// answers others meanwhile; one stopped (SIGSTOP) holds neither the burst
// nor the stop, and what it could not take is counted.
TEST(SnmpOutput, ABurstNeverWaitsOnTheMaster) {
  const struct {
    const char* master;
    bool frozen;
    std::size_t queue_limit;
  } rows[] = {
      {"reading", false, 5000},
      {"stopped", true, 1000},
  };
  constexpr std::uint64_t kDue = 3000;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.master);
    Site site;
    ASSERT_TRUE(site.StartMaster()) << "snmpd did not answer";
    korv_host::SnmpSettings settings;
    settings.socket = site.socket();
    settings.queue_limit = row.queue_limit;
    settings.stop_grace = seconds(10);  // the thread ends by itself, or the stop fails
    korv_host::SnmpOutput output(std::make_shared<korv_host::SiteState>(), settings);
    std::string error;
    ASSERT_TRUE(output.Start(error)) << error;
    ASSERT_TRUE(WaitFor([&] { return output.Connected(); }, seconds(10)));
    if (row.frozen) site.FreezeMaster(true);
    korv::AlarmCheck alarm;
    alarm.device = 21;
    alarm.device_type = "psma-dc";
    alarm.transition = korv::AlarmTransition::Raised;
    const auto told = Clock::now();
    for (std::uint64_t k = 0; k < kDue; ++k) {
      alarm.key = "DC_" + std::to_string(k);
      output.OnAlarm(1, alarm);
    }
    EXPECT_LT(Clock::now() - told, seconds(5)) << "the units waited";
    if (!row.frozen) {
      EXPECT_EQ(site.Get({"SNMPv2-SMI::mib-2.1.3.0"}).status, 0) << "the master answers no one";
      EXPECT_TRUE(WaitFor([&] { return output.Counts().sent == kDue; }, seconds(30)))
          << output.Counts().sent;
    }
    const auto stopping = Clock::now();
    EXPECT_TRUE(output.Stop());
    EXPECT_LT(Clock::now() - stopping, seconds(5)) << "the stop waited on the master";
    const auto counts = output.Counts();
    EXPECT_EQ(counts.sent + counts.unsent + counts.dropped, kDue)
        << counts.sent << " sent, " << counts.unsent << " unsent, " << counts.dropped << " dropped";
    if (row.frozen) {
      EXPECT_LT(counts.sent, 500u) << "more than a stopped master's socket holds";
      site.FreezeMaster(false);
    }
  }
}

TEST(SnmpLive,
     TablesHoldTheStateTrapsCarryTheAlarmsAndAMasterRestartIsRejoinedAndAStoppedOneHoldsNoStop) {
  for (const char* program : {"snmpd", "snmptrapd", "snmpget", "snmpwalk"}) {
    ASSERT_FALSE(Find(program).empty())
        << program << " not found: install Debian's snmpd, snmptrapd and snmp (scripts/deps)";
  }
  Site site;
  ASSERT_TRUE(site.StartMaster()) << "snmpd did not answer";
  TempDir dir;
  Host host(site, dir.path + "/korv-host.db");
  ASSERT_TRUE(host.process().ErrHas("snmp: connected to the master agent"))
      << host.process().err_text();

  // Round 2 raises the simulator's alarms, round 3 clears them: compare a
  // state and a walk of the same round while the alarms stand.
  Json::Value unit;
  std::map<std::string, std::string> units, values, alarms;
  ASSERT_TRUE(WaitFor(
      [&] {
        const Json::Value before = host.State()["units"][0];
        if (before["alarms"].empty()) return false;
        units = site.Walk("KORV-PSMA-MIB::korvUnitTable");
        values = site.Walk("KORV-PSMA-MIB::korvValueTable");
        alarms = site.Walk("KORV-PSMA-MIB::korvAlarmTable");
        unit = host.State()["units"][0];
        return unit["rounds"] == before["rounds"] &&
               units["KORV-PSMA-MIB::korvUnitRounds.1"] == unit["rounds"].asString();
      },
      seconds(40)));
  EXPECT_EQ(units["KORV-PSMA-MIB::korvUnitLink.1"], "answering");
  EXPECT_EQ(units["KORV-PSMA-MIB::korvUnitLinkText.1"], unit["link_text"].asString());
  EXPECT_EQ(units["KORV-PSMA-MIB::korvUnitRequests.1"], unit["requests"].asString());
  EXPECT_EQ(units["KORV-PSMA-MIB::korvUnitLinkFaults.1"], "0");
  EXPECT_EQ(units["KORV-PSMA-MIB::korvUnitLastRoundAge.1"].rfind(" seconds"),
            units["KORV-PSMA-MIB::korvUnitLastRoundAge.1"].size() - 8);

  std::size_t columns = 0;
  for (const auto& child : unit["children"]) {
    const std::string device = child["device"].asString();
    // A row is the field's place and its element's number: find each
    // field's row by its name.
    for (const auto& f : child["fields"]) {
      std::string row;
      for (const auto& [name, value] : values) {
        const std::string prefix = "KORV-PSMA-MIB::korvValueName.1." + device + ".";
        if (name.rfind(prefix, 0) == 0 && value == f["name"].asString()) {
          row = name.substr(prefix.size());
        }
      }
      ASSERT_FALSE(row.empty()) << device << " " << f["name"];
      const std::string at = fmt::format(".1.{}.{}", device, row);
      std::string text = f.isMember("state") ? f["state"].asString() : f["text"].asString();
      if (f.isMember("unit") && !text.empty())
        text.resize(text.size() - f["unit"].asString().size() - 1);
      EXPECT_EQ(values["KORV-PSMA-MIB::korvValueType" + at], child["type"].asString());
      EXPECT_EQ(values["KORV-PSMA-MIB::korvValueText" + at], text) << f["name"];
      if (!f["value"].isNull()) {
        EXPECT_EQ(values["KORV-PSMA-MIB::korvValueMilli" + at],
                  std::to_string(*korv_host::snmp::Milli(f["value"].asFloat())))
            << f["name"];
        ++columns;
      }
      EXPECT_EQ(values["KORV-PSMA-MIB::korvValueSource" + at], child["source"].asString());
      EXPECT_EQ(values["KORV-PSMA-MIB::korvValueStale" + at], "false");
      columns += 6;
    }
  }
  EXPECT_EQ(columns, values.size());
  EXPECT_EQ(values["KORV-PSMA-MIB::korvValueUnit.1.21.1.1"], "V");   // DC output.voltage
  EXPECT_EQ(values["KORV-PSMA-MIB::korvValueUnit.1.11.4.1"], "Hz");  // AC input1.frequency

  ASSERT_EQ(unit["alarms"].size(), 3u);
  EXPECT_EQ(alarms.size(), 3u * 10);
  std::set<std::string> ids;
  for (const auto& a : unit["alarms"]) {
    std::string id;
    for (const auto& [name, value] : alarms) {
      if (name.rfind("KORV-PSMA-MIB::korvAlarmCode.", 0) == 0 && value == a["code"].asString())
        id = name.substr(name.rfind('.'));
    }
    ASSERT_FALSE(id.empty()) << a["code"].asString();
    ids.insert(id);
    EXPECT_EQ(alarms["KORV-PSMA-MIB::korvAlarmUnit" + id], "1");
    EXPECT_EQ(alarms["KORV-PSMA-MIB::korvAlarmChild" + id], a["device"].asString());
    EXPECT_EQ(alarms["KORV-PSMA-MIB::korvAlarmType" + id], a["type"].asString());
    EXPECT_EQ(alarms["KORV-PSMA-MIB::korvAlarmKey" + id], a["key"].asString());
    EXPECT_EQ(alarms["KORV-PSMA-MIB::korvAlarmLevel" + id], a["level"].asString());
    EXPECT_EQ(alarms["KORV-PSMA-MIB::korvAlarmName" + id], a["name"].asString());
    EXPECT_EQ(alarms["KORV-PSMA-MIB::korvAlarmDescription" + id], a["description"].asString());
  }
  EXPECT_EQ(ids, (std::set<std::string>{".1", ".2", ".3"})) << "the alarms are numbered from 1";

  // The raise and the clear of each alarm reached snmptrapd, with the
  // alarm's varbinds.
  ASSERT_TRUE(WaitFor([&] { return host.State()["units"][0]["alarms"].empty(); }, seconds(20)));
  std::string traps;
  ASSERT_TRUE(WaitFor(
      [&] {
        traps = site.Traps();
        std::size_t cleared = 0;
        for (auto at = traps.find("korvAlarmCleared"); at != std::string::npos;
             at = traps.find("korvAlarmCleared", at + 1))
          ++cleared;
        return cleared == 3;
      },
      seconds(20)))
      << traps;
  for (const auto& a : unit["alarms"]) {
    for (const char* kind : {"korvAlarmRaised", "korvAlarmCleared"}) {
      bool found = false;
      std::istringstream lines(traps);
      for (std::string line; std::getline(lines, line);) {
        found =
            found ||
            (line.find(std::string("OID: KORV-PSMA-MIB::") + kind + "\t") != std::string::npos &&
             line.find("STRING: " + a["code"].asString() + "\t") != std::string::npos &&
             line.find("STRING: " + a["name"].asString() + "\t") != std::string::npos &&
             line.find("korvAlarmRaisedAt.") != std::string::npos);
      }
      EXPECT_TRUE(found) << kind << " " << a["code"].asString() << "\n" << traps;
    }
  }

  // The master restarted: the subagent is back within seconds.
  site.StopMaster();
  ASSERT_TRUE(host.process().ErrHas(
      "snmp: lost the master agent at " + site.socket() + "; korv-host keeps trying", seconds(10)));
  ASSERT_TRUE(site.StartMaster());
  const auto restarted = Clock::now();
  EXPECT_TRUE(WaitFor(
      [&] {
        return site.Get({"KORV-PSMA-MIB::korvUnitRounds.1"}, false, "-Oqv")
                   .out.find_first_of("0123456789") == 0;
      },
      seconds(10)));
  std::cerr << "tables back "
            << std::chrono::duration_cast<milliseconds>(Clock::now() - restarted).count()
            << " ms after the master's restart\n";
  EXPECT_EQ(site.Get({"KORV-PSMA-MIB::korvNotificationsSent.0"}, false, "-Oqv").out, "6\n");

  // The master stopped (SIGSTOP), not gone: its session given up and
  // tried again twice, korv-host's stop waits on it for a moment only.
  site.FreezeMaster(true);
  ASSERT_TRUE(WaitFor([&] { return site.MasterConnections() >= 3; }, seconds(20)));
  const auto stopping = Clock::now();
  const int status = host.process().Stop();
  EXPECT_LT(Clock::now() - stopping, seconds(5));
  site.FreezeMaster(false);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                             << host.process().err_text();
}

TEST(SnmpLive, AMasterAbsentAtStartIsJoinedAndWhatWasDueCounted) {
  Site site;
  TempDir dir;
  Host host(site, dir.path + "/korv-host.db");
  EXPECT_TRUE(host.process().ErrHas("snmp: no master agent at " + site.socket() +
                                    ": No such file or directory; korv-host keeps trying"))
      << host.process().err_text();
  // The simulator's alarms come and go while no master runs.
  ASSERT_TRUE(
      WaitFor([&] { return host.State()["units"][0]["rounds"].asInt() >= 4; }, seconds(40)));
  ASSERT_TRUE(site.StartMaster());
  ASSERT_TRUE(host.process().ErrHas("snmp: connected to the master agent", seconds(10)));
  EXPECT_TRUE(WaitFor(
      [&] {
        return site.Get({"KORV-PSMA-MIB::korvNotificationsUnsent.0"}, false, "-Oqv").out == "6\n";
      },
      seconds(10)));
  EXPECT_EQ(site.Get({"KORV-PSMA-MIB::korvNotificationsSent.0"}, false, "-Oqv").out, "0\n");
  EXPECT_EQ(site.Traps().find("korvAlarm"), std::string::npos);
  const int status = host.process().Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                             << host.process().err_text();
}

// Two alarms of one screen that share a code (two phases' voltage too high)
// are two rows of the alarm table, each under its own key; a unit whose
// server goes away is told lost with the rounds it had made.
TEST(SnmpLive, AlarmsOfOneCodeAreRowsApartAndALostLinkTellsItsRounds) {
  Site site;
  ASSERT_TRUE(site.StartMaster()) << "snmpd did not answer";
  TempDir dir;
  const std::string scenario = dir.Write("scenario.json", R"({"address": 1,
    "ac": [{"channels": [{"a": 230, "b": 231, "c": 229, "f": 50}], "ia": 12, "ib": 12, "ic": 12}],
    "rc": {"value": 53.5, "modules": [{"value": 20}]}, "dc": [{"v": 53.5, "i": 120}],
    "phases": [{"round": 2, "set": {"/ac/0/channels/0/alerts": [2, 2, 0, 0]}}]})");
  const int port = korv_tools::FreeLoopbackPort();
  auto server = std::make_unique<Process>(std::vector<std::string>{
      PSMA_SIM_PATH, "--listen", "127.0.0.1:" + std::to_string(port), "--address", "2"});
  const std::string config = dir.Write(
      "site.json",
      R"({"units": [{"type": "psma", "data_id": 1, "address": 1, "scenario": ")" + scenario +
          R"(", "acSetting": [{"data_id": 11}], "rcSetting": {}}, {"type": "psma", "data_id": 2,
          "address": 2, "port": "tcp://127.0.0.1:)" +
          std::to_string(port) + R"(", "acSetting": [{"data_id": 12}], "rcSetting": {}}]})");
  Host host(site, dir.path + "/korv-host.db", config);
  std::set<std::string> keys;
  EXPECT_TRUE(WaitFor(
      [&] {
        keys.clear();
        auto children = site.Walk("KORV-PSMA-MIB::korvAlarmChild");
        for (const auto& [name, value] : site.Walk("KORV-PSMA-MIB::korvAlarmKey")) {
          const auto id = name.rfind('.');  // none while the table is empty
          if (id != std::string::npos &&
              children["KORV-PSMA-MIB::korvAlarmChild" + name.substr(id)] == "11")
            keys.insert(value);
        }
        return keys.size() >= 2;
      },
      seconds(20)));
  EXPECT_EQ(keys, (std::set<std::string>{"AC_4", "AC_5"}));

  server.reset();  // the unit's server is gone
  std::string rounds;
  ASSERT_TRUE(WaitFor(
      [&] {
        const Json::Value unit = host.State()["units"][1];
        rounds = unit["rounds"].asString();
        return unit["link"] == "not answering";
      },
      seconds(30)));
  std::string lost;
  EXPECT_TRUE(WaitFor(
      [&] {
        std::istringstream lines(site.Traps());
        for (std::string line; std::getline(lines, line);) {
          if (line.find("korvLinkLost") != std::string::npos &&
              line.find("korvUnitLink.2 ") != std::string::npos)
            lost = line;
        }
        return !lost.empty();
      },
      seconds(10)))
      << site.Traps();
  const std::string told = "korvUnitRounds.2 = Counter32: ";
  const auto at = lost.find(told);
  ASSERT_NE(at, std::string::npos) << lost;
  EXPECT_EQ(lost.substr(at + told.size(), lost.find('\t', at) - at - told.size()), rounds) << lost;
  const int status = host.process().Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << host.process().err_text();
}

}  // namespace
