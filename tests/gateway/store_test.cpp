// korv-host's database: each child restores the last block it published;
// history older than the days kept goes in the background, a child's newest
// row and last block stay; a runner killed mid-run loses at most the last
// second and leaves a database the next start opens and restores from.

#include "gateway/core/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/local_clock.h"
#include "support/child_program.h"
#include "support/run_program.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;

std::string TempDb() {
  char name[] = "/tmp/korv-store-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd >= 0) ::close(fd);
  return name;
}

void RemoveDb(const std::string& db) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
}

// Another connection makes the database refuse for good, with "refused",
// the rows of `table` that `when` holds.
bool RefuseRows(const std::string& db, const std::string& table, const std::string& when) {
  sqlite3* other = nullptr;
  const std::string sql = "CREATE TRIGGER refuse BEFORE INSERT ON " + table + " WHEN " + when +
                          " BEGIN SELECT RAISE(ABORT, 'refused'); END";
  const bool made = sqlite3_open(db.c_str(), &other) == SQLITE_OK &&
                    sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(other);
  return made;
}

// A DC screen's low-voltage alarm raised, under `key`.
korv_host::AlarmEvent LowVoltage(const char* key) {
  korv_host::AlarmEvent alarm;
  alarm.device = 21;
  alarm.device_type = "psma-dc";
  alarm.key = key;
  alarm.code = "06008";
  alarm.level = 3;
  alarm.name = alarm.description = "low";
  alarm.seq = 1;
  alarm.transition = korv::AlarmTransition::Raised;
  return alarm;
}

TEST(Store, RetentionPrunesOldHistoryButNeverAChildsNewestRow) {
  const struct {
    int days;
    std::int64_t bound;  // bytes; 0: none
    int ac, dc;          // history rows left
    int alarms;          // alarm events left: the bound takes them last
  } cases[] = {
      {30, 0, 4, 1, 2}, {7, 0, 2, 1, 2}, {3, 0, 1, 1, 2}, {0, 1, 1, 1, 0}, {30, 1 << 20, 4, 1, 2}};
  const auto alarm_rows = [](const std::string& db) {
    sqlite3* check = nullptr;
    sqlite3_stmt* count = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(db.c_str(), &check, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(check, "SELECT count(*) FROM alarm_event", -1, &count, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW) {
      rows = sqlite3_column_int(count, 0);
    }
    sqlite3_finalize(count);
    sqlite3_close(check);
    return rows;
  };
  for (const auto& c : cases) {
    const std::string db = TempDb();
    korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-01 08:00:00"));
    korv_host::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(db, error)) << error;
    // AC rows on days 0, 0, 5 and 9 (one round's, committed together); one
    // DC row, its last block and two alarm events on day 0.
    store.SaveHistory(21, "psma-dc", {2});
    store.SaveLastBlock(21, "psma-dc", 5158, {2});
    for (const char* key : {"DC_0", "DC_1"}) store.SaveAlarm(LowVoltage(key), 1u);
    for (int day : {0, 0, 5, 9}) {
      korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-01 08:00:00") +
                        boost::posix_time::hours(24 * day));
      store.SaveHistory(11, "psma-ac", {1}, 1u);
    }
    store.Flush();
    korv::AdvanceLocalNow(24 * 3600);  // day 10
    store.Retain(c.days);
    store.LimitSize(c.bound);
    const auto end = std::chrono::steady_clock::now() + 20s;
    while ((store.HistoryCount(11, "psma-ac") != c.ac || alarm_rows(db) != c.alarms) &&
           std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(50ms);  // nothing more goes
    EXPECT_EQ(store.HistoryCount(11, "psma-ac"), c.ac) << c.days;
    EXPECT_EQ(store.HistoryCount(21, "psma-dc"), c.dc) << c.days;
    EXPECT_EQ(alarm_rows(db), c.alarms) << c.days;
    std::string block;
    EXPECT_TRUE(store.LastBlock(21, "psma-dc", block)) << c.days;
    store.Close();
    RemoveDb(db);
  }
  korv::UseSystemClock();
}

