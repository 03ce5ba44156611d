#include "gateway/core/store.h"

#include <fmt/format.h>
#include <pthread.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <limits>

#include "host/local_clock.h"

namespace korv_host {
namespace {

const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS history (
  id INTEGER PRIMARY KEY,
  device INTEGER NOT NULL,
  type TEXT NOT NULL,
  saved_at TEXT NOT NULL,
  block BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS history_by_device ON history (device, type, id);
CREATE INDEX IF NOT EXISTS history_by_time ON history (device, type, saved_at, id);
CREATE TABLE IF NOT EXISTS last_block (
  device INTEGER NOT NULL,
  type TEXT NOT NULL,
  kind INTEGER NOT NULL,
  saved_at TEXT NOT NULL,
  block BLOB NOT NULL,
  PRIMARY KEY (device, type));
CREATE TABLE IF NOT EXISTS alarm_event (
  id INTEGER PRIMARY KEY,
  at TEXT NOT NULL,
  device INTEGER NOT NULL,
  type TEXT NOT NULL,
  key TEXT NOT NULL,
  code TEXT NOT NULL,
  level INTEGER NOT NULL,
  name TEXT NOT NULL,
  description TEXT NOT NULL,
  seq INTEGER NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')),
  state_text TEXT);
PRAGMA user_version = 1;
)";

// Binds a statement's parameters, one call a value.
class Bind {
 public:
  explicit Bind(sqlite3_stmt* stmt) : stmt_(stmt) {}
  Bind& Int(int at, std::int64_t v) {
    sqlite3_bind_int64(stmt_, at, v);
    return *this;
  }
  Bind& Text(int at, const std::string& v) {
    sqlite3_bind_text(stmt_, at, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Bind& Blob(int at, const std::vector<std::uint8_t>& v) {
    sqlite3_bind_blob(stmt_, at, v.empty() ? "" : static_cast<const void*>(v.data()),
                      static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }

 private:
  sqlite3_stmt* stmt_;
};

// Makes a statement ready for its next use when the scope ends.
class Reuse {
 public:
  explicit Reuse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Reuse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Reuse(const Reuse&) = delete;
  Reuse& operator=(const Reuse&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    return nullptr;
  }
  return stmt;
}

// A time as stored.
std::string StoreTimeOf(const boost::posix_time::ptime& t) {
  std::string s = boost::posix_time::to_iso_extended_string(t);  // YYYY-MM-DDTHH:MM:SS
  if (s.size() > 10 && s[10] == 'T') s[10] = ' ';
  return s;
}

// The host's local time `days` days ago, as stored (`days` in
// 0..kRetainDaysMax: the hours fit in 64 bits and the year in the calendar).
std::string StoreTimeDaysAgo(int days) {
  return StoreTimeOf(korv::LocalNow() - boost::posix_time::hours(std::int64_t{24} * days));
}

}  // namespace

std::string StoreTime() {
  // Every row of a round stamps the same second: the text is made once a
  // second per thread, not once a row.
  // Plain bytes, not a std::string: a thread ends without a destructor of
  // ours to run while another thread tears down its storage.
  thread_local std::int64_t second = -1;
  thread_local std::array<char, 32> text{};
  thread_local std::size_t length = 0;
  const boost::posix_time::ptime now = korv::LocalNow();
  const std::int64_t at = korv::ToEpochSeconds(now);
  if (at != second) {
    const std::string made = StoreTimeOf(now);
    length = std::min(made.size(), text.size());
    std::copy_n(made.begin(), length, text.begin());
    second = at;
  }
  return std::string(text.data(), length);
}

Store::~Store() { Close(); }

bool Store::Open(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> lock(db_mutex_);
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    error = "cannot open database " + path + ": " +
            (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  // One commit a second, its log synced (synchronous = FULL): a power cut
  // loses at most that second. The log goes into the database file in
  // larger steps (Checkpoint); after one it shrinks back to what it holds.
  if (!Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; "
            "PRAGMA wal_autocheckpoint = 0; PRAGMA journal_size_limit = 4194304;") ||
      !Exec(kSchema)) {
    error = "database " + path + ": " + error_;
    CloseLocked();
    return false;
  }
  insert_history_ =
      Prepare(db_, "INSERT INTO history (device, type, saved_at, block) VALUES (?, ?, ?, ?)");
  upsert_last_ =
      Prepare(db_,
              "INSERT INTO last_block (device, type, kind, saved_at, block) VALUES (?, ?, ?, ?, ?) "
              "ON CONFLICT (device, type) DO UPDATE SET kind = excluded.kind, "
              "saved_at = excluded.saved_at, block = excluded.block");
  insert_alarm_ =
      Prepare(db_,
              "INSERT INTO alarm_event (at, device, type, key, code, level, name, description, "
              "seq, state, state_text) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  // The newest history row wins over the last block of a clean stop: after
  // a crash it is the newer.
  select_last_ = Prepare(db_,
                         "SELECT block FROM (SELECT block, 1 AS o FROM (SELECT block FROM history "
                         "WHERE device = ?1 AND type = ?2 ORDER BY id DESC LIMIT 1) UNION ALL "
                         "SELECT block, 2 FROM last_block WHERE device = ?1 AND type = ?2) "
                         "ORDER BY o LIMIT 1");
  count_history_ = Prepare(db_, "SELECT count(*) FROM history WHERE device = ? AND type = ?");
  // The oldest rows before ?1, a child's newest excepted.
  prune_history_ =
      Prepare(db_,
              "DELETE FROM history WHERE id IN (SELECT h.id FROM history h "
              "WHERE h.id < ?1 AND h.id < (SELECT max(n.id) FROM history n "
              "WHERE n.device = h.device AND n.type = h.type) ORDER BY h.id LIMIT 500)");
  prune_alarms_ = Prepare(
      db_,
      "DELETE FROM alarm_event WHERE id IN (SELECT id FROM alarm_event ORDER BY id LIMIT 500)");
  // Rows go in in time order: the first row to keep ends the retention's
  // scan.
  first_kept_ = Prepare(db_,
                        "SELECT coalesce((SELECT id FROM history WHERE saved_at >= ? ORDER BY id "
                        "LIMIT 1), (SELECT max(id) + 1 FROM history), 0)");
  if (insert_history_ == nullptr || upsert_last_ == nullptr || insert_alarm_ == nullptr ||
      select_last_ == nullptr || count_history_ == nullptr || prune_history_ == nullptr ||
      prune_alarms_ == nullptr || first_kept_ == nullptr) {
    error = "database " + path + ": " + sqlite3_errmsg(db_);
    CloseLocked();
    return false;
  }
  sqlite3_stmt* size = Prepare(db_, "PRAGMA page_size");
  if (size != nullptr && sqlite3_step(size) == SQLITE_ROW) page_size_ = sqlite3_column_int(size, 0);
  sqlite3_finalize(size);
  // The pages in the log after each commit: when to copy it into the
  // database file, and how far a reader lets it grow.
  sqlite3_wal_hook(
      db_,
      [](void* self, sqlite3*, const char*, int pages) {
        static_cast<Store*>(self)->log_pages_ = pages;  // under db_mutex_: the commit's
        return SQLITE_OK;
      },
      this);
  checkpoint_at_ = std::chrono::steady_clock::now() + kCheckpointEvery;
  log_pages_ = 0;
  log_held_ = false;
  prune_before_.clear();
  trimming_ = size_told_ = false;
  {
    std::lock_guard<std::mutex> background(background_mutex_);
    background_stop_ = false;
  }
  background_ = std::thread([this] {
    ::pthread_setname_np(::pthread_self(), "korv-store");
    // Nothing may escape a thread (it would end korv-host): a failure of the
    // store's work is kept as its error and told.
    try {
      Background();
    } catch (const std::exception& e) {
      std::vector<Told> told{{0, std::string("database: the store's work stopped: ") + e.what()}};
      {
        std::lock_guard<std::mutex> held(db_mutex_);
        if (error_.empty()) error_ = told.front().text;
      }
      Tell(told);
    }
  });
  return true;
}

void Store::Close() {
  {
    std::lock_guard<std::mutex> lock(background_mutex_);
    background_stop_ = true;
  }
  background_cv_.notify_all();
  if (background_.joinable()) background_.join();
  Flush();  // too late to tell: Lost() says what stayed out
  // The close of the last connection copies the log into the database file
  // and removes it: a copy of the file alone is whole.
  std::lock_guard<std::mutex> lock(db_mutex_);
  lost_ += waiting_.size();
  waiting_.clear();
  refused_ = 0;
  CloseLocked();
}

void Store::CloseLocked() {
  for (sqlite3_stmt** stmt : {&insert_history_, &upsert_last_, &insert_alarm_, &select_last_,
                              &count_history_, &prune_history_, &prune_alarms_, &first_kept_}) {
    sqlite3_finalize(*stmt);
    *stmt = nullptr;
  }
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
}

bool Store::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error_.empty()) error_ = message != nullptr ? message : "sqlite error";
  sqlite3_free(message);
  return false;
}

bool Store::Step(sqlite3_stmt* stmt) {
  Reuse reuse(stmt);
  if (sqlite3_step(stmt) == SQLITE_DONE) return true;
  if (error_.empty()) error_ = sqlite3_errmsg(db_);
  return false;
}

namespace {

// A row the database will never take, whatever the disk does (a constraint,
// a value too big): it is given up rather than held with the others.
bool RefusedForGood(sqlite3* db) {
  switch (sqlite3_errcode(db) & 0xFF) {
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
      return true;
    default:
      return false;
  }
}

}  // namespace

void Store::TellFaults(std::function<void(unsigned, const std::string&)> tell) {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  tell_ = std::move(tell);
}

void Store::Tell(std::vector<Told>& told) {
  std::function<void(unsigned, const std::string&)> tell;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    tell = tell_;
  }
  if (tell) {
    for (const auto& t : told) tell(t.unit, t.text);
  }
  told.clear();
}

void Store::Queue(unsigned unit, Row row) {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  queued_.push_back({unit, std::move(row)});
}

bool Store::WriteWaiting() {
  if (log_held_) {
    refusal_ = fmt::format("a reader holds the log at {:.1f} MB",
                           static_cast<double>(log_pages_ * page_size_) / (1 << 20));
    ++errors_;
    return false;
  }
  bool ok = Exec("BEGIN IMMEDIATE");
  std::uint64_t given_up = 0;
  for (auto row = waiting_.begin(); ok && row != waiting_.end(); ++row) {
    if (row->row()) continue;
    if (RefusedForGood(db_)) {
      ++given_up;  // the others still go in
    } else {
      ok = false;
    }
  }
  if (ok) ok = Exec("COMMIT");
  if (ok) {
    lost_ += given_up;
    return true;
  }
  refusal_ = sqlite3_errmsg(db_);
  if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
  ++errors_;
  return false;
}

void Store::Flush() {
  std::vector<Queued> rows;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    rows.swap(queued_);
  }
  std::vector<Told> told;
  {
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (db_ == nullptr) return;
    for (auto& row : rows) waiting_.push_back(std::move(row));
    // Before the rows: a log past its limit is found held before it grows.
    Checkpoint();
    if (waiting_.empty()) return;  // a second with nothing to write commits nothing
    const unsigned unit = waiting_.front().unit;
    if (WriteWaiting()) {
      if (refused_ > 0) {
        told.push_back(
            {unit, fmt::format("database: writing again: {} rows that waited went in", refused_)});
      }
      waiting_.clear();
      refused_ = 0;
      refusal_.clear();
      lost_told_ = false;
    } else {
      if (refused_ == 0) {
        told.push_back(
            {unit, fmt::format("database: {}: rows wait in memory until it takes them", refusal_)});
      }
      Bound(told);
      refused_ = waiting_.size();
    }
  }
  Tell(told);
}

void Store::Bound(std::vector<Told>& told) {
  while (waiting_.size() > kWaitingRowsMax) {
    const unsigned unit = waiting_.front().unit;
    waiting_.pop_front();
    ++lost_;
    if (!lost_told_) {
      told.push_back({unit, fmt::format("database: more than {} rows wait: the oldest are given up",
                                        kWaitingRowsMax)});
      lost_told_ = true;
    }
  }
}

void Store::Checkpoint() {
  const auto at = std::chrono::steady_clock::now();
  const std::int64_t log_bytes = log_pages_ * page_size_;
  const bool due =
      log_held_ || (log_pages_ > 0 && (at >= checkpoint_at_ || log_bytes >= kCheckpointBytes ||
                                       log_bytes >= log_limit_));
  if (!due) return;
  checkpoint_at_ = at + kCheckpointEvery;
  int log = 0;
  int done = 0;
  if (sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log, &done) !=
      SQLITE_OK) {
    return;
  }
  // A reader that keeps an old view of the database keeps the log from
  // starting over: past the limit, rows wait in memory (told as a refusal)
  // until it lets go.
  log_held_ = done < log && std::int64_t{log} * page_size_ >= log_limit_;
  if (done >= log) log_pages_ = 0;
}

