// What korv-host gives out for a fixed run, compared with the outputs kept
// beside this file (tests/gateway/kept/): its JSON lines, its readable
// lines, the database's rows, with the HTTP output the site's state and its
// metrics, and with the MQTT output what a broker gets. The unit is
// simulated with fixed values, alarms raised in round 2, cleared in round 3
// and one raised in round 4 that stands; what moves from run to run (times,
// pseudo-terminals, counts of a run that goes on) is masked. Any change to
// what an operator or a stored block sees fails here; a change meant to make
// one rewrites the kept files:
//   KORV_KEEP=1 ctest --test-dir build -R KeptOutputs

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_program.h"
#include "support/http_client.h"
#include "support/json.h"
#ifdef PSMA_WITH_MQTT
#include "support/mqtt_broker.h"
#endif
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace {

using testing_support::RunProgram;

// Fixed values; two phases' voltage alarms share one code; a module's fault
// from round 4 stands while the run goes on; the DC voltage moves in round 4
// with no alarm (a history row for the move alone).
const char kScenario[] = R"({
  "address": 1, "model": "PSM-A", "manufacturer": "KEPT",
  "ac": [{"channels": [{"a": 230.5, "b": 231.25, "c": 229.75, "f": 50}],
          "ia": 10.5, "ib": 11, "ic": "none", "switches": [1, 0, 1]}],
  "rc": {"value": 53.5, "modules": [{"value": 20}, {"value": 21}]},
  "dc": [{"v": 53.5, "i": 120.25, "m": [1.5], "fuse_count": 64}],
  "ac_params": [280, 180, 0, 0, 0], "dc_params": [57, 45],
  "phases": [
    {"round": 2, "set": {"/dc/0/v_alert": 1, "/ac/0/channels/0/alerts": [2, 2, 0, 0],
                         "/rc/modules/1/user_alarms": [0, 1, 0, 0]}},
    {"round": 3, "set": {"/dc/0/v_alert": 0, "/ac/0/channels/0/alerts": [0, 0, 0, 0],
                         "/rc/modules/1/user_alarms": [0, 0, 0, 0], "/ac/0/channels/0/a": 241.5}},
    {"round": 4, "set": {"/rc/modules/0/fault": 1, "/rc/modules/1/fault": 1, "/dc/0/v": 48}},
    {"round": 5, "set": {"/rc/modules/0/fault": 0}}]
})";

std::string SiteFile(const std::string& scenario) {
  // A long answer time: a loaded machine must not turn a slow answer into a
  // fault the kept state would show. Options the command line gives again,
  // which win: its rounds and days are the ones kept.
  return R"({"units": [{"type": "psma", "data_id": 1, "address": 1, "answer_timeout_ms": 5000,
         "scenario": ")" +
         scenario +
         R"(", "acSetting": [{"data_id": 11, "appSetting": {"diff_v": 5, "diff_i": 2}}],
         "dcSetting": [{"data_id": 21}], "rcSetting": {}}],
         "options": {"rounds": 0, "retain-days": 7}})";
}

// `text` with what follows each `mark`, up to (not with) the first of
// `stops` or the end, replaced by `by`.
std::string Masked(const std::string& text, const std::string& mark, const char* stops,
                   const std::string& by) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t found; (found = text.find(mark, at)) != std::string::npos;) {
    out += text.substr(at, found - at) + mark + by;
    at = std::min(text.find_first_of(stops, found + mark.size()), text.size());
  }
  return out + text.substr(at);
}

std::string Ptys(const std::string& text) { return Masked(text, "/dev/pts/", " \n\"", "N"); }

