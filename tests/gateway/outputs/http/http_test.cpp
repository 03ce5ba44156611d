// korv-host's HTTP side: its address, the state it keeps, and the real
// server of a korv-host run against the simulator, read by a client, by
// Debian's promtool and by headless chromium. Those two programs come from
// scripts/deps; a test that needs one fails when it is missing.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/writer.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/core/site_state.h"
#include "gateway/outputs/http/http_server.h"
#include "support/http_client.h"
#include "support/json.h"
#include "support/loopback_sim.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "support/values_event.h"

namespace {

using korv_host::SiteState;
using testing_support::TempDir;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// A program on the PATH, or empty.
std::string Find(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t at = 0;
  while (at <= dirs.size()) {
    const std::size_t colon = dirs.find(':', at);
    const std::string dir = dirs.substr(at, colon == std::string::npos ? colon : colon - at);
    const std::string file = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(file.c_str(), X_OK) == 0) return file;
    if (colon == std::string::npos) break;
    at = colon + 1;
  }
  return "";
}

// A child process: `command` with the child's descriptors `fds` (its fd,
// ours) and the rest of its standard descriptors on /dev/null. Ended with
// SIGTERM, then SIGKILL when it does not go within `grace`.
class Process {
 public:
  Process(const std::vector<std::string>& command, const std::vector<std::pair<int, int>>& fds) {
    std::vector<std::string> args = command;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ != 0) return;
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    // Out of the way first, so that no target clobbers a source.
    std::vector<std::pair<int, int>> moved;
    for (const auto& [target, source] : fds)
      moved.emplace_back(target, ::fcntl(source, F_DUPFD, 100));
    for (const auto& [target, source] : moved) ::dup2(source, target);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ~Process() { Stop(seconds(10)); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return pid_ > 0; }
  // Its wait status once it ended, killed when it runs past `limit`; -1
  // when it was not running.
  int Wait(milliseconds limit) {
    if (pid_ <= 0) return -1;
    const auto end = Clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    pid_ = -1;
    return status;
  }
  int Stop(milliseconds grace) {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    return Wait(grace);
  }

 private:
  pid_t pid_ = -1;
};

// Reads `fd` until `done` holds for what was read, for at most `limit`.
bool ReadUntil(int fd, std::string& text, milliseconds limit,
               const std::function<bool(const std::string&)>& done) {
  const auto end = Clock::now() + limit;
  while (!done(text)) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

bool WaitFor(milliseconds limit, const std::function<bool()>& done) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(100));
  }
  return true;
}

