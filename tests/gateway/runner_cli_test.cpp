// The command lines of korv-host and psma-sim: help that names every option,
// and a one-line error with exit status 2 for a bad site file or port.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

using testing_support::RunProgram;

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/korv-site-XXXXXX";
    const int fd = ::mkstemp(name);
    path = name;
    if (fd >= 0) {
      [[maybe_unused]] const ssize_t n = ::write(fd, content.data(), content.size());
      ::close(fd);
    }
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

TEST(Cli, HelpDescribesEveryOption) {
  const auto host = RunProgram(KORV_HOST_PATH, {"--help"});
  EXPECT_EQ(host.status, 0);
  std::vector<const char*> options = {"--config",   "--plugin", "--db",
                                      "--rounds",   "--json",   "--retain-days",
                                      "--simulate", "--trace",  "--check"};
  // The options of the outputs built in.
#ifdef PSMA_WITH_HTTP
  options.push_back("--http");
#endif
#ifdef PSMA_WITH_MQTT
  options.insert(options.end(), {"--mqtt", "--mqtt-credentials", "--mqtt-ca", "--mqtt-prefix",
                                 "--mqtt-discovery"});
#endif
  for (const char* option : options) {
    EXPECT_NE(host.out.find(option), std::string::npos) << option;
  }
  const auto version = RunProgram(KORV_HOST_PATH, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "korv-host " KORV_VERSION "\n");
  const auto sim = RunProgram(PSMA_SIM_PATH, {"--help"});
  EXPECT_EQ(sim.status, 0);
  const struct {
    const char* option;
    const char* value;  // the default its line shows, or nullptr
  } sim_options[] = {
      {"--scenario", nullptr},
      {"--device", nullptr},
      {"--listen", nullptr},
      {"--servers", "1"},
      {"--unit", nullptr},
      {"--link", nullptr},
      {"--baud", "9600"},
      {"--address", nullptr},
      {"--ac-screens", "1"},
      {"--dc-screens", "1"},
      {"--modules", "3"},
      {"--drop-every", nullptr},
      {"--corrupt-every", nullptr},
      {"--garbage-every", nullptr},
      {"--delay-every", nullptr},
      {"--delay-ms", "1500"},
      {"--pace", nullptr},
      {"--fault-rate", nullptr},
      {"--seed", "1"},
      {"--trace", nullptr},
      {"--print-scenario", nullptr},
  };
  for (const auto& o : sim_options) {
    const std::size_t at = sim.out.find(std::string("  ") + o.option + " ");
    ASSERT_NE(at, std::string::npos) << o.option;
    if (o.value == nullptr) continue;
    const std::string line = sim.out.substr(at, sim.out.find('\n', at) - at) + " ";
    EXPECT_NE(line.find(std::string("=") + o.value + " "), std::string::npos) << line;
  }
}