// Without --retain-days korv-host keeps every row, however old.
TEST(Store, KorvHostKeepsOldHistoryUnlessToldToPrune) {
  const std::string db = TempDb();
  {
    korv::SetLocalNow(boost::posix_time::time_from_string("2020-01-01 08:00:00"));
    korv_host::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(db, error)) << error;
    for (int k = 0; k < 3; ++k) store.SaveHistory(11, "psma-ac", {1});
    store.Close();
    korv::UseSystemClock();
  }
  const auto run = testing_support::RunProgram(
      KORV_HOST_PATH, {"--rounds", "1", "--db", db, "--plugin", PSMA_PLUGIN_PATH});
  EXPECT_EQ(run.status, 0) << run.err;
  korv_host::Store store;
  std::string error;
  ASSERT_TRUE(store.Open(db, error)) << error;
  EXPECT_GE(store.HistoryCount(11, "psma-ac"), 4);
  store.Close();
  RemoveDb(db);
}

// The store commits once a second: a SIGKILL a second and a half after
// round 4 was told finds that round's history row in the database (a row
// every round here).
TEST(Store, ARunnerKilledMidRunLosesAtMostTheLastSecond) {
  const std::string db = TempDb();
  const std::string site = db + ".json";
  {
    std::FILE* f = std::fopen(site.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(R"({"units": [{"type": "psma", "data_id": 1, "address": 1,
      "dcSetting": [{"data_id": 21}], "rcSetting": {}}], "store": {"history_every": 0}})",
               f);
    std::fclose(f);
  }
  {
    testing_support::ChildProgram host(KORV_HOST_PATH,
                                       {"--json", "--simulate", "--config", site, "--rounds", "0",
                                        "--db", db, "--plugin", PSMA_PLUGIN_PATH},
                                       {});
    ASSERT_TRUE(host.Until([](const std::string& out, const std::string&) {
      return out.find(R"({"event":"round","unit":1,"round":4,")") != std::string::npos;
    })) << host.Out()
        << host.Err();
    // Under an emulator a second of the store's takes longer.
    std::this_thread::sleep_for(std::string(PSMA_TEST_EMULATOR).empty() ? 1500ms : 5000ms);
    host.Signal(SIGKILL);
  }
  std::remove(site.c_str());
  {
    korv_host::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(db, error)) << error;
    EXPECT_GE(store.HistoryCount(21, "psma-dc"), 4);
  }

  const auto again = testing_support::RunProgram(
      KORV_HOST_PATH, {"--json", "--rounds", "1", "--db", db, "--plugin", PSMA_PLUGIN_PATH});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err, "korv-host: database " + db +
                           ": a history row per child when its values move or an alarm changes, "
                           "and every 60 s; kept 90 days; at most 512 MB\n");
  const std::size_t cached =
      again.out.find(R"("device":21,"type":"psma-dc","fields":{"output.voltage":)");
  ASSERT_NE(cached, std::string::npos) << again.out;
  EXPECT_EQ(again.out.find(R"("source":"cache")", cached), again.out.find(R"("source")", cached))
      << "the DC screen's first value comes from the cache";
  EXPECT_LT(cached, again.out.find(R"({"event":"round")")) << "restored before any round";

  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(handle);
  RemoveDb(db);
}