// When an alarm was raised or cleared.
// When an alarm was raised or cleared: a time of this run is masked, any
// other (an unset one reads 1970) stays to be seen.
std::string Times(const std::string& text, const std::string& key = "at") {
  std::tm local{};
  const std::time_t now = std::time(nullptr);
  ::gmtime_r(&now, &local);
  const std::string mark = "\"" + key + "\":";
  const std::string year = "\"" + std::to_string(local.tm_year + 1900) + "-";
  std::string out;
  std::size_t at = 0;
  for (std::size_t found; (found = text.find(mark, at)) != std::string::npos;) {
    const std::size_t value = found + mark.size();
    const std::size_t end = std::min(text.find_first_of(",}", value), text.size());
    out += text.substr(at, value - at);
    out += text.compare(value, year.size(), year) == 0 ? "\"<time>\""
                                                       : text.substr(value, end - value);
    at = end;
  }
  return out + text.substr(at);
}

// The time a readable line (or a CSV row) begins with, when of this run.
std::string LineTimes(const std::string& text) {
  std::tm utc{};
  const std::time_t now = std::time(nullptr);
  ::gmtime_r(&now, &utc);
  const std::string year = std::to_string(utc.tm_year + 1900) + "-";
  constexpr std::size_t kTime = 24;  // 2024-02-29T23:59:59.999Z
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    if ((at == 0 || text[at - 1] == '\n') && text.compare(at, year.size(), year) == 0 &&
        text.compare(at + kTime - 1, 1, "Z") == 0) {
      out += "<time>";
      at += kTime;
      continue;
    }
    out += text[at++];
  }
  return out;
}

// A block in hex, with the times of the unit's clock it carries masked
// ("tt" bytes): a year of this run (two bytes, low first), then month, day,
// hour, minute and second.
std::string BlockHex(const std::vector<unsigned char>& block) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  const int year = local.tm_year + 1900;
  std::string hex;
  for (std::size_t k = 0; k < block.size(); ++k) {
    const unsigned char* t = block.data() + k;
    const int at_year = t[0] | (k + 1 < block.size() ? t[1] << 8 : 0);
    if (k + 7 <= block.size() && (at_year == year || at_year == year - 1) && t[2] >= 1 &&
        t[2] <= 12 && t[3] >= 1 && t[3] <= 31 && t[4] < 24 && t[5] < 60 && t[6] < 60) {
      hex += "tttttttttttttt";
      k += 6;
      continue;
    }
    static const char kHex[] = "0123456789abcdef";
    hex += kHex[block[k] >> 4];
    hex += kHex[block[k] & 15];
  }
  return hex;
}

// Every row of every table, in the order written, a column a field; the
// times masked, blocks in hex.
std::string StoreRows(const std::string& db) {
  sqlite3* handle = nullptr;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    return "cannot open " + db;
  }
  std::ostringstream out;
  std::vector<std::string> tables;
  sqlite3_stmt* list = nullptr;
  sqlite3_prepare_v2(handle, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name",
                     -1, &list, nullptr);
  while (sqlite3_step(list) == SQLITE_ROW)
    tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)));
  sqlite3_finalize(list);
  for (const auto& table : tables) {
    out << "table " << table << "\n";
    sqlite3_stmt* rows = nullptr;
    sqlite3_prepare_v2(handle, ("SELECT * FROM " + table + " ORDER BY rowid").c_str(), -1, &rows,
                       nullptr);
    while (rows != nullptr && sqlite3_step(rows) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(rows); ++c) {
        const std::string name = sqlite3_column_name(rows, c);
        out << (c > 0 ? " | " : "") << name << "=";
        if (name == "saved_at" || name == "at") {
          out << "<time>";
        } else if (sqlite3_column_type(rows, c) == SQLITE_BLOB) {
          const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(rows, c));
          out << BlockHex(std::vector<unsigned char>(bytes, bytes + sqlite3_column_bytes(rows, c)));
        } else if (sqlite3_column_type(rows, c) == SQLITE_NULL) {
          out << "NULL";
        } else {
          out << reinterpret_cast<const char*>(sqlite3_column_text(rows, c));
        }
      }
      out << "\n";
    }
    sqlite3_finalize(rows);
  }
  sqlite3_close(handle);
  return out.str();
}

struct Kept {
  const char* file;
  std::string text;
};

