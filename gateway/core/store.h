#pragma once
// What the host keeps, in one SQLite database file: every history block
// saved, the alarm raise and clear events, and the last block each child
// published (restored into the child at the next start).
//
//   history     (id, device, type, saved_at, block)
//   last_block  (device, type, kind, saved_at, block)   one row per child
//   alarm_event (id, at, device, type, key, code, level, name, description,
//                seq, state, state_text)                 state: raised|cleared
//
// Children are told apart by data id and type: the rectifier group carries
// its unit's data id. Times are the host's local time, "YYYY-MM-DD HH:MM:SS".
// Safe to use from several threads.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/outputs/output.h"

struct sqlite3;
struct sqlite3_stmt;

namespace korv_host {

// The rows of a round wait in memory under their unit's data id and go in
// one transaction when the round is told (Commit): a crash of the runner
// loses at most the round in flight. Without a unit (std::nullopt) a row is
// written at once. The database is in WAL mode; a background thread
// checkpoints the log every second, syncing it, so a power cut loses at most
// the last second's commits and never the database.
using Batch = std::optional<unsigned>;

class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  static constexpr std::chrono::seconds kCheckpointEvery{1};

  // Opens (or makes) the database and its tables and starts the background
  // thread; false with `error`.
  bool Open(const std::string& path, std::string& error);
  // Stops the background thread, commits what waits, closes.
  void Close();

  void SaveHistory(unsigned device, const std::string& type, const std::vector<std::uint8_t>& block,
                   Batch batch = std::nullopt);
  void SaveLastBlock(unsigned device, const std::string& type, int kind,
                     const std::vector<std::uint8_t>& block, Batch batch = std::nullopt);
  // An alarm event, raised or cleared; a state-table alarm with its state text.
  void SaveAlarm(const AlarmEvent& alarm, Batch batch = std::nullopt);
  // Writes the rows waiting under `unit`, in one transaction.
  void Commit(unsigned unit);

  // Deletes history rows saved more than `days` days ago, on the background
  // thread with its own connection, at once and then every `every`; a
  // child's newest history row stays however old it is. Until Close.
  void StartRetention(int days, std::chrono::seconds every = std::chrono::hours(1));
  // Rows the pruning deleted so far.
  int Pruned();

  // The last block of a child; false when there is none.
  bool LastBlock(unsigned device, const std::string& type, std::string& block);
  // Rows of history for one child (for tests and reports).
  int HistoryCount(unsigned device, const std::string& type);
  // The first write error, if any (writes go on after one).
  std::string LastError();

 private:
  using Row = std::function<bool()>;  // binds and steps one statement
  bool Exec(const char* sql);
  void Write(Batch batch, Row row);
  bool Step(sqlite3_stmt* stmt);
  void CommitLocked(unsigned unit);
  void CloseLocked();
  void Background(const std::string& path);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::string path_;
  std::string error_;
  // Prepared once at Open (finalized at Close).
  sqlite3_stmt* insert_history_ = nullptr;
  sqlite3_stmt* upsert_last_ = nullptr;
  sqlite3_stmt* insert_alarm_ = nullptr;
  sqlite3_stmt* select_last_ = nullptr;
  sqlite3_stmt* count_history_ = nullptr;
  std::map<unsigned, std::vector<Row>> waiting_;

  std::mutex background_mutex_;  // guards what follows up to the thread
  std::condition_variable background_cv_;
  bool background_stop_ = false;
  int retain_days_ = 0;
  std::chrono::seconds prune_every_{0};
  std::chrono::steady_clock::time_point prune_at_{};
  int pruned_ = 0;
  std::thread background_;
};
// The host's local time as stored.
std::string StoreTime();

}  // namespace korv_host