void Store::LimitPages(int pages) {
  std::lock_guard<std::mutex> lock(db_mutex_);
  if (db_ == nullptr) return;
  // 4294967294: SQLite's own largest.
  const std::string sql = fmt::format("PRAGMA max_page_count = {}",
                                      pages > 0 ? static_cast<std::int64_t>(pages) : 4294967294);
  Exec(sql.c_str());
}

void Store::LimitSize(std::int64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(db_mutex_);
    size_limit_ = std::max<std::int64_t>(bytes, 0);
    size_at_ = std::chrono::steady_clock::now();
  }
  background_cv_.notify_all();
}

void Store::LimitLog(std::int64_t bytes) {
  std::lock_guard<std::mutex> lock(db_mutex_);
  log_limit_ = bytes;
}

Store::Health Store::TakeHealth() {
  std::lock_guard<std::mutex> lock(db_mutex_);
  Health h;
  h.errors = errors_;
  h.waiting = refused_;
  h.lost = lost_;
  h.error = refused_ > 0 ? refusal_ : std::string();
  return h;
}

std::uint64_t Store::Lost() {
  std::lock_guard<std::mutex> lock(db_mutex_);
  return lost_;
}

std::string Store::LastError() {
  std::lock_guard<std::mutex> lock(db_mutex_);
  return error_;
}