TEST(Cli, BadSiteOrPortIsOneLineAndStatusTwo) {
  const std::string unit =
      R"("type": "psma", "data_id": 1, "address": 1, "acSetting": [], "rcSetting": {})";
  const struct {
    std::string site;
    const char* names;  // what the one line must name
  } cases[] = {
      {"{\"units\": [", "not JSON"},
      {R"({"units": []})", "\"units\" must be a non-empty array"},
      {R"("units")", "\"units\" must be a non-empty array"},
      {R"({"units": [{"data_id": 1}]})", "units[0]: \"type\" must be a text"},
      {R"({"units": [{"type": "ups", "data_id": 1, "port": "/dev/null"}]})",
       "no provider of the plug-in makes devices of type \"ups\""},
      {R"({"units": [{"type": "psma-ac", "data_id": 1, "port": "/dev/null"}]})",
       "units[0]: type \"psma-ac\" is not a unit on a serial line"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/a"}, {)" + unit + R"(, "port": "/dev/b"}]})",
       "units[1]: data_id 1 is used twice"},
      {"{\"units\": [{" + unit + "}]}", "has no \"port\""},
      {R"({"units": [{"type": "psma", "data_id": 1, "address": 300, "port": "/dev/x", "rcSetting": {}}]})",
       "units[0]: \"address\" must be 0..255"},
      {R"({"units": [{"type": "psma", "data_id": 18446744073709551615, "port": "/dev/x"}]})",
       "\"data_id\" must be a whole number 0..4294967295"},
      {R"({"units": [{"type": "psma", "data_id": 1, "address": 1e19, "port": "/dev/x"}]})",
       "units[0]: \"address\" must be 0..255"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x", "scenario": 5}]})",
       "units[0]: \"scenario\" must be a file path"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x", "answer_timeout_ms": 0}]})",
       "units[0]: \"answer_timeout_ms\" must be 1..60000"},
      {R"({"units": [{"type": "psma", "data_id": 1, "port": "/dev/x"}]})", "\"rcSetting\" object"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/null"}]})",
       "unit 1: not a serial port (tcgetattr): Inappropriate ioctl for device"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x", "baud": 9601}]})",
       "units[0]: \"baud\" must be a standard line rate"},
      {"{\"units\": [{" + unit + R"(, "port": "tcp://10.0.0.1"}]})",
       "units[0]: \"port\": \"tcp://10.0.0.1\" is not tcp://HOST:PORT"},
      // A value of any length is shown cut, its control characters escaped.
      {R"({"units": [{"type": ")" + std::string(5000000, 'x') +
           R"(\u001b]2;", "data_id": 1, "port": "/dev/null"}]})",
       "makes devices of type \"xxxxxxxx"},
      {R"({"units": [{"type": ")" + std::string(5000000, 'x') +
           R"(\u001b]2;", "data_id": 1, "port": "/dev/null"}]})",
       "... (5000088 bytes in all)"},
      {R"({"units": [{"type": "a\u001b]2;b", "data_id": 1, "port": "/dev/null"}]})",
       R"(type "a\x1b]2;b")"},
      // How the database keeps the history.
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "store": 60})",
       ": store must be an object"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "store": {"history_every": -1}})",
       "store: \"history_every\" must be a whole number 0..86400 (seconds; 0: every round)"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "store": {"retain_days": 36501}})",
       "store: \"retain_days\" must be a whole number 0..36500 (days; 0 keeps all)"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "store": {"max_size_mb": 1.5}})",
       "store: \"max_size_mb\" must be a whole number 0..1048576 (MB; 0: no bound)"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "store": {"retain_day": 3}})",
       "store: unknown key \"retain_day\" (did you mean \"retain_days\"?)"},
      // korv-host's options in the site file.
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "options": 5})",
       ": \"options\" must be an object of korv-host's options"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "options": {"jsno": true}})",
       "\"options\": \"jsno\" is no option of korv-host (did you mean \"json\"?)"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "options": {"config": "a"}})",
       "\"options\": \"config\" is given on the command line only"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "options": {"modbus-map": true}})",
       "\"options\": \"modbus-map\" is given on the command line only"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "options": {"rounds": [1]}})",
       "\"options\": \"rounds\" takes one value, not an array"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "options": {"http": {}}})",
       "\"options\": \"http\" must be a text, a number or true/false"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "options": {"rounds": -1}})",
       "\"options\": --rounds: Value -1 not in range 0 to 2147483647"},
      {"{\"units\": [{" + unit + R"(, "port": "/dev/x"}], "stor": {}})",
       "unknown key \"stor\" (did you mean \"store\"?)"},
      // A bus: each unit needs its own address on it, and the line has one rate.
      {R"({"units": [{"type": "psma", "data_id": 1, "port": "/dev/x", "rcSetting": {}},
                     {"type": "psma", "data_id": 2, "port": "/dev/x", "rcSetting": {}}]})",
       "units[0] and units[1] share the port /dev/x and the address 1"},
      {R"({"units": [{"type": "psma", "data_id": 1, "port": "tcp://h:1", "rcSetting": {}},
                     {"type": "psma", "data_id": 2, "port": "tcp://h:1", "rcSetting": {},
                      "address": 2, "baud": 19200}]})",
       "units[0] (9600 baud) and units[1] (19200 baud) share the port tcp://h:1 at different "
       "line rates"},
      {R"({"units": [{"type": "psma", "data_id": 1, "port": "tcp://h:1", "rcSetting": {},
                      "baud": 19200},
                     {"type": "psma", "data_id": 2, "port": "tcp://h:1", "rcSetting": {},
                      "address": 2}]})",
       "units[0] (19200 baud) and units[1] (9600 baud) share the port tcp://h:1 at different "
       "line rates"},
      // Units on two ports: an address on one port is free on the other, so
      // the site passes its checks and the first port is opened.
      {R"({"units": [{"type": "psma", "data_id": 1, "port": "/dev/null", "rcSetting": {}},
                     {"type": "psma", "data_id": 2, "port": "/dev/zero", "rcSetting": {},
                      "address": 2},
                     {"type": "psma", "data_id": 3, "port": "/dev/null", "rcSetting": {},
                      "address": 2}]})",
       "unit 1: not a serial port (tcgetattr)"},
      // One server, two spellings.
      {R"({"units": [{"type": "psma", "data_id": 1, "port": "tcp://127.0.0.1:4001", "rcSetting": {}},
                     {"type": "psma", "data_id": 2, "port": "TCP://localhost:04001", "rcSetting": {}}]})",
       "units[0] and units[1] share the port TCP://localhost:04001 and the address 1"},
  };
  for (const auto& c : cases) {
    TempFile site(c.site);
    TempFile db("");
    const auto r = RunProgram(
        KORV_HOST_PATH, {"--config", site.path, "--db", db.path, "--plugin", PSMA_PLUGIN_PATH});
    EXPECT_EQ(r.status, 2) << c.site;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("korv-host: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const auto missing = RunProgram(KORV_HOST_PATH, {"--config", "/no/such/site.json"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err,
            "korv-host: cannot read the site file /no/such/site.json: No such file or directory\n");
}

