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
#include <deque>
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
  // The longest retention asked for: a hundred years.
  static constexpr int kRetainDaysMax = 36500;

  // Rows that wait for a database that refuses them, at most.
  static constexpr std::size_t kWaitingRowsMax = 10000;

  // Who is told, at once, when the database refuses rows, when rows are given
  // up and when it takes them again: the device (the unit of the rows) and a
  // text ("database: ..."). Called on the writing thread, outside the store's
  // lock. Before Open.
  void TellFaults(std::function<void(unsigned device, const std::string& text)> tell);

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
  // Writes the rows waiting under `unit`, in one transaction. When the
  // database refuses them (a full disk), they wait in memory, at most
  // kWaitingRowsMax rows in all (the oldest are given up beyond), and go in,
  // in order, with the next commit or within a second, once it takes them.
  void Commit(unsigned unit);

  // The database may hold at most `pages` pages (at least what it holds
  // now; 0: no limit): what a full disk does to it, without one.
  void LimitPages(int pages);

  struct Health {
    std::uint64_t errors = 0;   // writes refused
    std::uint64_t waiting = 0;  // rows waiting for the database
    std::uint64_t lost = 0;     // rows given up
    std::string error;          // the last refusal while rows wait, else empty
  };
  Health TakeHealth();

  // Deletes history rows saved more than `days` days ago, on the background
  // thread with its own connection, at once and then every `every`; a
  // child's newest history row stays however old it is. Until Close.
  // `days` beyond kRetainDaysMax count as kRetainDaysMax.
  void StartRetention(int days, std::chrono::seconds every = std::chrono::hours(1));
  // Rows the pruning deleted so far.
  int Pruned();

  // The last block of a child; false when there is none.
  bool LastBlock(unsigned device, const std::string& type, std::string& block);
  // Rows of history for one child (for tests and reports).
  int HistoryCount(unsigned device, const std::string& type);
  // The first write error, if any (writes go on after one).
  std::string LastError();
  // Rows given up so far.
  std::uint64_t Lost();

 private:
  using Row = std::function<bool()>;  // binds and steps one statement
  struct Told {
    unsigned device;
    std::string text;
  };
  bool Exec(const char* sql);
  void Write(Batch batch, unsigned device, Row row);
  // Writes `rows` in one transaction; false (nothing written) when the
  // database refuses them.
  bool WriteRows(const std::vector<Row>& rows);
  // Writes `rows` of `device` after those waiting; what is refused waits.
  void WriteOrWait(unsigned device, std::vector<Row> rows, std::vector<Told>& told);
  void Tell(std::vector<Told>& told);
  // Gives up the oldest rows beyond kWaitingRowsMax.
  void Bound(unsigned device, std::vector<Told>& told);
  bool Step(sqlite3_stmt* stmt);
  void CommitLocked(unsigned unit, std::vector<Told>& told);
  // Writes the rows the database refused, when it takes them again.
  void Retry();
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
  // Rows the database refused, oldest first, with the device they came from.
  std::deque<std::pair<unsigned, Row>> refused_;
  std::uint64_t errors_ = 0;
  std::uint64_t lost_ = 0;
  std::string refusal_;                               // why the database refuses now, else empty
  bool lost_told_ = false;                            // the loss of the current refusal was told
  std::chrono::steady_clock::time_point retry_at_{};  // no try before
  std::function<void(unsigned, const std::string&)> tell_;

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