void Store::SaveHistory(unsigned device, const std::string& type,
                        const std::vector<std::uint8_t>& block, std::optional<unsigned> unit) {
  Queue(unit.value_or(device), [this, device, type, block, at = StoreTime()] {
    Bind(insert_history_).Int(1, device).Text(2, type).Text(3, at).Blob(4, block);
    return Step(insert_history_);
  });
}

void Store::SaveLastBlock(unsigned device, const std::string& type, int kind,
                          const std::vector<std::uint8_t>& block, std::optional<unsigned> unit) {
  Queue(unit.value_or(device), [this, device, type, kind, block, at = StoreTime()] {
    Bind(upsert_last_).Int(1, device).Text(2, type).Int(3, kind).Text(4, at).Blob(5, block);
    return Step(upsert_last_);
  });
}

void Store::SaveAlarm(const AlarmEvent& a, std::optional<unsigned> unit) {
  Queue(unit.value_or(a.device), [=, at = StoreTime()] {
    Bind(insert_alarm_)
        .Text(1, at)
        .Int(2, a.device)
        .Text(3, a.device_type)
        .Text(4, a.key)
        .Text(5, a.code)
        .Int(6, a.level)
        .Text(7, a.name)
        .Text(8, a.description)
        .Int(9, a.seq)
        .Text(10, a.transition == korv::AlarmTransition::Raised ? "raised" : "cleared")
        .Text(11, a.is_map ? a.state_text : std::string());
    return Step(insert_alarm_);
  });
}