// korv-host with the built-in site against its simulator, serving on a
// free loopback port, running until the test ends.
class LiveHost {
 public:
  // `out`: korv-host's standard output (else /dev/null); `json`: --json;
  // `site`: a site file's text (else the built-in site).
  explicit LiveHost(int out = -1, bool json = false, const std::string& site = "") {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return;
    std::vector<std::pair<int, int>> fds{{2, err[1]}};
    if (out >= 0) fds.emplace_back(1, out);
    std::vector<std::string> args{
        "--plugin", PSMA_PLUGIN_PATH,           "--simulate", "--rounds", "0", "--http", "0",
        "--db",     dir_.path + "/korv-host.db"};
    if (json) args.push_back("--json");
    if (!site.empty()) args.insert(args.end(), {"--config", dir_.Write("site.json", site)});
    process_ = std::make_unique<Process>(testing_support::CommandLine(KORV_HOST_PATH, args), fds);
    ::close(err[1]);
    err_ = err[0];
    std::string text;
    const std::string serving = "serving http://127.0.0.1:";
    if (ReadUntil(err_, text, seconds(30), [&](const std::string& t) {
          const auto at = t.find(serving);
          return at != std::string::npos && t.find('/', at + serving.size()) != std::string::npos;
        })) {
      port_ = std::atoi(text.c_str() + text.find(serving) + serving.size());
    }
  }
  // korv-host ends on SIGTERM with status 0 and nothing more on standard
  // error: a sanitizer's report fails the test.
  ~LiveHost() { Stop(seconds(10)); }
  // Sends SIGTERM; false when korv-host did not end within `limit`.
  bool Stop(milliseconds limit) {
    if (stopped_) return true;
    stopped_ = true;
    const auto start = Clock::now();
    const int status = process_ ? process_->Stop(limit) : -1;
    const bool in_time = Clock::now() - start < limit;
    std::string rest;
    if (err_ >= 0) {
      ReadUntil(err_, rest, seconds(5), [](const std::string&) { return false; });
      ::close(err_);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                               << rest;
    // Its one line at start: how the database keeps the history.
    const std::string store = "korv-host: database ";
    if (rest.compare(0, store.size(), store) == 0) rest.erase(0, rest.find('\n') + 1);
    EXPECT_EQ(rest, "");
    return in_time;
  }
  int port() const { return port_; }
  // The rounds the unit completed, as /api/v1/state tells them; -1 when it
  // does not answer.
  int Rounds() const {
    const Json::Value s = State();
    return s["units"].isArray() && s["units"].size() == 1 ? s["units"][0]["rounds"].asInt() : -1;
  }

  // The body of a GET, or empty with `status` 0 when nothing answered.
  std::string Get(const std::string& path, int* status = nullptr,
                  std::string* content_type = nullptr) const {
    const auto res = testing_support::HttpGet(port_, path);
    if (status != nullptr) *status = res.status;
    if (content_type != nullptr) {
      const auto found = res.headers.find("content-type");
      *content_type = found != res.headers.end() ? found->second : "";
    }
    return res.status != 0 ? res.body : std::string();
  }
  Json::Value State() const {
    try {
      return testing_support::ParseJson(Get("/api/v1/state"));
    } catch (const std::exception&) {
      return Json::Value();
    }
  }
  // Waits (bounded) until the state's first unit satisfies `done`.
  bool WaitForUnit(const std::function<bool(const Json::Value&)>& done) const {
    return WaitFor(seconds(40), [&] {
      const Json::Value s = State();
      return s["units"].isArray() && s["units"].size() == 1 && done(s["units"][0]);
    });
  }

 private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
  int err_ = -1;
  int port_ = 0;
  bool stopped_ = false;
};

TEST(HttpAddress, PortHostOrBracketedIpv6) {
  const struct {
    const char* text;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {"8080", true, "127.0.0.1", 8080},  // a bare port: the loopback only
      {"0", true, "127.0.0.1", 0},
      {"0.0.0.0:9100", true, "0.0.0.0", 9100},
      {"localhost:65535", true, "localhost", 65535},
      {"[::1]:80", true, "::1", 80},
      {"", false, "", 0},
      {"65536", false, "", 0},
      {"http", false, "", 0},
      {"80a", false, "", 0},
      {"-1", false, "", 0},
      {":80", false, "", 0},
      {"::1:80", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {"[]:80", false, "", 0},
  };
  for (const auto& c : cases) {
    korv_host::HttpAddress address;
    std::string error;
    ASSERT_EQ(korv_host::ParseHttpAddress(c.text, address, error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(address.host, c.host) << c.text;
      EXPECT_EQ(address.port, c.port) << c.text;
    } else {
      EXPECT_NE(error.find("--http"), std::string::npos) << c.text;
    }
  }
}

TEST(HttpOption, BadValueOrPortInUseStopsAtStartInOneLine) {
  // Ports in use: ones we hold open, one of them offered for sharing (as a
  // second korv-host would, were it to share its port).
  const auto hold = [](bool shared, int& fd) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (shared) ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return std::string("not held");
    }
    return "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  };
  int held = -1, held_shared = -1;
  const std::string taken = hold(false, held);
  const std::string taken_shared = hold(true, held_shared);
  TempDir dir;
  const struct {
    std::string value;
    const char* names;
  } cases[] = {
      {"localhost:http", "expected PORT, HOST:PORT or [IPV6]:PORT"},
      {"70000", "expected PORT"},
      {taken, "cannot listen there: Address already in use"},
      {taken_shared, "cannot listen there: Address already in use"},
      {"192.0.2.1:8080", "cannot listen there"},  // not an address of this machine
      {"[2001:db8::1]:8080", "cannot listen there"},
  };
  for (const auto& c : cases) {
    const auto r = testing_support::RunProgram(
        KORV_HOST_PATH, {"--http", c.value, "--db", dir.path + "/korv-host.db"}, seconds(30));
    EXPECT_EQ(r.status, 2) << c.value;
    EXPECT_EQ(r.err.rfind("korv-host: --http " + c.value + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  ::close(held);
  ::close(held_shared);
}

TEST(SiteState, FaultKindIsTheLabelOfTheFaultsCode) {
  using yd1363::Fault;
  const struct {
    Fault fault;
    const char* kind;
  } cases[] = {
      {Fault::kTimeout, "no answer"},
      {Fault::kBadChecksum, "bad checksum"},
      {Fault::kBadLengthChecksum, "bad length checksum"},
      {Fault::kBadLength, "bad length"},
      {Fault::kBadHex, "bad hex digit"},
      {Fault::kWrongAddress, "wrong address"},
      {Fault::kReturnCode, "return code"},
      {Fault::kFrameTooLong, "frame too long"},
      {Fault::kPort, "port"},
      {Fault::kNone, "other"},
  };
  for (const auto& c : cases) EXPECT_EQ(SiteState::FaultKind(c.fault), c.kind) << c.kind;
  // Every kind is a metric label from the start, in this order.
  std::vector<std::string> kinds;
  for (const auto& c : cases) kinds.emplace_back(c.kind);
  EXPECT_EQ(SiteState::FaultKinds(), kinds);
  // A fault counts under its code's kind, whatever its text says.
  SiteState site({1});
  site.OnFault(1, {Fault::kPort, "bad checksum: not what it seems"});
  const auto faults = site.Take().units[0].faults;
  EXPECT_EQ(faults[8], (std::pair<std::string, std::uint64_t>{"port", 1}));
  EXPECT_EQ(faults[1], (std::pair<std::string, std::uint64_t>{"bad checksum", 0}));
}

TEST(SiteState, AlarmsFollowRaiseAndClearUnderTheirChildsUnit) {
  SiteState site({1});
  korv::AlarmCheck alarm;
  alarm.device = 21;
  alarm.device_type = "psma-dc";
  alarm.key = "DC_0";
  alarm.code = "06008";
  alarm.level = 3;
  alarm.name = "输出电压过低告警";
  alarm.transition = korv::AlarmTransition::Raised;
  // Raised before the child's first values: under the unit it came with.
  site.OnAlarm(1, alarm);
  korv_host::ValuesEvent values;
  values.device = 21;
  values.type = "psma-dc";
  testing_support::SetFields(values, {{"v", 53.5f}});
  site.OnValues(1, values);
  auto s = site.Take();
  ASSERT_EQ(s.units.size(), 1u);
  ASSERT_EQ(s.units[0].alarms.size(), 1u);
  EXPECT_EQ(s.units[0].alarms[0].name, alarm.name);
  EXPECT_NE(
      korv_host::MetricsText(s).find(
          R"(korv_alarm_active{unit="1",device="21",type="psma-dc",key="DC_0",description="",code="06008",level="3"} 1)"),
      std::string::npos);
  alarm.transition = korv::AlarmTransition::Cleared;
  site.OnAlarm(1, alarm);
  s = site.Take();
  EXPECT_TRUE(s.units[0].alarms.empty());
  EXPECT_EQ(korv_host::MetricsText(s).find("korv_alarm_active{"), std::string::npos);
  // Two alarms of the child, one cleared: the other stays.
  korv::AlarmCheck other = alarm;
  other.key = "DC_1";
  for (auto* a : {&alarm, &other}) {
    a->transition = korv::AlarmTransition::Raised;
    site.OnAlarm(1, *a);
  }
  alarm.transition = korv::AlarmTransition::Cleared;
  site.OnAlarm(1, alarm);
  s = site.Take();
  ASSERT_EQ(s.units[0].alarms.size(), 1u);
  EXPECT_EQ(s.units[0].alarms[0].key, "DC_1");
  // A state-table alarm raised again in another state is one row, in its
  // new state; a check that neither raises nor clears adds none.
  other.is_map = true;
  for (const char* state : {"open", "blown"}) {
    other.state_text = state;
    site.OnAlarm(1, other);
  }
  korv::AlarmCheck quiet = alarm;
  quiet.key = "DC_2";
  quiet.transition = korv::AlarmTransition::None;
  site.OnAlarm(1, quiet);
  s = site.Take();
  ASSERT_EQ(s.units[0].alarms.size(), 1u);
  EXPECT_EQ(s.units[0].alarms[0].text, "blown");
}

// Each unit's link, counts and round durations: a unit is up only once it
// answered (never heard from, it is down); the histogram is cumulative, a
// duration on a bound counted in that bound's bucket; a child is its id and
// its type.
TEST(SiteState, MetricsOfEachUnit) {
  SiteState site({1, 2, 3});
  site.OnLinkState(1, {true, ""});
  site.OnLinkState(2, {false, "no answer"});
  site.OnLinkState(4, {true, "answering, but no round completes", true});
  for (int k = 0; k < 4; ++k) site.OnRequest(1, {});
  site.OnRound(1, {1, std::chrono::milliseconds(100)});
  site.OnRound(1, {2, std::chrono::milliseconds(300)});
  site.OnRound(1, {3, std::chrono::milliseconds(40000)});
  korv_host::ValuesEvent values;  // values no number holds: no reading, so no sample
  values.device = 31;
  values.type = "psma-dc";
  testing_support::SetFields(values,
                             {{"v", -std::numeric_limits<float>::infinity()},
                              {"i", std::numeric_limits<float>::infinity()},
                              {"p", std::numeric_limits<float>::quiet_NaN()},
                              {"w", 53.5f},
                              {"s", 3}},
                             {{"v", psma::ValueClass::kVoltage},
                              {"w", psma::ValueClass::kVoltage},
                              {"s", psma::ValueClass::kState}});
  site.OnValues(3, values);
  values.type = "psma-ac";  // a child of another type with the same id
  testing_support::SetFields(values, {{"f", 50}}, {{"f", psma::ValueClass::kFrequency}});
  site.OnValues(3, values);
  const std::string text = korv_host::MetricsText(site.Take());
  for (const char* sample : {
           "korv_link_up{unit=\"1\"} 1\n",
           "korv_link_up{unit=\"2\"} 0\n",
           "korv_link_up{unit=\"3\"} 0\n",
           "korv_link_up{unit=\"4\"} 0\n",
           "korv_rounds_total{unit=\"1\"} 3\n",
           "korv_requests_total{unit=\"1\"} 4\n",
           "korv_requests_total{unit=\"2\"} 0\n",
           "korv_round_duration_seconds_bucket{unit=\"1\",le=\"0.05\"} 0\n",
           "korv_round_duration_seconds_bucket{unit=\"1\",le=\"0.1\"} 1\n",
           "korv_round_duration_seconds_bucket{unit=\"1\",le=\"0.5\"} 2\n",
           "korv_round_duration_seconds_bucket{unit=\"1\",le=\"30\"} 2\n",
           "korv_round_duration_seconds_bucket{unit=\"1\",le=\"+Inf\"} 3\n",
           "korv_round_duration_seconds_count{unit=\"1\"} 3\n",
           "korv_round_duration_seconds_sum{unit=\"1\"} 40.4\n",
           "korv_voltage_volts{unit=\"3\",device=\"31\",type=\"psma-dc\",field=\"w\"} 53.5\n",
           "korv_state_code{unit=\"3\",device=\"31\",type=\"psma-dc\",field=\"s\",state=\"3\"} 3\n",
           "korv_frequency_hertz{unit=\"3\",device=\"31\",type=\"psma-ac\",field=\"f\"} 50\n",
       }) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
  }
  EXPECT_NE(korv_host::StateJson(site.Take()).find(R"("unit":4,"link":"no round")"),
            std::string::npos);
  for (const char* field : {"field=\"v\"", "field=\"i\"", "field=\"p\""}) {
    EXPECT_EQ(text.find(field), std::string::npos) << field << text;
  }
}

TEST(SiteState, TheHealthOfAnOutputIsInTheMetrics) {
  SiteState site({1});
  // The outputs serve while korv-host starts: a request may take the state
  // while the sources are added (ThreadSanitizer watches).
  std::atomic<bool> added{false};
  std::atomic<int> taken{0};
  std::thread asking([&] {
    while (!added) {
      site.Take();
      ++taken;
    }
  });
  while (taken < 2) std::this_thread::yield();
  std::atomic<double> queued{0};
  site.WatchHealth([&queued](SiteState::Health& health) {
    health.outputs.push_back({"korv_test_queue_messages", "gauge", "Waiting.", queued});
    health.outputs.push_back({"korv_test_dropped_total", "counter", "Dropped.", 3});
  });
  added = true;
  asking.join();
  queued = 7;  // read at the snapshot, not when added
  const std::string text = korv_host::MetricsText(site.Take());
  EXPECT_NE(text.find("# HELP korv_test_queue_messages Waiting.\n"
                      "# TYPE korv_test_queue_messages gauge\nkorv_test_queue_messages 7\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("# TYPE korv_test_dropped_total counter\nkorv_test_dropped_total 3\n"),
            std::string::npos);
}

TEST(SiteState, AUnitRemovedLeavesWithItsChildrenAndAlarms) {
  SiteState site({1, 2});
  for (unsigned unit : {1u, 2u}) {
    korv_host::ValuesEvent values;
    values.device = 10 * unit + 1;
    values.type = "psma-dc";
    testing_support::SetFields(values, {{"v", 53.5f}});
    site.OnValues(unit, values);
    korv::AlarmCheck alarm;
    alarm.device = 10 * unit + 1;
    alarm.device_type = "psma-dc";
    alarm.key = "DC_0";
    alarm.transition = korv::AlarmTransition::Raised;
    site.OnAlarm(unit, alarm);
    site.OnRound(unit, {1, {}});
  }
  site.OnUnitRemoved(2, {});
  const auto s = site.Take();
  ASSERT_EQ(s.units.size(), 1u);
  EXPECT_EQ(s.units[0].id, 1u);
  EXPECT_EQ(s.units[0].alarms.size(), 1u);
  const std::string metrics = korv_host::MetricsText(s);
  EXPECT_EQ(metrics.find("unit=\"2\""), std::string::npos) << metrics;
}

// Each measured value's unit, as its child described it; a state value, a
// key the child names nothing for and a child never described have none.
TEST(SiteState, StateTellsTheUnitOfEachMeasuredValue) {
  SiteState site({1});
  korv_host::ValuesEvent ac;
  ac.device = 11;
  ac.type = "psma-ac";
  testing_support::SetFields(ac, {{"ia", 12.5f}, {"ia_alert", 0}, {"channel_0_f", 50}, {"odd", 1}},
                             {{"ia", psma::ValueClass::kCurrent},
                              {"ia_alert", psma::ValueClass::kState},
                              {"channel_0_f", psma::ValueClass::kFrequency}});
  site.OnValues(1, ac);
  korv_host::ValuesEvent dc = ac;
  dc.device = 21;
  dc.type = "psma-dc";
  dc.description = nullptr;
  site.OnValues(1, dc);
  const Json::Value children =
      testing_support::ParseJson(korv_host::StateJson(site.Take()))["units"][0]["children"];
  ASSERT_EQ(children.size(), 2u);
  Json::Value units(Json::objectValue);
  for (const auto& f : children[0]["fields"]) {
    if (f.isMember("unit")) units[f["name"].asString()] = f["unit"];
  }
  EXPECT_EQ(units, testing_support::ParseJson(R"({"ia": "A", "channel_0_f": "Hz"})"));
  EXPECT_EQ(children[1]["fields"], Json::Value(Json::arrayValue));
}

// A child's source is that of its last values: restored from the cache at
// start, then the rounds'.
TEST(SiteState, AChildsSourceIsThatOfItsLastValues) {
  SiteState site({1});
  korv_host::ValuesEvent v;
  v.device = 11;
  v.type = "psma-ac";
  testing_support::SetFields(v, {{"ia", 12.5f}});
  for (const auto source :
       {korv_host::Source::kCache, korv_host::Source::kRound, korv_host::Source::kCache}) {
    v.source = source;
    site.OnValues(1, v);
    const Json::Value children =
        testing_support::ParseJson(korv_host::StateJson(site.Take()))["units"][0]["children"];
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0]["source"].asString(), korv_host::SourceName(source));
  }
}

// The times of the state are UTC, to the millisecond, and the age of the
// last round is in seconds, to the millisecond.
TEST(SiteState, StateTellsItsTimesInUtc) {
  const struct {
    std::int64_t ms;  // since the epoch
    const char* text;
    double age;
    const char* age_text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z", 0, "0.000"},
      {1709251199999, "2024-02-29T23:59:59.999Z", 2.125, "2.125"},
      {1796707800123, "2026-12-08T05:30:00.123Z", 61.0626, "61.063"},
  };
  for (const auto& c : cases) {
    const SiteState::WallTime at{milliseconds(c.ms)};
    SiteState::Snapshot s;
    s.at = at;
    s.units.emplace_back();
    s.units[0].id = 1;
    s.units[0].last_round_at = at;
    s.units[0].last_round_age = c.age;
    const std::string text = korv_host::StateJson(s);
    EXPECT_NE(text.find(std::string("\"age_seconds\":") + c.age_text + ","), std::string::npos)
        << text;
    const Json::Value state = testing_support::ParseJson(text);
    EXPECT_EQ(state["at"].asString(), c.text);
    EXPECT_EQ(state["units"][0]["last_round"].asString(), c.text);
  }
}

TEST(HttpLive, MetricsOfARunPassPromtool) {
  const std::string promtool = Find("promtool");
  ASSERT_FALSE(promtool.empty())
      << "promtool not found: install Debian's prometheus (scripts/deps)";
  // A label value with every character the format escapes, beside a run's.
  SiteState odd({7});
  korv_host::ValuesEvent values;
  values.device = 3;
  values.type = "a\"quote\\back\nline";
  testing_support::SetFields(values, {{"k", 1.5f}});
  odd.OnValues(7, values);
  const std::string odd_text = korv_host::MetricsText(odd.Take());
  EXPECT_NE(odd_text.find(R"(type="a\"quote\\back\nline")"), std::string::npos) << odd_text;

  LiveHost host;
  ASSERT_NE(host.port(), 0) << "korv-host did not tell its port";
  ASSERT_TRUE(host.WaitForUnit([](const Json::Value& u) { return u["rounds"].asInt() >= 1; }));
  std::string content_type;
  const std::string run_text = host.Get("/metrics", nullptr, &content_type);
  EXPECT_EQ(content_type, "text/plain; version=0.0.4; charset=utf-8");
  for (const char* sample :
       {"korv_voltage_volts{unit=\"1\",device=\"21\",type=\"psma-dc\",field=\"output.voltage\"} ",
        "korv_link_up{unit=\"1\"} 1", "korv_rounds_total{unit=\"1\"} ",
        "korv_link_faults_total{unit=\"1\",kind=\"no answer\"} 0",
        "korv_requests_total{unit=\"1\"} ",
        "korv_round_duration_seconds_bucket{unit=\"1\",le=\"+Inf\"} ",
        "korv_last_round_age_seconds{unit=\"1\"} "}) {
    EXPECT_NE(run_text.find(sample), std::string::npos) << sample << "\n" << run_text;
  }
  for (const std::string& text : {run_text, odd_text}) {
    TempDir dir;
    const std::string file = dir.path + "/metrics.txt";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    // promtool reads the metrics on its standard input; a native program,
    // under an emulator too.
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    Process check({promtool, "check", "metrics"}, {{0, in}, {1, out[1]}, {2, out[1]}});
    ::close(in);
    ::close(out[1]);
    std::string said;
    ReadUntil(out[0], said, seconds(30), [](const std::string&) { return false; });
    ::close(out[0]);
    const int status = check.Wait(seconds(30));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said << text;
    EXPECT_EQ(said, "") << text;
  }
}

// /healthz is unavailable from the first row the database has not taken.
TEST(HttpServe, HealthzIsUnavailableFromTheFirstRowWaiting) {
  const struct {
    std::uint64_t waiting;
    const char* outage;  // an output's, or empty
    bool ignores_outputs;
    int status;
    const char* body;
  } cases[] = {
      {0, "", false, 200, "ok\n"},
      {1, "", false, 503, "database: 1 rows waiting: disk I/O error\n"},
      {0, "mqtt: the broker b:1883 is away", false, 503, "mqtt: the broker b:1883 is away\n"},
      {0, "mqtt: the broker b:1883 is away", true, 200, "ok\nmqtt: the broker b:1883 is away\n"},
      {1, "snmp: no master", true, 503,
       "database: 1 rows waiting: disk I/O error\nsnmp: no master\n"},
  };
  for (const auto& c : cases) {
    SiteState site({1});
    site.WatchHealth([&c](SiteState::Health& health) {
      health.store_waiting = c.waiting;
      health.store_error = "disk I/O error";
      if (*c.outage != '\0') health.outages.push_back(c.outage);
    });
    korv_host::HttpServer server(site, !c.ignores_outputs);
    std::string error;
    ASSERT_TRUE(server.Bind({"127.0.0.1", 0}, error)) << error;
    server.Start();
    const auto reply = testing_support::HttpGet(server.port(), "/healthz");
    EXPECT_EQ(reply.status, c.status) << c.waiting;
    EXPECT_EQ(reply.body, c.body);
  }
}

TEST(HttpLive, StateInUtf8AndHealthz) {
  LiveHost host;
  ASSERT_NE(host.port(), 0) << "korv-host did not tell its port";
  int status = 0;
  std::string content_type;
  EXPECT_EQ(host.Get("/healthz", &status, &content_type), "ok\n");
  EXPECT_EQ(status, 200);
  host.Get("/nothing", &status);
  EXPECT_EQ(status, 404);
  // Round 2 raises the simulator's alarms.
  ASSERT_TRUE(host.WaitForUnit([](const Json::Value& u) { return u["alarms"].size() > 0; }));
  host.Get("/api/v1/state", &status, &content_type);
  EXPECT_EQ(content_type, "application/json; charset=utf-8");
  const Json::Value unit = host.State()["units"][0];
  EXPECT_EQ(unit["unit"].asUInt(), 1u);
  EXPECT_EQ(unit["link"].asString(), "answering");
  EXPECT_GE(unit["rounds"].asInt(), 2);
  EXPECT_TRUE(unit["last_round"].isString());
  EXPECT_GE(unit["age_seconds"].asDouble(), 0.0);
  EXPECT_GT(unit["requests"].asUInt64(), 0u);
  EXPECT_EQ(unit["faults"]["no answer"].asUInt64(), 0u);
  bool dc_values = false;
  for (const auto& child : unit["children"]) {
    if (child["type"] == "psma-dc") {
      dc_values =
          child["fields"][0]["name"] == "output.voltage" && child["fields"][0]["value"].isDouble();
    }
  }
  EXPECT_TRUE(dc_values) << unit.toStyledString();
  bool dc_alarm = false;
  for (const auto& alarm : unit["alarms"]) {
    // A plain alarm, not a state of a map: it has no state text.
    if (alarm["code"] == "06008")
      dc_alarm =
          alarm["name"] == "输出电压过低告警" && alarm["level"] == 3 && !alarm.isMember("text");
  }
  EXPECT_TRUE(dc_alarm) << unit.toStyledString();
}

// Chromium's DevTools protocol on the pipe it is given (--remote-debugging-
// pipe): it reads commands on its fd 3 and writes on its fd 4, each message
// one JSON text ended by a NUL.
class Devtools {
 public:
  Devtools(int to, int from) : to_(to), from_(from) {}
  // The command's answer ("result" or "error"), or null when none came.
  Json::Value Call(const std::string& method, const Json::Value& params = Json::objectValue,
                   const std::string& session = "") {
    Json::Value msg;
    msg["id"] = ++id_;
    msg["method"] = method;
    msg["params"] = params;
    if (!session.empty()) msg["sessionId"] = session;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    const std::string text = Json::writeString(writer, msg) + '\0';
    if (::write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
    const auto end = Clock::now() + seconds(15);
    while (Clock::now() < end) {
      std::size_t nul;
      if (!ReadUntil(from_, buffer_, seconds(15), [&](const std::string& t) {
            nul = t.find('\0');
            return nul != std::string::npos;
          })) {
        return {};
      }
      Json::Value answer;
      try {
        answer = testing_support::ParseJson(buffer_.substr(0, nul));
      } catch (const std::exception&) {
      }
      buffer_.erase(0, nul + 1);
      if (answer["id"] == id_) return answer;  // else an event
    }
    return {};
  }

 private:
  int to_, from_;
  int id_ = 0;
  std::string buffer_;
};

TEST(HttpLive, StatusPageShowsValuesThenAnAlarmThenItsClearing) {
  const std::string chromium = Find("chromium");
  ASSERT_FALSE(chromium.empty()) << "chromium not found: install Debian's chromium (scripts/deps)";
  // The example's units, served by psma-sim on the loopback: the test raises
  // the DC voltage alarm once the page shows the values, and clears it once
  // the page shows the alarm, so a loaded machine's page sees each state.
  TempDir scenario;
  const std::string file = scenario.Write("scenario.json", R"({"address": 1,
    "ac": [{"channels": [{"a": 230, "b": 231, "c": 229.5, "f": 50}], "ia": 12.5, "ib": 12, "ic": "none"}],
    "rc": {"value": 53.5, "modules": [{"value": 20}]}, "dc": [{"v": 53.5, "i": 120}]})");
  testing_support::LoopbackSim sim(PSMA_SIM_PATH, {"--scenario", file});
  ASSERT_FALSE(sim.url().empty()) << sim.program().Err();
  LiveHost host(-1, false, R"({"units": [{"type": "psma", "data_id": 1, "address": 1,
    "port": ")" + sim.url() + R"(", "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}],
    "rcSetting": {}}]})");
  ASSERT_NE(host.port(), 0) << "korv-host did not tell its port";
  TempDir profile;
  int to[2], from[2];
  ASSERT_EQ(::pipe2(to, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(from, O_CLOEXEC), 0);
  ::signal(SIGPIPE, SIG_IGN);
  Process browser(
      {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + profile.path, "--remote-debugging-pipe",
       "http://127.0.0.1:" + std::to_string(host.port()) + "/"},
      {{3, to[0]}, {4, from[1]}});
  ::close(to[0]);
  ::close(from[1]);
  ASSERT_TRUE(browser.Started());
  Devtools devtools(to[1], from[0]);
  std::string page;
  ASSERT_TRUE(WaitFor(seconds(20), [&] {
    const Json::Value targets = devtools.Call("Target.getTargets");
    for (const auto& target : targets["result"]["targetInfos"]) {
      if (target["type"] == "page") page = target["targetId"].asString();
    }
    return !page.empty();
  })) << "chromium shows no page";
  Json::Value attach;
  attach["targetId"] = page;
  attach["flatten"] = true;
  const std::string session =
      devtools.Call("Target.attachToTarget", attach)["result"]["sessionId"].asString();
  ASSERT_FALSE(session.empty());

  // The test has the page refresh at once (its refresh()) rather than wait
  // for its timer, the page's refresh period being about a round. The timer
  // is checked last.
  const struct {
    const char* what;
    const char* command;  // psma-sim's, before the step
    const char* expression;
    std::vector<std::string> shown, gone;
  } steps[] = {
      {"the simulator's values",
       "",
       "refresh().then(() => document.body.innerText)",
       {"Unit 1", "answering", "psma-ac 11", "voltage.ab", "psma-dc 21", "output.voltage\t53.",
        "module\t1\ncurrent\t20.0 A", "phase.c.current\t\u2014"},
       {"no round yet"}},
      {"the DC voltage alarm",
       "set /dc/0/v_alert 1\n",
       "refresh().then(() => document.body.innerText)",
       {"输出电压过低告警", "psma-dc 21 DC_0 06008, level 3"},
       {"no active alarm"}},
      {"its clearing",
       "set /dc/0/v_alert 0\n",
       "refresh().then(() => document.body.innerText)",
       {"no active alarm"},
       {"06008"}},
      {"a trend of the DC voltage, from the history, drawn by the chart library",
       "",
       "showTrend(1, 21, 'psma-dc', 'output.voltage', 'V')"
       ".then(said => said + '; ' + (trendChart ? 'drawn' : 'not drawn'))",
       {"trend output.voltage: ", "; drawn"},
       {": 0 points", "no history", "no chart library"}},
      {"a refresh by the page's own timer",
       "",
       "new Promise(done => { const was = document.getElementById('status').textContent;"
       " new MutationObserver(() => done('refreshed')).observe(document.getElementById('status'),"
       " {childList: true, characterData: true, subtree: true});"
       " setTimeout(() => done(was), 2500); })",
       {"refreshed"},
       {}},
  };
  std::string text;
  for (const auto& step : steps) {
    ASSERT_TRUE(sim.program().Write(step.command)) << step.what;
    Json::Value eval;
    eval["expression"] = step.expression;
    eval["awaitPromise"] = true;
    eval["returnByValue"] = true;
    const bool seen = WaitFor(seconds(30), [&] {
      text =
          devtools.Call("Runtime.evaluate", eval, session)["result"]["result"]["value"].asString();
      for (const auto& s : step.shown) {
        if (text.find(s) == std::string::npos) return false;
      }
      for (const auto& g : step.gone) {
        if (text.find(g) != std::string::npos) return false;
      }
      return true;
    });
    EXPECT_TRUE(seen) << step.what << "; the page shows:\n" << text;
    if (!seen) break;
  }
  devtools.Call("Browser.close");
  ::close(to[1]);
  ::close(from[0]);
}

TEST(HttpLive, ServesGetAndHeadOnlyToTheLoopbacksOwnNames) {
  LiveHost host;
  ASSERT_NE(host.port(), 0) << "korv-host did not tell its port";
  const std::string port = std::to_string(host.port());
  const std::string at = "Host: 127.0.0.1:" + port + "\r\n";
  const struct {
    const char* what;
    std::string request;
    int status;
    std::string allow;  // the Allow header expected, if any
  } cases[] = {
      {"GET", "GET /healthz HTTP/1.1\r\n" + at + "Connection: close\r\n\r\n", 200, ""},
      {"HEAD", "HEAD /metrics HTTP/1.1\r\n" + at + "Connection: close\r\n\r\n", 200, ""},
      {"HTTP/1.0 without a Host", "GET /healthz HTTP/1.0\r\n\r\n", 200, ""},
      {"localhost", "GET / HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n", 200, ""},
      {"LocalHost", "GET / HTTP/1.1\r\nHost: LocalHost:" + port + "\r\n\r\n", 200, ""},
      {"[::1]", "GET / HTTP/1.1\r\nHost: [::1]:" + port + "\r\n\r\n", 200, ""},
      {"a page of another site rebound to the loopback",
       "GET /api/v1/state HTTP/1.1\r\nHost: attacker.example:" + port + "\r\n\r\n", 421, ""},
      {"a name that only starts like the loopback's",
       "GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1.attacker.example\r\n\r\n", 421, ""},
      {"POST", "POST /healthz HTTP/1.1\r\n" + at + "Content-Length: 2\r\n\r\nab", 405, "GET, HEAD"},
      {"PUT", "PUT / HTTP/1.1\r\n" + at + "Content-Length: 0\r\n\r\n", 405, "GET, HEAD"},
      {"OPTIONS", "OPTIONS * HTTP/1.1\r\n" + at + "\r\n", 405, "GET, HEAD"},
      {"a GET with an empty body",
       "GET /healthz HTTP/1.1\r\n" + at + "Content-Length: 0\r\nConnection: close\r\n\r\n", 200,
       ""},
      {"a GET with a body", "GET /healthz HTTP/1.1\r\n" + at + "Content-Length: 3\r\n\r\nabc", 413,
       ""},
      {"a GET with a chunked body",
       "GET /healthz HTTP/1.1\r\n" + at + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       413, ""},
      {"a request line without its version", "GET /healthz\r\n\r\n", 400, ""},
      {"a URI with a space", "GET /a b HTTP/1.1\r\n" + at + "\r\n", 400, ""},
      {"HTTP/1.1 without a Host", "GET /healthz HTTP/1.1\r\n\r\n", 400, ""},
      {"a header line without a colon", "GET /healthz HTTP/1.1\r\n" + at + "Bad\r\n\r\n", 400, ""},
      {"a URI longer than a request may be",
       "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n" + at + "\r\n", 414, ""},
      {"headers longer than a request may be",
       "GET / HTTP/1.1\r\n" + at + "X-Big: " + std::string(20000, 'a') + "\r\n\r\n", 431, ""},
      {"no such path", "GET /nothing HTTP/1.1\r\n" + at + "\r\n", 404, ""},
      // The history: its parameters checked before any read.
      {"history", "GET /api/v1/history?unit=1&limit=1 HTTP/1.1\r\n" + at + "\r\n", 200, ""},
      {"history without a unit", "GET /api/v1/history HTTP/1.1\r\n" + at + "\r\n", 400, ""},
      {"history of no unit", "GET /api/v1/history?unit=7 HTTP/1.1\r\n" + at + "\r\n", 400, ""},
      {"history with a parameter twice",
       "GET /api/v1/history?unit=1&unit=1 HTTP/1.1\r\n" + at + "\r\n", 400, ""},
      {"history with an unknown parameter",
       "GET /api/v1/history?unit=1&form=csv HTTP/1.1\r\n" + at + "\r\n", 400, ""},
      {"history backwards", "GET /api/v1/history?unit=1&from=9&to=8 HTTP/1.1\r\n" + at + "\r\n",
       400, ""},
      {"history in local time",
       "GET /api/v1/history?unit=1&from=2026-12-09T16:00:00 HTTP/1.1\r\n" + at + "\r\n", 400, ""},
      {"history of no field",
       "GET /api/v1/history?unit=1&fields=output.voltage,x HTTP/1.1\r\n" + at + "\r\n", 400, ""},
      {"history past the row limit",
       "GET /api/v1/history?unit=1&limit=10001 HTTP/1.1\r\n" + at + "\r\n", 400, ""},
      {"history in XML", "GET /api/v1/history?unit=1&format=xml HTTP/1.1\r\n" + at + "\r\n", 400,
       ""},
      {"history after no row",
       "GET /api/v1/history?unit=1&after=yesterday HTTP/1.1\r\n" + at + "\r\n", 400, ""},
  };
  for (const auto& c : cases) {
    const auto reply = testing_support::Exchange(host.port(), c.request);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(reply.body.find("HTTP/1."), std::string::npos) << c.what << ": answered twice";
    const auto allow = reply.headers.find("allow");
    EXPECT_EQ(allow != reply.headers.end() ? allow->second : "", c.allow) << c.what;
  }
  // HEAD: the headers of a GET, no body.
  const auto head = testing_support::Exchange(
      host.port(), "HEAD /healthz HTTP/1.1\r\n" + at + "Connection: close\r\n\r\n");
  EXPECT_EQ(head.headers.at("content-length"), "3");
  EXPECT_EQ(head.body, "");
}

// An attacker on another address of the loopback.
int Attacker(int port, int n) {
  return testing_support::ConnectLoopback(port, ("127.0.0." + std::to_string(n)).c_str());
}

// Unread replies hold at most their bound (past it a document waits, one
// bigger goes alone) and give their memory back (glibc's, not a sanitizer's).
TEST(HttpServe, UnreadRepliesHoldABoundedTotalAndGiveItBack) {
  SiteState site({1});
  korv_host::ValuesEvent values;  // metrics of 70 MB, a state of 10 MB
  values.type = std::string(12000, 't');
  std::vector<std::pair<std::string, float>> fields(5000);
  for (int k = 0; k < 5000; ++k) fields[k].first = std::to_string(k) + std::string(2000, 'f');
  testing_support::SetFields(values, fields);
  site.OnValues(1, values);
  korv_host::HttpServer server(site);
  std::string error;
  ASSERT_TRUE(server.Bind({"127.0.0.1", 0}, error)) << error;
  server.Start();
  const auto rss = [] {
    long size = 0, pages = 0;
    std::ifstream("/proc/self/statm") >> size >> pages;
    return pages * ::sysconf(_SC_PAGESIZE);
  };
  [[maybe_unused]] const long before = rss();
  // Each reads its headers only; the second state fits beside the first.
  const std::pair<const char*, int> cases[] = {
      {"/api/v1/state", 200}, {"/api/v1/state", 200}, {"/metrics", 503}, {"/healthz", 200}};
  std::vector<int> unread;
  for (const auto& [path, status] : cases) {
    unread.push_back(testing_support::ConnectLoopback(server.port()));
    const std::string get = std::string("GET ") + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    ::send(unread.back(), get.data(), get.size(), MSG_NOSIGNAL);
    std::string head;
    ReadUntil(unread.back(), head, seconds(10),
              [](const std::string& t) { return t.find("\r\n\r\n") != std::string::npos; });
    auto reply = testing_support::ParseReply(head);
    EXPECT_EQ(reply.status, status) << path;
    EXPECT_EQ(reply.headers["retry-after"], status == 503 ? "5" : "") << path;
  }
  for (int fd : unread) ::close(fd);
  const std::string head_metrics =
      "HEAD /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  EXPECT_TRUE(WaitFor(seconds(30), [&] {
    return testing_support::Exchange(server.port(), head_metrics, seconds(30)).status == 200;
  }));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(rss() - before, 8 << 20) << "the replies' memory was kept";