TEST(Cli, RetainDaysOutOfRangeIsOneLineAndStatusTwo) {
  // Past a hundred years the cut-off leaves the calendar (an exception on
  // the pruning thread) or wraps to tomorrow (every row deleted).
  for (const char* days : {"36501", "300000", "2147483647"}) {
    TempFile db("");
    const auto r = RunProgram(KORV_HOST_PATH, {"--retain-days", days, "--rounds", "1", "--db",
                                               db.path, "--plugin", PSMA_PLUGIN_PATH});
    EXPECT_EQ(r.status, 2) << days << r.err;
    EXPECT_EQ(r.err, std::string("korv-host: --retain-days ") + days +
                         ": expected 0..36500 (days; 0 keeps all)\n");
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  // A hundred years is the most kept.
  TempFile db("");
  const auto r = RunProgram(KORV_HOST_PATH, {"--retain-days", "36500", "--rounds", "1", "--db",
                                             db.path, "--plugin", PSMA_PLUGIN_PATH});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Cli, ASiteFileThatIsNotOneJsonObjectIsRefusedNamingTheFile) {
  const std::string site =
      R"({"units": [{"type": "psma", "data_id": 1, "port": "/dev/x", "rcSetting": {}}]})";
  const struct {
    std::string text;
    const char* names;
  } cases[] = {
      {site + " trailing", "not JSON"},
      {site + site, "not JSON"},
      {R"({"units": [], "units": [{"type": "psma"}]})", "not JSON"},
      {std::string(100000, '[') + std::string(100000, ']'), "not JSON"},
      {R"({"units": [{"type": "psma", "data_id": 1, "port": "/dev/x", "rcSetting": {},}]})",
       "not JSON"},
  };
  for (const auto& c : cases) {
    TempFile file(c.text);
    const auto r =
        RunProgram(KORV_HOST_PATH, {"--config", file.path, "--plugin", PSMA_PLUGIN_PATH});
    EXPECT_EQ(r.status, 2) << c.text.substr(0, 80);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("korv-host: " + file.path + ": " + c.names, 0), 0u) << r.err;
  }
}

TEST(Cli, ACommandLineMistakeExitsTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--no-such-option"}, {"--rounds", "x"}, {"--rounds", "-1"}, {"--config"}, {"stray"},
  };
  for (const auto& args : cases) {
    const auto r = RunProgram(KORV_HOST_PATH, args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_FALSE(r.err.empty()) << args[0];
  }
}

TEST(Cli, SimulatorRefusesABadScenarioInOneLine) {
  TempFile scenario(R"({"rc": {"value": 1, "modules": [{"value": [1]}]}})");
  const auto r = RunProgram(PSMA_SIM_PATH, {"--scenario", scenario.path});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "psma-sim: scenario " + scenario.path +
                       ": /rc/modules/0/value: expected a number, \"none\" or a wave\n");
}

TEST(Cli, SimulatorRefusesAUnitThatNamesNoAddressInOneLine) {
  for (const char* unit : {"3x", "1.5", "256", "x=scenario.json"}) {
    const auto r = RunProgram(PSMA_SIM_PATH, {"--unit", unit}, std::chrono::seconds(10));
    EXPECT_EQ(r.status, 2) << unit;
    EXPECT_EQ(r.err,
              std::string("psma-sim: --unit ") + unit + ": expected ADDRESS[=SCENARIO_FILE]\n");
  }
}