bool Store::LastBlock(unsigned device, const std::string& type, std::string& block) {
  std::lock_guard<std::mutex> lock(db_mutex_);
  if (db_ == nullptr) return false;
  Reuse reuse(select_last_);
  Bind(select_last_).Int(1, device).Text(2, type);
  if (sqlite3_step(select_last_) != SQLITE_ROW) return false;
  const void* data = sqlite3_column_blob(select_last_, 0);
  const int n = sqlite3_column_bytes(select_last_, 0);
  block.assign(static_cast<const char*>(data), data != nullptr ? static_cast<std::size_t>(n) : 0);
  return true;
}

int Store::HistoryCount(unsigned device, const std::string& type) {
  std::lock_guard<std::mutex> lock(db_mutex_);
  if (db_ == nullptr) return 0;
  Reuse reuse(count_history_);
  Bind(count_history_).Int(1, device).Text(2, type);
  if (sqlite3_step(count_history_) != SQLITE_ROW) return 0;
  return sqlite3_column_int(count_history_, 0);
}

void Store::Retain(int days, std::chrono::seconds every) {
  {
    std::lock_guard<std::mutex> lock(db_mutex_);
    retain_days_ = std::clamp(days, 0, kRetainDaysMax);
    retain_every_ = every;
    retain_at_ = std::chrono::steady_clock::now();
  }
  background_cv_.notify_all();
}