#endif
}

TEST(HttpLive, HealthzAnswersAndRoundsGoOnUnderAttackAndSigtermEndsIt) {
  LiveHost host;
  ASSERT_NE(host.port(), 0) << "korv-host did not tell its port";
  ASSERT_TRUE(host.WaitForUnit([](const Json::Value& u) { return u["rounds"].asInt() >= 1; }));
  const int port = host.port();
  std::atomic<bool> stop{false};
  std::vector<std::thread> attacks;
  // 600 idle connections from 75 addresses, each opened again as soon as
  // the server closes it.
  attacks.emplace_back([&] {
    const auto open_idle = [&](long k) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in from{}, to{};
      from.sin_family = to.sin_family = AF_INET;
      ::inet_pton(AF_INET, ("127.0.0." + std::to_string(20 + k % 75)).c_str(), &from.sin_addr);
      to.sin_port = htons(static_cast<std::uint16_t>(port));
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
      return fd;
    };
    std::vector<pollfd> idle(600);
    for (auto& p : idle) p = {open_idle(&p - idle.data()), POLLIN, 0};
    while (!stop) {
      if (::poll(idle.data(), idle.size(), 100) <= 0) continue;
      for (auto& p : idle) {
        if (p.revents == 0) continue;
        ::close(p.fd);
        p = {open_idle(&p - idle.data()), POLLIN, 0};
      }
    }
    for (auto& p : idle) ::close(p.fd);
  });
  // Four clients, each sending its request one byte a second.
  for (int n = 3; n <= 6; ++n) {
    attacks.emplace_back([&, n] {
      const int fd = Attacker(port, n);
      const std::string request =
          "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(100, 'x') +
          "\r\n\r\n";
      for (std::size_t at = 0; at < request.size() && !stop; ++at) {
        ::send(fd, &request[at], 1, MSG_NOSIGNAL);
        for (int t = 0; t < 10 && !stop; ++t) std::this_thread::sleep_for(milliseconds(100));
      }
      ::close(fd);
    });
  }
  // A chunked upload that never ends.
  attacks.emplace_back([&] {
    const int fd = Attacker(port, 7);
    std::string chunk =
        "POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string data = "10000\r\n" + std::string(0x10000, 'z') + "\r\n";
    while (!stop && ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) >= 0) chunk = data;
    ::close(fd);
  });
  // Hundreds of overlapping ranges of the metrics, again and again.
  std::atomic<std::size_t> largest{0};
  std::atomic<int> partial{0};
  attacks.emplace_back([&] {
    std::string ranges = "bytes=0-";
    for (int k = 0; k < 300; ++k) ranges += ",0-";
    while (!stop) {
      const auto reply = testing_support::Exchange(
          port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: " + ranges + "\r\n\r\n",
          seconds(5), "127.0.0.8");
      largest = std::max<std::size_t>(largest, reply.body.size());
      if (reply.status == 206) ++partial;
    }
  });

  const int rounds = host.Rounds();
  int answered = 0, tries = 0;
  // A round takes about two seconds: several rounds under attack.
  const auto end = Clock::now() + seconds(40);
  while (Clock::now() < end && (host.Rounds() < rounds + 3 || tries < 10)) {
    ++tries;
    const auto reply = testing_support::HttpGet(port, "/healthz", seconds(1));
    if (reply.status == 200 && reply.body == "ok\n") ++answered;
    std::this_thread::sleep_for(milliseconds(200));
  }
  EXPECT_EQ(answered, tries) << "/healthz did not answer within a second";
  EXPECT_GE(host.Rounds(), rounds + 3) << "the rounds stopped";
  EXPECT_EQ(partial, 0) << "ranges were served";
  EXPECT_LT(largest, std::size_t{1} << 20) << "the ranges made the answer grow";

  // SIGTERM with every attacker still there.
  EXPECT_TRUE(host.Stop(seconds(2))) << "korv-host did not end within 2 s of SIGTERM";
  stop = true;
  for (auto& t : attacks) t.join();
}

TEST(HttpLive, AnUnreadStandardOutputStopsNoRound) {
  // A pipe no one reads, as small as a pipe gets: the JSON lines fill it
  // in three rounds.
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(out[1], F_SETPIPE_SZ, 4096), 4096);
  LiveHost host(out[1], true);
  ::close(out[1]);
  ASSERT_NE(host.port(), 0) << "korv-host did not tell its port";
  EXPECT_TRUE(WaitFor(seconds(40), [&] { return host.Rounds() >= 8; }))
      << "the rounds stopped at " << host.Rounds();
  EXPECT_EQ(host.Get("/healthz"), "ok\n");
  // Read at last: the lines waited.
  std::string text;
  EXPECT_TRUE(ReadUntil(out[0], text, seconds(30), [](const std::string& t) {
    return t.find(R"({"event":"round","unit":1,"round":8,")") != std::string::npos;
  })) << text.substr(0, 2000);
  ::close(out[0]);
}

}  // namespace