// psma-sim's options: what each refuses, and the unit each makes.
TEST(Cli, SimulatorOptionsMakeTheirUnitsOrAreRefusedInOneLine) {
  TempFile scenario(R"({"model": "FROM-FILE", "rc": {"value": 1, "modules": []}})");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // what standard output holds
    std::string err;  // how standard error begins
  } cases[] = {
      {{"--address", "0", "--print-scenario"}, 0, "\"address\" : 0,", ""},
      {{"--unit", "5=" + scenario.path, "--print-scenario"}, 0, "\"model\" : \"FROM-FILE\"", ""},
      {{"--unit", "5=" + scenario.path, "--print-scenario"}, 0, "\"address\" : 5", ""},
      {{"--unit", "255=" + scenario.path, "--print-scenario"}, 0, "\"address\" : 255", ""},
      {{"--dc-screens", "3", "--print-scenario"}, 0, "\"dc\"", ""},
      {{"--dc-screens", "4"}, 105, "", "--dc-screens: "},
      {{"--baud", "19200", "--print-scenario"}, 0, "\"address\" : 1", ""},
      {{"--baud", "9601"}, 105, "", "--baud: not a standard rate\n"},
      {{"--baud", "fast"}, 105, "", "--baud: not a number\n"},
      {{"--unit", "1", "--unit", "2=" + scenario.path, "--unit", "1=" + scenario.path},
       2,
       "",
       "psma-sim: two units at address 1\n"},
      {{"--listen", ":4001"}, 2, "", "psma-sim: --listen :4001: expected HOST:PORT\n"},
      {{"--listen", "127.0.0.1"}, 2, "", "psma-sim: --listen 127.0.0.1: expected HOST:PORT\n"},
      // The last port is served; the one past it, the second server's, is not.
      {{"--listen", "127.0.0.1:65535", "--servers", "2"},
       1,
       "",
       "psma-sim: 127.0.0.1:65536: not an IP address and port\n"},
  };
  for (const auto& c : cases) {
    const auto r = RunProgram(PSMA_SIM_PATH, c.args, std::chrono::seconds(10));
    EXPECT_EQ(r.status, c.status) << c.args[1] << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args[1] << r.out;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
  }
}

// psma-sim's commands name a unit by its address, 0..255.
TEST(Cli, SimulatorCommandsNameAUnitByItsAddress) {
  if (std::string(PSMA_TEST_EMULATOR).size() > 0) GTEST_SKIP() << "under an emulator";
  const auto r =
      RunProgram("/bin/sh",
                 {"-c", "printf '@256 drop\\n@255 drop\\n@1 drop\\nquit\\n' | \"$0\" >/dev/null",
                  PSMA_SIM_PATH},
                 std::chrono::seconds(10));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "psma-sim: @256: not a unit address\npsma-sim: no unit at address 255\n");
}

}  // namespace

namespace {

// A USB serial adapter that appears after korv-host started (late at boot,
// plugged in again): --check warns, the start waits for it, and its line is
// opened and polled once it is there.
TEST(Cli, ASerialPortThatAppearsLateIsOpenedAndPolled) {
  if (std::string(PSMA_TEST_EMULATOR).size() > 0) GTEST_SKIP() << "under an emulator";
  const testing_support::TempDir dir;
  const std::string port = dir.path + "/ttyUSB9";
  const std::string site = dir.Write(
      "site.json", R"({"units": [{"type": "psma", "data_id": 1, "port": ")" + port +
                       R"(", "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}],
                       "rcSetting": {}}]})");
  const auto check = RunProgram(KORV_HOST_PATH, {"--check", site, "--plugin", PSMA_PLUGIN_PATH});
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.err, "korv-host: warning: " + site + ": units[0]: port " + port +
                           " is not there now: korv-host waits for it\n");

  testing_support::ChildProgram host(KORV_HOST_PATH,
                                     {"--json", "--config", site, "--db", dir.path + "/k.db",
                                      "--plugin", PSMA_PLUGIN_PATH, "--rounds", "0"},
                                     {});
  ASSERT_TRUE(host.Until([&](const std::string& out, const std::string&) {
    return out.find("cannot open " + port + ": No such file or directory; retrying") !=
           std::string::npos;
  })) << host.Out()
      << host.Err();
  // The adapter comes: the simulator's pseudo-terminal under the port's name.
  testing_support::ChildProgram sim(PSMA_SIM_PATH, {}, {});
  std::string pty;
  ASSERT_TRUE(sim.Until([&](const std::string& out, const std::string&) {
    if (out.find('\n') == std::string::npos) return false;
    pty = out.substr(0, out.find('\n'));
    return true;
  })) << sim.Err();
  ASSERT_EQ(::symlink(pty.c_str(), port.c_str()), 0);
  EXPECT_TRUE(host.Until([](const std::string& out, const std::string&) {
    return out.find(R"({"event":"round","unit":1,"round":1,")") != std::string::npos;
  })) << host.Out()
      << host.Err();
  EXPECT_EQ(host.Stop(), 0) << host.Err();
}