// The block restored into a child is the last one it published, whatever
// the others published meanwhile: its newest history row, else its last
// block.
TEST(Store, EachChildRestoresTheLastBlockItPublished) {
  char name[] = "/tmp/korv-store-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::close(fd);
  const struct {
    unsigned device;
    const char* type;
    const char* block;
    int kind;
  } published[] = {{11, "psma-ac", "ac 1", 1},       {21, "psma-dc", "dc 1", 2},
                   {11, "psma-ac", "ac 2", 3},       {1, "psma-rc", "rc 1", 4},
                   {11, "psma-dc", "other type", 5}, {11, "psma-ac", "ac 3", 6},
                   {1, "psma-rc", "rc 2", 7}};
  const struct {
    unsigned device;
    const char* type;
    const char* block;
    int kind;  // the last block's, as a reader of the database sees it
  } restored[] = {{11, "psma-ac", "ac 3", 6},
                  {21, "psma-dc", "dc 2", 2},
                  {1, "psma-rc", "rc 2", 7},
                  {11, "psma-dc", "other type", 5}};
  std::string error;
  {
    korv_host::Store store;
    ASSERT_TRUE(store.Open(name, error)) << error;
    for (const auto& p : published) {
      const std::string b = p.block;
      store.SaveLastBlock(p.device, p.type, p.kind, std::vector<std::uint8_t>(b.begin(), b.end()));
    }
    // A history row after the last block (a crash after a clean stop) is
    // the newer.
    store.SaveHistory(21, "psma-dc", {'d', 'c', ' ', '2'});
    EXPECT_EQ(store.LastError(), "");
  }
  korv_host::Store store;
  ASSERT_TRUE(store.Open(name, error)) << error;
  for (const auto& r : restored) {
    std::string block;
    EXPECT_TRUE(store.LastBlock(r.device, r.type, block)) << r.device << " " << r.type;
    EXPECT_EQ(block, r.block) << r.device << " " << r.type;
  }
  store.Close();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(name, &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* kind = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT kind FROM last_block WHERE device = ? AND type = ?", -1,
                               &kind, nullptr),
            SQLITE_OK);
  for (const auto& r : restored) {
    sqlite3_bind_int(kind, 1, static_cast<int>(r.device));
    sqlite3_bind_text(kind, 2, r.type, -1, SQLITE_STATIC);
    ASSERT_EQ(sqlite3_step(kind), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(kind, 0), r.kind) << r.device << " " << r.type;
    sqlite3_reset(kind);
  }
  sqlite3_finalize(kind);
  sqlite3_close(db);
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((std::string(name) + suffix).c_str());
}