int Store::Pruned() {
  std::lock_guard<std::mutex> lock(db_mutex_);
  return pruned_;
}

std::int64_t Store::UsedBytes() {
  std::int64_t pages[2] = {0, 0};
  const char* sql[2] = {"PRAGMA page_count", "PRAGMA freelist_count"};
  for (int k = 0; k < 2; ++k) {
    sqlite3_stmt* stmt = Prepare(db_, sql[k]);
    if (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW)
      pages[k] = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
  }
  return (pages[0] - pages[1]) * page_size_;
}

bool Store::PruneSome(std::vector<Told>& told) {
  const auto now = std::chrono::steady_clock::now();
  if (prune_before_.empty() && retain_days_ > 0 && now >= retain_at_) {
    retain_at_ = now + retain_every_;
    prune_before_ = StoreTimeDaysAgo(retain_days_);
  }
  if (!trimming_ && size_limit_ > 0 && now >= size_at_) {
    size_at_ = now + kSizeCheckEvery;
    trimming_ = UsedBytes() > size_limit_;
    if (trimming_ && !size_told_) {
      size_told_ = true;
      told.push_back({0, fmt::format("database: at its bound of {} MB: the oldest history rows go",
                                     size_limit_ >> 20)});
    }
  }
  if (prune_before_.empty() && !trimming_) return false;
  std::int64_t before = std::numeric_limits<std::int64_t>::max();
  if (!prune_before_.empty()) {
    Reuse reuse(first_kept_);
    Bind(first_kept_).Text(1, prune_before_);
    if (sqlite3_step(first_kept_) == SQLITE_ROW) before = sqlite3_column_int64(first_kept_, 0);
  }
  bool ok = true;
  {
    Reuse reuse(prune_history_);
    Bind(prune_history_).Int(1, before);
    ok = sqlite3_step(prune_history_) == SQLITE_DONE;
  }
  int deleted = ok ? sqlite3_changes(db_) : 0;
  if (deleted == 0 && trimming_ && prune_before_.empty() && ok) {
    // Only each child's newest history row is left: the alarms go last.
    Reuse reuse(prune_alarms_);
    ok = sqlite3_step(prune_alarms_) == SQLITE_DONE;
    deleted = ok ? sqlite3_changes(db_) : 0;
  }
  pruned_ += deleted;
  if (deleted == 0 || !ok) {
    // This pass is done (or cannot go on): the retention's first, then
    // the bound's.
    if (!prune_before_.empty()) {
      prune_before_.clear();
    } else {
      trimming_ = false;
    }
    return !prune_before_.empty() || trimming_;
  }
  if (trimming_ && prune_before_.empty() && UsedBytes() <= size_limit_ / 10 * 9) trimming_ = false;
  return true;
}

void Store::Background() {
  auto commit_at = std::chrono::steady_clock::now() + kCommitEvery;
  bool pruning = false;
  while (true) {
    {
      std::unique_lock<std::mutex> lock(background_mutex_);
      // Between two commits, the pruning deletes a few hundred rows at a
      // time without waiting; else the thread sleeps to the next second.
      if (!pruning) background_cv_.wait_until(lock, commit_at, [&] { return background_stop_; });
      if (background_stop_) return;
    }
    if (std::chrono::steady_clock::now() >= commit_at) {
      commit_at += kCommitEvery;
      const auto now = std::chrono::steady_clock::now();
      if (commit_at <= now) commit_at = now + kCommitEvery;  // a late second is not made up
      Flush();
    }
    std::vector<Told> told;
    {
      std::lock_guard<std::mutex> lock(db_mutex_);
      pruning = db_ != nullptr && PruneSome(told);
    }
    Tell(told);
  }
}

}  // namespace korv_host