TEST(Cli, WithoutASiteFileItRunsTheExampleAgainstTheSimulator) {
  char name[] = "/tmp/korv-cli-db-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd >= 0) ::close(fd);
  const std::string db = name;
  // No --rounds: the example makes three rounds and ends.
  const auto r = RunProgram(KORV_HOST_PATH, {"--json", "--db", db, "--plugin", PSMA_PLUGIN_PATH});
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(R"({"event":"simulator","unit":1,"port":"/dev/)"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(R"({"event":"round","unit":1,"round":3,")"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(R"({"event":"round","unit":1,"round":4,")"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(R"("device":11,"type":"psma-ac","fields":{"input1.voltage.ab":)"),
            std::string::npos);
  EXPECT_NE(r.out.find(R"("device":21,"type":"psma-dc","fields":{"output.voltage":)"),
            std::string::npos);
  // The first round brings the screens' first data; the built-in site's
  // thresholds hold the second round's small moves.
  EXPECT_NE(
      r.out.find(R"({"event":"change","device":11,"type":"psma-ac","changed":true,"unit":1,")"),
      std::string::npos);
  EXPECT_NE(
      r.out.find(R"({"event":"change","device":21,"type":"psma-dc","changed":false,"unit":1,")"),
      std::string::npos);
  // Every line is one JSON object; the plug-in's trace lines are not here.
  std::size_t start = 0;
  while (start < r.out.size()) {
    const std::size_t end = r.out.find('\n', start);
    const std::string line = r.out.substr(start, end - start);
    EXPECT_TRUE(line.size() > 2 && line.front() == '{' && line.back() == '}') << line;
    start = end == std::string::npos ? r.out.size() : end + 1;
  }
}

// A simulated unit with no scenario of its own has the screens its settings
// name: every AC and DC screen of the site gets the unit's values.
TEST(Cli, ASimulatedUnitHasTheScreensItsSettingsName) {
  const struct { int ac, dc; } cases[] = {{1, 2}, {2, 1}};
  for (const auto& c : cases) {
    std::string ac, dc;
    for (int k = 0; k < c.ac; ++k)
      ac += (k ? "," : "") + fmt::format(R"({{"data_id": {}}})", 11 + k);
    for (int k = 0; k < c.dc; ++k)
      dc += (k ? "," : "") + fmt::format(R"({{"data_id": {}}})", 21 + k);
    const TempFile site(fmt::format(
        R"({{"units": [{{"type": "psma", "data_id": 1, "acSetting": [{}], "dcSetting": [{}], "rcSetting": {{}}}}]}})",
        ac, dc));
    const auto r = RunProgram(KORV_HOST_PATH,
                              {"--config", site.path, "--simulate", "--json", "--rounds", "1",
                               "--plugin", PSMA_PLUGIN_PATH},
                              std::chrono::seconds(30));
    EXPECT_EQ(r.status, 0) << r.err;
    for (int k = 0; k < c.ac; ++k) {
      EXPECT_NE(r.out.find(fmt::format(
                    R"("device":{},"type":"psma-ac","fields":{{"input1.voltage.ab":)", 11 + k)),
                std::string::npos)
          << c.ac << " AC " << c.dc << " DC\n"
          << r.out;
    }
    for (int k = 0; k < c.dc; ++k) {
      EXPECT_NE(r.out.find(fmt::format(
                    R"("device":{},"type":"psma-dc","fields":{{"output.voltage":)", 21 + k)),
                std::string::npos)
          << c.ac << " AC " << c.dc << " DC\n"
          << r.out;
    }
  }
}

}  // namespace
