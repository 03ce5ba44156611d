#pragma once
// What the host keeps, in one SQLite database file: the children's history
// blocks, the alarm raise and clear events, and the last block each child
// published before a clean stop (a child restores the newer of it and its
// newest history row at the next start).
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

// Rows wait in memory and go in once a second, every unit's in one
// transaction, written by the store's own thread (and at Close, at once): no
// polling thread waits for the disk, and a controller's flash sees one
// commit a second, not one per unit and round. A commit syncs the log, so a
// crash or a power cut loses at most the last second's rows, never the
// database. The log is copied into the database file when it has grown or
// every few minutes, each page once, not once a commit.
class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  static constexpr std::chrono::seconds kCommitEvery{1};
  // The log goes into the database file at this size, or this often.
  static constexpr std::int64_t kCheckpointBytes = std::int64_t{4} << 20;
  static constexpr std::chrono::seconds kCheckpointEvery{300};
  // The longest retention asked for: a hundred years.
  static constexpr int kRetainDaysMax = 36500;
  // The database's size is checked this often against its bound.
  static constexpr std::chrono::seconds kSizeCheckEvery{60};

  // Rows that wait for a database that refuses them, at most.
  static constexpr std::size_t kWaitingRowsMax = 10000;
  // How far a reader that holds the log open may let it grow.
  static constexpr std::int64_t kLogLimitDefault = std::int64_t{32} << 20;

  // Who is told, at once, when the database refuses rows, when rows are given
  // up and when it takes them again: the unit of the rows and a text
  // ("database: ..."). Called on the writing thread, outside the store's
  // locks. Before Open.
  void TellFaults(std::function<void(unsigned unit, const std::string& text)> tell);

  // Opens (or makes) the database and its tables and starts the store's
  // thread; false with `error`.
  bool Open(const std::string& path, std::string& error);
  // Stops the store's thread, writes what waits, copies the log into the
  // database file, closes.
  void Close();

  // Rows to write; `unit` is whose fault a refusal is told as (default: the
  // device).
  void SaveHistory(unsigned device, const std::string& type, const std::vector<std::uint8_t>& block,
                   std::optional<unsigned> unit = std::nullopt);
  void SaveLastBlock(unsigned device, const std::string& type, int kind,
                     const std::vector<std::uint8_t>& block,
                     std::optional<unsigned> unit = std::nullopt);
  // An alarm event, raised or cleared; a state-table alarm with its state text.
  void SaveAlarm(const AlarmEvent& alarm, std::optional<unsigned> unit = std::nullopt);
  // Writes what waits now, on the caller's thread, as the next second would.
  // When the database refuses the rows (a full disk), they wait in memory, at
  // most kWaitingRowsMax rows in all (the oldest are given up beyond), and go
  // in, in order, with a later second's commit once it takes them.
  void Flush();

  // The database may hold at most `pages` pages (at least what it holds
  // now; 0: no limit): what a full disk does to it, without one.
  void LimitPages(int pages);
  // The database's bound: past `bytes` in use (0: none), the oldest history
  // rows are deleted, then the oldest alarm events, to nine tenths of it.
  void LimitSize(std::int64_t bytes);
  // How far the log may grow while a reader holds it (for tests).
  void LimitLog(std::int64_t bytes);

  struct Health {
    std::uint64_t errors = 0;   // writes refused
    std::uint64_t waiting = 0;  // rows waiting for the database
    std::uint64_t lost = 0;     // rows given up
    std::string error;          // the last refusal while rows wait, else empty
  };
  Health TakeHealth();

  // Deletes history rows saved more than `days` days ago (0: none), on the
  // store's thread, a few hundred between two commits, at once and then
  // every `every`; a child's newest history row stays however old it is.
  // `days` beyond kRetainDaysMax count as kRetainDaysMax.
  void Retain(int days, std::chrono::seconds every = std::chrono::hours(1));
  // Rows the retention and the bound deleted so far.
  int Pruned();

  // The block a child restores: its newest history row, else its last block
  // (written at a clean stop); false when there is none.
  bool LastBlock(unsigned device, const std::string& type, std::string& block);
  // Rows of history for one child (for tests and reports).
  int HistoryCount(unsigned device, const std::string& type);
  // The first write error, if any (writes go on after one).
  std::string LastError();
  // Rows given up so far.
  std::uint64_t Lost();

 private:
  using Row = std::function<bool()>;  // binds and steps one statement
  struct Queued {
    unsigned unit;
    Row row;
  };
  struct Told {
    unsigned unit;
    std::string text;
  };
  void Queue(unsigned unit, Row row);
  bool Exec(const char* sql);
  bool Step(sqlite3_stmt* stmt);
  // Writes the waiting rows in one transaction; false (nothing written)
  // when the database refuses them.
  bool WriteWaiting();
  // Gives up the oldest rows beyond kWaitingRowsMax.
  void Bound(std::vector<Told>& told);
  void Tell(std::vector<Told>& told);
  // Copies the log into the database file when it is due; finds a reader
  // that keeps the log from starting over.
  void Checkpoint();
  // Deletes up to a few hundred rows the retention or the bound asks to;
  // false when there is nothing more to delete now.
  bool PruneSome(std::vector<Told>& told);
  std::int64_t UsedBytes();
  void CloseLocked();
  void Background();

  std::mutex queue_mutex_;  // guards what follows up to db_mutex_
  std::vector<Queued> queued_;
  std::function<void(unsigned, const std::string&)> tell_;

  std::mutex db_mutex_;  // guards what follows up to background_mutex_
  sqlite3* db_ = nullptr;
  std::string error_;
  // Prepared once at Open (finalized at Close).
  sqlite3_stmt* insert_history_ = nullptr;
  sqlite3_stmt* upsert_last_ = nullptr;
  sqlite3_stmt* insert_alarm_ = nullptr;
  sqlite3_stmt* select_last_ = nullptr;
  sqlite3_stmt* count_history_ = nullptr;
  sqlite3_stmt* prune_history_ = nullptr;
  sqlite3_stmt* prune_alarms_ = nullptr;
  sqlite3_stmt* first_kept_ = nullptr;
  // Rows not written yet, oldest first: those of the second, behind those
  // the database refused.
  std::deque<Queued> waiting_;
  std::size_t refused_ = 0;  // how many of them the database refused
  std::uint64_t errors_ = 0;
  std::uint64_t lost_ = 0;
  std::string refusal_;     // why the database refuses now, else empty
  bool lost_told_ = false;  // the loss of the current refusal was told
  std::int64_t page_size_ = 4096;
  std::int64_t log_pages_ = 0;  // in the log after the last commit
  std::int64_t log_limit_ = kLogLimitDefault;
  bool log_held_ = false;  // a reader keeps the log past its limit
  std::chrono::steady_clock::time_point checkpoint_at_{};
  std::int64_t size_limit_ = 0;
  bool size_told_ = false;
  int retain_days_ = 0;
  std::chrono::seconds retain_every_{0};
  std::chrono::steady_clock::time_point retain_at_{};
  std::chrono::steady_clock::time_point size_at_{};
  std::string prune_before_;  // the retention's pass under way, else empty
  bool trimming_ = false;     // the bound's pass under way
  int pruned_ = 0;

  std::mutex background_mutex_;
  std::condition_variable background_cv_;
  bool background_stop_ = false;
  std::thread background_;
};
// The host's local time as stored.
std::string StoreTime();

}  // namespace korv_host