// A full disk, made with the page limit: no root, no small file system.
TEST(Store, RowsTheDiskRefusesAreToldWaitAndGoInWhenItTakesThemAgain) {
  const std::string db = TempDb();
  std::vector<std::string> told;
  std::mutex told_mutex;
  const auto said = [&] {
    std::lock_guard<std::mutex> lock(told_mutex);
    return told;
  };
  const auto tell = [&](unsigned device, const std::string& text) {
    std::lock_guard<std::mutex> lock(told_mutex);
    told.push_back(std::to_string(device) + " " + text);
  };
  const std::string given_up = "1 database: more than 10000 rows wait: the oldest are given up";
  {
    korv_host::Store store;
    store.TellFaults(tell);
    std::string error;
    ASSERT_TRUE(store.Open(db, error)) << error;
    store.SaveHistory(11, "psma-ac", {1}, 1u);
    store.Flush();
    const std::vector<std::uint8_t> block(3000, 7);  // a page each
    store.LimitPages(1);                             // full now
    for (int k = 0; k < 5; ++k) store.SaveHistory(11, "psma-ac", block, 1u);
    store.SaveAlarm(LowVoltage("DC_0"), 1u);
    store.Flush();
    EXPECT_EQ(said(), std::vector<std::string>{
                          "1 database: database or disk is full: rows wait in memory until it "
                          "takes them"});
    auto health = store.TakeHealth();
    EXPECT_EQ(health.errors, 1u);
    EXPECT_EQ(health.waiting, 6u);
    EXPECT_EQ(health.error, "database or disk is full");
    EXPECT_EQ(store.HistoryCount(11, "psma-ac"), 1);
    // The next round's rows wait behind them.
    store.SaveHistory(11, "psma-ac", block, 1u);
    store.Flush();
    EXPECT_EQ(store.TakeHealth().waiting, 7u);
    EXPECT_EQ(said().size(), 1u) << "told once";

    // Room again: they go in within a second or two, without a commit.
    store.LimitPages(0);
    // The rows go in first, then the background thread tells it.
    const std::string again = "1 database: writing again: 7 rows that waited went in";
    EXPECT_TRUE(testing_support::WaitFor(
        [&] { return store.TakeHealth().waiting == 0 && said().back() == again; }, 10s));
    EXPECT_EQ(store.HistoryCount(11, "psma-ac"), 7);
    EXPECT_EQ(said().back(), again);
    EXPECT_EQ(store.Lost(), 0u);

    // Beyond what may wait, the oldest are given up; what waits at the end
    // is lost too.
    store.LimitPages(1);
    for (std::size_t k = 0; k <= korv_host::Store::kWaitingRowsMax; ++k) {
      store.SaveHistory(11, "psma-ac", block, 1u);
    }
    store.Flush();
    health = store.TakeHealth();
    EXPECT_EQ(health.waiting, korv_host::Store::kWaitingRowsMax);
    EXPECT_EQ(health.lost, 1u);
    EXPECT_EQ(said().back(), given_up);
    store.Close();
    EXPECT_EQ(store.Lost(), korv_host::Store::kWaitingRowsMax + 1);
  }
  {
    // One row waits when the runner ends, and the disk has room again: the
    // end tries it once more, before the next retry would.
    korv_host::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(db, error)) << error;
    const int before = store.HistoryCount(11, "psma-ac");
    store.LimitPages(1);
    store.SaveHistory(11, "psma-ac", std::vector<std::uint8_t>(3000, 7), 1u);
    store.Flush();
    ASSERT_EQ(store.TakeHealth().waiting, 1u);
    store.LimitPages(0);
    store.Close();
    EXPECT_EQ(store.Lost(), 0u);
    ASSERT_TRUE(store.Open(db, error)) << error;
    EXPECT_EQ(store.HistoryCount(11, "psma-ac"), before + 1);
  }
  {
    // A reader that keeps an old view of the database holds the log: past
    // its limit the rows wait, told as a refusal, and go in once it lets go.
    korv_host::Store store;
    store.TellFaults(tell);
    std::string error;
    ASSERT_TRUE(store.Open(db, error)) << error;
    store.LimitLog(64 << 10);
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &reader), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM history", nullptr, nullptr, nullptr),
        SQLITE_OK);
    const std::vector<std::uint8_t> block(3000, 7);
    for (int k = 0; k < 40; ++k) store.SaveHistory(11, "psma-ac", block, 1u);
    store.Flush();  // some 180 KB in the log
    store.SaveHistory(11, "psma-ac", block, 1u);
    EXPECT_TRUE(testing_support::WaitFor(
        [&] {
          return said().back() ==
                 "1 database: a reader holds the log at 0.2 MB: rows wait in memory until it "
                 "takes them";
        },
        10s))
        << said().back();
    EXPECT_EQ(store.TakeHealth().waiting, 1u);
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    EXPECT_TRUE(testing_support::WaitFor(
        [&] { return said().back() == "1 database: writing again: 1 rows that waited went in"; },
        10s))
        << said().back();
  }
  {
    // Refused from its first round on, never taken again: the first loss
    // is told all the same.
    korv_host::Store store;
    store.TellFaults(tell);
    std::string error;
    ASSERT_TRUE(store.Open(db, error)) << error;
    store.LimitPages(1);
    const std::vector<std::uint8_t> block(3000, 7);
    for (std::size_t k = 0; k <= korv_host::Store::kWaitingRowsMax; ++k) {
      store.SaveHistory(11, "psma-ac", block, 1u);
    }
    store.Flush();
    EXPECT_EQ(store.TakeHealth().lost, 1u);
    EXPECT_EQ(said().back(), given_up);
  }
  RemoveDb(db);
}

// Rows reach the log within a second or two without anyone flushing,
// whether or not old history is pruned (with pruning, its next turn is an
// hour away); at the end the log goes into the database file and is emptied.
TEST(Store, RowsReachTheLogWithinSecondsAndTheFileAtTheEnd) {
  for (const int days : {0, 30}) {
    const std::string db = TempDb();
    korv_host::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(db, error)) << error;
    if (days > 0) store.Retain(days, std::chrono::hours(1));
    std::this_thread::sleep_for(100ms);  // the first pruning has run
    const auto size = [](const std::string& file) {
      struct stat st {};
      return ::stat(file.c_str(), &st) == 0 ? st.st_size : 0;
    };
    for (int k = 0; k < 50; ++k)
      store.SaveHistory(11, "psma-ac", std::vector<std::uint8_t>(4000, 7), 1u);
    EXPECT_TRUE(testing_support::WaitFor([&] { return size(db + "-wal") >= 50 * 4000; }, 5s))
        << days << " days: " << size(db + "-wal");
    store.Close();
    EXPECT_GE(size(db), 50 * 4000) << days;
    EXPECT_EQ(size(db + "-wal"), 0) << days;
    RemoveDb(db);
  }
}

