// The notification command on its own, and in a korv-host that refuses a
// command that is none and runs one for the built-in site's alarms.

#include "gateway/outputs/exec/exec_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/temp_dir.h"
#include "tools/common/stop_signals.h"

namespace {

using korv_host::ExecOutput;
using korv_host::ExecSettings;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// Writes its argument and environment, and whether the descriptor `fd`
// reached it, to "log" beside itself.
std::string Logs(int fd = 0) {
  return "{ echo ARG=$1; env; [ ! -e /proc/$$/fd/" + std::to_string(fd) +
         " ] || echo LEAKED; } >> \"$(dirname \"$0\")/log\"";
}
// The program `body` in `dir`; its path.
std::string Program(const testing_support::TempDir& dir, const std::string& body) {
  std::string path = dir.Write("notify", "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

// The program `body` run for what `tell` tells (before the output starts, so
// that its queue fills), with korv-host's signals: what the output told, its
// counts {sent, failed, dropped}, and the program's log.
struct Ran {
  Lines told;
  std::vector<std::uint64_t> counts;
  std::string log;
};
Ran Notify(const std::string& body, ExecSettings settings,
           const std::function<void(ExecOutput&)>& tell, bool drain) {
  const testing_support::TempDir dir;
  settings.command = Program(dir, body);
  Ran ran;
  settings.tell = [&ran](int, const std::string& line) { ran.told.push_back(line); };
  sigset_t mask;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  korv_tools::BlockStopSignals();
  ExecOutput output(settings);
  tell(output);
  std::string error;
  EXPECT_TRUE(output.Start(error)) << error;
  EXPECT_TRUE(!drain || output.Drain(20s));
  output.Stop();
  ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  std::signal(SIGPIPE, SIG_DFL);
  const auto n = output.Counted();
  ran.counts = {n.sent, n.failed, n.dropped};
  ran.log = "\n" + (std::stringstream() << std::ifstream(dir.path + "/log").rdbuf()).str();
  return ran;
}

korv::AlarmCheck Alarm(korv::AlarmTransition transition) {
  const bool map = transition == korv::AlarmTransition::Raised;
  const std::chrono::system_clock::time_point at(std::chrono::milliseconds(1709251199999));
  const std::string name(1200, 'n'), description = "module 2 fan\nSubject: x";
  return {1,    "psma-rc",   map, 2,         4, "PSMA_RC_1", "06025",
          name, description, map, "stopped", 9, transition,  at};
}

std::function<void(ExecOutput&)> Raises(std::size_t count) {
  return [count](ExecOutput& o) {
    for (std::size_t k = 0; k < count; ++k) o.OnAlarm(1, Alarm(korv::AlarmTransition::Raised));
  };
}

ExecSettings Limits(int timeout_s, std::size_t queue_limit) {
  return {"", timeout_s * 1s, 200ms, 500ms, 10min, queue_limit, {}};
}

// What the program finds in its environment for each event (nothing of korv-host's); a program
// that fails, hangs, is flooded or outlives korv-host: ended, counted, told once, then counted.
TEST(ExecOutput, EachEventRunsTheProgramWhichIsEndedCountedAndToldWhenItFails) {
  ::setenv("KORV_MQTT_PASSWORD", "secret", 1);
  const int open_fd = ::open("/dev/null", O_RDONLY);  // as a library may leave one
  const korv_host::LinkEvent links[] = {
      {true, "answering"}, {false, "not answering"}, {true, "answering"}, {true, "no round", true}};
  const struct {
    std::string program;
    std::function<void(ExecOutput&)> tell;
    ExecSettings limits;
    bool drain;                         // else stopped at once
    std::vector<std::uint64_t> counts;  // sent, failed, dropped
    Lines told;                         // in each line told, in order
    Lines present = {}, absent = {};    // in the program's log, or not
  } cases[] = {
      {Logs(open_fd),
       [](ExecOutput& o) { o.OnAlarm(7, Alarm(korv::AlarmTransition::Raised)); },
       Limits(9, 9),
       true,
       {1, 0, 0},
       {},
       {"ARG=alarm-raised", "KORV_EVENT=alarm-raised", "KORV_UNIT=7", "KORV_DEVICE=1",
        "KORV_DEVICE_TYPE=psma-rc", "KORV_KEY=PSMA_RC_1", "KORV_CODE=06025", "KORV_LEVEL=4",
        "KORV_NAME=" + std::string(1000, 'n') + "... (1200 bytes in all)",
        "KORV_DESCRIPTION=module 2 fan\\x0aSubject: x", "KORV_STATE_TEXT=stopped", "KORV_SEQ=9",
        "KORV_AT=2024-02-29T23:59:59.999Z", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8"},
       {"KORV_MQTT_PASSWORD", "HOME=", "\nSubject: x", "KORV_LINK_TEXT", "LEAKED"}},
      // A first contact is no change; a loss and a return are.
      {Logs(),
       [&links](ExecOutput& o) {
         o.OnAlarm(7, Alarm(korv::AlarmTransition::Cleared));
         for (const auto& link : links) o.OnLinkState(3, link);
       },
       Limits(9, 9),
       true,
       {4, 0, 0},
       {},
       {"ARG=alarm-cleared", "KORV_EVENT=alarm-cleared", "KORV_KEY=PSMA_RC_1", "ARG=link-lost",
        "KORV_UNIT=3", "KORV_LINK_TEXT=not answering", "ARG=link-regained",
        "KORV_LINK_TEXT=answering", "ARG=link-no-round", "KORV_LINK_TEXT=no round"},
       {"KORV_STATE_TEXT"}},
      {"exit 3", Raises(3), Limits(9, 9), true, {0, 3, 0}, {"status 3 (alarm-raised", "2 more"}},
      {"exec sleep 20", Raises(1), Limits(1, 9), true, {0, 1, 0}, {"ran past its timeout, ended"}},
      {"trap '' TERM; sleep 20", Raises(1), Limits(1, 9), true, {0, 1, 0}, {"past its timeout"}},
      {"kill -PIPE $$", Raises(1), Limits(9, 9), true, {0, 1, 0}, {"ended by signal 13"}},
      {"kill -TERM $$", Raises(1), Limits(9, 9), true, {0, 1, 0}, {"ended by signal 15"}},
      {"exit 0", Raises(5), Limits(9, 2), true, {2, 0, 3}, {"3 notifications dropped"}},
      {"sleep 20", Raises(3), Limits(9, 9), false, {0, 1, 0}, {"at the stop", "2 notifications"}},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const Ran ran = Notify(c.program, c.limits, c.tell, c.drain);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.program;
    EXPECT_EQ(ran.counts, c.counts) << c.program;
    ASSERT_EQ(ran.told.size(), c.told.size()) << c.program;
    for (std::size_t k = 0; k < c.told.size(); ++k) {
      EXPECT_NE(ran.told[k].find(c.told[k]), std::string::npos) << ran.told[k];
    }
    for (const auto& line : c.present) {
      EXPECT_NE(ran.log.find("\n" + line + "\n"), std::string::npos) << line;
    }
    for (const auto& text : c.absent) EXPECT_EQ(ran.log.find(text), std::string::npos) << text;
  }
  ::close(open_fd);
}

TEST(ExecOutput, KorvHostRunsTheProgramForTheBuiltInSitesAlarmsAndRefusesNone) {
  const testing_support::TempDir dir;
  const std::string program = Program(dir, Logs());
  const auto refused = testing_support::RunProgram(KORV_HOST_PATH, {"--notify-exec", "/no/such"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err,
            "korv-host: --notify-exec /no/such: no program to run: No such file or directory\n");

  const auto run = testing_support::RunProgram(
      KORV_HOST_PATH, {"--simulate", "--rounds", "3", "--notify-exec", program, "--db",
                       dir.path + "/db", "--plugin", PSMA_PLUGIN_PATH});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string log = (std::stringstream() << std::ifstream(dir.path + "/log").rdbuf()).str();
  EXPECT_NE(log.find("ARG=alarm-raised\n"), log.npos) << log;
  EXPECT_NE(log.find("ARG=alarm-cleared\n"), log.npos) << log;
}

}  // namespace