TEST(KeptOutputs, AFixedRunGivesTheKeptLinesRowsStateAndMetrics) {
  testing_support::TempDir dir;
  const std::string site = dir.Write("site.json", SiteFile(dir.Write("scenario.json", kScenario)));
  const std::string db = dir.path + "/korv-host.db";
  std::vector<std::string> args = {"--plugin", PSMA_PLUGIN_PATH, "--config",      site, "--db",
                                   db,         "--simulate",     "--retain-days", "30", "--rounds",
                                   "5"};
  std::vector<Kept> kept;

  // A new database: the JSON lines.
  args.push_back("--json");
  const auto json = RunProgram(KORV_HOST_PATH, args);
  ASSERT_EQ(json.status, 0) << json.err;
  const auto folder = [&](std::string text) {
    for (std::size_t at; (at = text.find(dir.path)) != std::string::npos;)
      text.replace(at, dir.path.size(), "<dir>");
    return text;
  };
  kept.push_back({"json-lines.txt",
                  Times(Times(Ptys(json.out)), "time") + "-- standard error\n" + folder(json.err)});
  // The same database again: restored from it first, in readable lines.
  args.pop_back();
  const auto lines = RunProgram(KORV_HOST_PATH, args);
  ASSERT_EQ(lines.status, 0) << lines.err;
  kept.push_back({"readable-lines.txt",
                  LineTimes(Ptys(lines.out)) + "-- standard error\n" + folder(lines.err)});
  kept.push_back({"store-rows.txt", StoreRows(db)});

#ifdef PSMA_WITH_HTTP
  // A gateway on that database: its state and metrics once round 4's alarm
  // stands. The counts of rounds, requests and their times go on: masked.
  args.resize(args.size() - 2);
  args.insert(args.end(), {"--http", "0"});
  // The history up to here: the two runs' rows, none of the gateway's.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const std::string before = std::to_string(std::time(nullptr));
  testing_support::ChildProgram host(KORV_HOST_PATH, args, {});
  int port = 0;
  ASSERT_TRUE(host.Until(
      [&](const std::string&, const std::string& err) {
        const std::string serving = "serving http://127.0.0.1:";
        const auto at = err.find(serving);
        if (at == std::string::npos || err.find('/', at + serving.size()) == std::string::npos)
          return false;
        port = std::atoi(err.c_str() + at + serving.size());
        return true;
      },
      std::chrono::seconds(20)))
      << host.Err();
  std::string state;
  ASSERT_TRUE(testing_support::WaitFor(
      [&] {
        state = testing_support::HttpGet(port, "/api/v1/state").body;
        try {
          return testing_support::ParseJson(state)["units"][0]["rounds"].asInt() >= 6;
        } catch (const std::exception&) {
          return false;
        }
      },
      std::chrono::seconds(40)))
      << state;
  const std::string metrics = testing_support::HttpGet(port, "/metrics").body;
  const std::string history =
      testing_support::HttpGet(port, "/api/v1/history?unit=1&format=csv&from=0&to=" + before).body;
  // The same, 7 rows a page, each page naming the next.
  std::string paged;
  for (std::string next = "/api/v1/history?unit=1&format=csv&limit=7&from=0&to=" + before;
       !next.empty() && paged.size() <= history.size();) {
    const auto page = testing_support::HttpGet(port, next);
    paged += page.body.substr(paged.empty() ? 0 : page.body.find('\n') + 1);
    const auto link = page.headers.find("link");
    next = link == page.headers.end() ? "" : link->second.substr(1, link->second.find('>') - 1);
    // A page that names a next one is full: its header and 7 rows.
    if (!next.empty()) {
      EXPECT_EQ(std::count(page.body.begin(), page.body.end(), '\n'), 8);
    }
  }
  EXPECT_EQ(paged, history);
  // Two fields: only they, of only the children that have them.
  const std::string fields =
      testing_support::HttpGet(port, "/api/v1/history?unit=1&from=0&to=" + before +
                                         "&fields=output.voltage,"
                                         "module2.current&format=csv")
          .body;
  EXPECT_EQ(host.Stop(), 0) << host.Err();
  state = Times(state, "raised_at");
  for (const char* key : {"at", "last_round", "age_seconds", "rounds", "requests"})
    state = Masked(state, std::string("\"") + key + "\":", ",}", "\"<varies>\"");
  std::string children;  // a child a line
  for (std::size_t at = 0, next; at < state.size(); at = next) {
    next = state.find("},{", at);
    next = next == std::string::npos ? state.size() : next + 2;
    children += state.substr(at, next - at) + (next < state.size() ? "\n" : "");
  }
  kept.push_back({"state.json", children});
  std::string moving;  // the counts and times of a run that goes on, masked
  std::istringstream lines_of(metrics);
  for (std::string line; std::getline(lines_of, line);) {
    for (const char* name :
         {"korv_rounds_total{", "korv_requests_total{", "korv_round_duration_seconds_",
          "korv_last_round_age_seconds{", "korv_values_age_seconds{"}) {
      if (line.rfind(name, 0) == 0) line = line.substr(0, line.rfind(' ')) + " <varies>";
    }
    moving += line + "\n";
  }
  kept.push_back({"metrics.txt", moving});
  kept.push_back({"history.csv", LineTimes(history) + "-- two fields\n" + LineTimes(fields)});
#endif

#ifdef PSMA_WITH_MQTT
  // Four rounds more to a broker, with discovery: every message a subscriber
  // to all topics gets, with its QoS, by topic (the order across topics
  // varies with the broker's acknowledgements); then what the broker
  // retains once korv-host is gone.
  testing_support::Broker broker;
  ASSERT_TRUE(broker.Start()) << "mosquitto is not installed or does not start (scripts/deps)";
  std::vector<testing_support::Message> messages;
  {
    testing_support::Subscriber subscriber(broker.port());
    ASSERT_TRUE(subscriber.WaitSubscribed());
    args.resize(args.size() - 2);
    args.insert(args.end(),
                {"--rounds", "5", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker.port()),
                 "--mqtt-prefix", "psma/kept", "--mqtt-discovery"});
    const auto mqtt = RunProgram(KORV_HOST_PATH, args);
    ASSERT_EQ(mqtt.status, 0) << mqtt.err;
    // The last message is the status korv-host leaves on its way out.
    ASSERT_TRUE(testing_support::WaitFor([&] {
      messages = subscriber.Messages();
      return !messages.empty() && messages.back().topic == "psma/kept/status" &&
             messages.back().payload == "offline";
    })) << messages.size();
  }
  std::vector<testing_support::Message> retained;
  {
    testing_support::Subscriber late(broker.port());
    ASSERT_TRUE(late.WaitSubscribed());
    ASSERT_TRUE(testing_support::WaitFor([&] {
      const auto now = late.Messages();
      if (!now.empty() && now.size() == retained.size()) return true;
      retained = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      return false;
    }));
  }
  const auto line = [](const testing_support::Message& m) {
    return m.topic + (m.retained ? " retained" : "") + " qos " + std::to_string(m.qos) + " " +
           Times(m.payload) + "\n";
  };
  std::stable_sort(messages.begin(), messages.end(),
                   [](const auto& a, const auto& b) { return a.topic < b.topic; });
  std::sort(retained.begin(), retained.end(),
            [](const auto& a, const auto& b) { return a.topic < b.topic; });
  std::string told;
  for (const auto& m : messages) told += line(m);
  told += "-- retained\n";
  for (const auto& m : retained) told += line(m);
  kept.push_back({"mqtt-messages.txt", told});
#endif

  const bool keep = std::getenv("KORV_KEEP") != nullptr;
  for (const auto& k : kept) {
    const std::string path = std::string(KORV_KEPT_DIR) + "/" + k.file;
    if (keep) std::ofstream(path, std::ios::binary) << k.text;
    std::ifstream in(path, std::ios::binary);
    const std::string want(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(k.text, want) << k.file << " differs from the kept one (a change meant to alter it: "
                            << "KORV_KEEP=1 ctest -R KeptOutputs)";
  }
}

}  // namespace