// What the database refuses for good: a file that is no database is
// refused at the start with SQLite's reason; a row that breaks a constraint
// (here a trigger's) is given up at once, and the rows beside it go in.
TEST(Store, WhatTheDatabaseRefusesForGoodIsNamedOrGivenUp) {
  const std::string junk = TempDb();
  {
    std::FILE* f = std::fopen(junk.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string text(4096, 'x');
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  korv_host::Store refused;
  std::string error;
  EXPECT_FALSE(refused.Open(junk, error));
  EXPECT_EQ(error, "database " + junk + ": file is not a database");
  RemoveDb(junk);

  const std::string db = TempDb();
  korv_host::Store store;
  ASSERT_TRUE(store.Open(db, error)) << error;
  ASSERT_TRUE(RefuseRows(db, "alarm_event", "NEW.key = 'BAD'"));
  for (const char* key : {"DC_0", "BAD", "DC_1"}) store.SaveAlarm(LowVoltage(key), 1u);
  store.SaveHistory(21, "psma-dc", {1, 2}, 1u);
  store.Flush();
  const auto health = store.TakeHealth();
  EXPECT_EQ(health.waiting, 0u);
  EXPECT_EQ(health.lost, 1u);
  EXPECT_EQ(store.LastError(), "refused");
  EXPECT_EQ(store.HistoryCount(21, "psma-dc"), 1);
  store.Close();
  sqlite3* check = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &check, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* keys = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(check, "SELECT group_concat(key) FROM alarm_event", -1, &keys, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(keys), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(keys, 0)), "DC_0,DC_1");
  sqlite3_finalize(keys);
  sqlite3_close(check);
  RemoveDb(db);
}

// korv-host tells what the database does to its rows as a fault of the unit
// whose rows wait, and a run whose rows the database lost ends in failure.
TEST(Store, KorvHostTellsTheDatabasesFaultsAndFailsARunThatLostRows) {
  const std::string db = TempDb();
  {
    testing_support::ChildProgram host(
        KORV_HOST_PATH, {"--json", "--rounds", "0", "--db", db, "--plugin", PSMA_PLUGIN_PATH}, {});
    ASSERT_TRUE(host.Until([](const std::string& out, const std::string&) {
      return out.find(R"({"event":"round","unit":1,"round":1,")") != std::string::npos;
    })) << host.Out()
        << host.Err();
    // Another writer holds the database past korv-host's patience.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const std::string waits =
        R"({"event":"fault","device":1,"text":"database: database is locked: rows wait in )"
        R"(memory until it takes them",")";
    const bool told_wait = host.Until([&](const std::string& out, const std::string&) {
      return out.find(waits) != std::string::npos;
    });
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_TRUE(told_wait) << host.Out();
    EXPECT_TRUE(host.Until([](const std::string& out, const std::string&) {
      return out.find(R"({"event":"fault","device":1,"text":"database: writing again: )") !=
             std::string::npos;
    })) << host.Out();
    EXPECT_EQ(host.Stop(), 0) << host.Err();
  }
  ASSERT_TRUE(RefuseRows(db, "history", "NEW.device = 21"));
  const auto lost = testing_support::RunProgram(
      KORV_HOST_PATH, {"--json", "--rounds", "1", "--db", db, "--plugin", PSMA_PLUGIN_PATH});
  EXPECT_EQ(lost.status, 1) << lost.err;
  // The DC screen's one round of history.
  EXPECT_NE(lost.err.find("database: 1 rows lost: refused\n"), std::string::npos) << lost.err;
  RemoveDb(db);
}

}  // namespace
