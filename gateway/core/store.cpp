#include "gateway/core/store.h"

#include <fmt/format.h>
#include <pthread.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <boost/date_time/posix_time/posix_time.hpp>

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

// Deletes the history rows saved before `before`, a child's newest row
// excepted, a few hundred at a time so the polling threads' commits wait
// briefly; false when `stop` asks to end early. Adds the rows deleted.
bool Prune(sqlite3* db, const std::string& before, const std::function<bool()>& stop,
           int& deleted) {
  sqlite3_stmt* children =
      Prepare(db, "SELECT device, type, max(id) FROM history GROUP BY device, type");
  sqlite3_stmt* drop = Prepare(db,
                               "DELETE FROM history WHERE id IN (SELECT id FROM history "
                               "WHERE device = ? AND type = ? AND id < ? AND saved_at < ? "
                               "ORDER BY id LIMIT 500)");
  struct Child {
    std::int64_t device, newest;
    std::string type;
  };
  std::vector<Child> all;
  bool ok = children != nullptr && drop != nullptr;
  while (ok && sqlite3_step(children) == SQLITE_ROW) {
    const auto* type = sqlite3_column_text(children, 1);
    all.push_back({sqlite3_column_int64(children, 0), sqlite3_column_int64(children, 2),
                   type != nullptr ? reinterpret_cast<const char*>(type) : ""});
  }
  for (const auto& child : all) {
    while (ok && !stop()) {
      Reuse reuse(drop);
      Bind(drop).Int(1, child.device).Text(2, child.type).Int(3, child.newest).Text(4, before);
      ok = sqlite3_step(drop) == SQLITE_DONE;
      const int n = ok ? sqlite3_changes(db) : 0;
      deleted += n;
      if (n == 0) break;
    }
  }
  sqlite3_finalize(children);
  sqlite3_finalize(drop);
  return ok && !stop();
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    error = "cannot open database " + path + ": " +
            (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  path_ = path;
  sqlite3_busy_timeout(db_, 2000);
  // A committed round is in the log when the commit returns, so it survives
  // the runner's crash; the log is synced to disk by the checkpoints the
  // background thread makes every second, never on a polling thread (a sync
  // per round and unit is more than flash storage takes at a thousand units).
  if (!Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
            "PRAGMA wal_autocheckpoint = 0;") ||
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
  select_last_ = Prepare(db_, "SELECT block FROM last_block WHERE device = ? AND type = ?");
  count_history_ = Prepare(db_, "SELECT count(*) FROM history WHERE device = ? AND type = ?");
  if (insert_history_ == nullptr || upsert_last_ == nullptr || insert_alarm_ == nullptr ||
      select_last_ == nullptr || count_history_ == nullptr) {
    error = "database " + path + ": " + sqlite3_errmsg(db_);
    CloseLocked();
    return false;
  }
  {
    std::lock_guard<std::mutex> background(background_mutex_);
    background_stop_ = false;
  }
  background_ = std::thread([this, path] {
    ::pthread_setname_np(::pthread_self(), "korv-store");
    // Nothing may escape a thread (it would end korv-host): a failure of the
    // background work is kept as the store's error and told.
    try {
      Background(path);
    } catch (const std::exception& e) {
      std::vector<Told> told{
          {0, std::string("database: the background work stopped: ") + e.what()}};
      {
        std::lock_guard<std::mutex> held(mutex_);
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
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<unsigned> units;
  for (const auto& [unit, rows] : waiting_) units.push_back(unit);
  std::vector<Told> told;  // too late to tell: Lost() says what stayed out
  for (unsigned unit : units) CommitLocked(unit, told);
  retry_at_ = {};
  if (db_ != nullptr && !refused_.empty()) WriteOrWait(refused_.back().first, {}, told);
  lost_ += refused_.size();
  refused_.clear();
  CloseLocked();
}

void Store::CloseLocked() {
  for (sqlite3_stmt** stmt :
       {&insert_history_, &upsert_last_, &insert_alarm_, &select_last_, &count_history_}) {
    sqlite3_finalize(*stmt);
    *stmt = nullptr;
  }
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
  waiting_.clear();
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
  std::lock_guard<std::mutex> lock(mutex_);
  tell_ = std::move(tell);
}

void Store::Tell(std::vector<Told>& told) {
  std::function<void(unsigned, const std::string&)> tell;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tell = tell_;
  }
  if (tell) {
    for (const auto& t : told) tell(t.device, t.text);
  }
  told.clear();
}

bool Store::WriteRows(const std::vector<Row>& rows) {
  if (rows.empty()) return true;
  bool ok = Exec("BEGIN IMMEDIATE");
  for (std::size_t k = 0; ok && k < rows.size(); ++k) {
    if (rows[k]()) continue;
    if (RefusedForGood(db_)) {
      ++lost_;  // the others still go in
    } else {
      ok = false;
    }
  }
  if (ok) ok = Exec("COMMIT");
  if (ok) return true;
  refusal_ = sqlite3_errmsg(db_);
  if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
  ++errors_;
  return false;
}

void Store::WriteOrWait(unsigned device, std::vector<Row> rows, std::vector<Told>& told) {
  if (refused_.empty()) {
    if (WriteRows(rows)) return;
    told.push_back(
        {device, fmt::format("database: {}: rows wait in memory until it takes them", refusal_)});
  } else {
    // Behind those that wait: the rows go in in the order they came.
    for (auto& row : rows) refused_.emplace_back(device, std::move(row));
    rows.clear();
    // Once a second at most: a thousand units' commits do not each try
    // again what the database refused a moment ago.
    const auto now = std::chrono::steady_clock::now();
    if (now < retry_at_) {
      Bound(device, told);
      return;
    }
    retry_at_ = now + kCheckpointEvery;
    std::vector<Row> all;
    all.reserve(refused_.size());
    for (const auto& [from, row] : refused_) all.push_back(row);
    if (WriteRows(all)) {
      told.push_back({device, fmt::format("database: writing again: {} rows that waited went in",
                                          refused_.size())});
      refused_.clear();
      refusal_.clear();
      lost_told_ = false;
      return;
    }
  }
  for (auto& row : rows) refused_.emplace_back(device, std::move(row));
  retry_at_ = std::chrono::steady_clock::now() + kCheckpointEvery;
  Bound(device, told);
}

void Store::Bound(unsigned device, std::vector<Told>& told) {
  while (refused_.size() > kWaitingRowsMax) {
    refused_.pop_front();
    ++lost_;
    if (!lost_told_) {
      told.push_back(
          {device, fmt::format("database: more than {} rows wait: the oldest are given up",
                               kWaitingRowsMax)});
      lost_told_ = true;
    }
  }
}

void Store::LimitPages(int pages) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return;
  // 4294967294: SQLite's own largest.
  const std::string sql = fmt::format("PRAGMA max_page_count = {}",
                                      pages > 0 ? static_cast<std::int64_t>(pages) : 4294967294);
  Exec(sql.c_str());
}

Store::Health Store::TakeHealth() {
  std::lock_guard<std::mutex> lock(mutex_);
  Health h;
  h.errors = errors_;
  h.waiting = refused_.size();
  h.lost = lost_;
  h.error = refused_.empty() ? std::string() : refusal_;
  return h;
}

std::uint64_t Store::Lost() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_;
}

std::string Store::LastError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void Store::Write(Batch batch, unsigned device, Row row) {
  std::vector<Told> told;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) return;
    if (batch) {
      waiting_[*batch].push_back(std::move(row));
      return;
    }
    std::vector<Row> rows;
    rows.push_back(std::move(row));
    WriteOrWait(device, std::move(rows), told);
  }
  Tell(told);
}

void Store::Commit(unsigned unit) {
  std::vector<Told> told;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CommitLocked(unit, told);
  }
  Tell(told);
}

void Store::CommitLocked(unsigned unit, std::vector<Told>& told) {
  const auto found = waiting_.find(unit);
  if (db_ == nullptr || found == waiting_.end()) return;
  std::vector<Row> rows = std::move(found->second);
  waiting_.erase(found);
  WriteOrWait(unit, std::move(rows), told);
}

void Store::Retry() {
  std::vector<Told> told;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr || refused_.empty()) return;
    WriteOrWait(refused_.back().first, {}, told);
  }
  Tell(told);
}

void Store::SaveHistory(unsigned device, const std::string& type,
                        const std::vector<std::uint8_t>& block, Batch batch) {
  Write(batch, device, [this, device, type, block, at = StoreTime()] {
    Bind(insert_history_).Int(1, device).Text(2, type).Text(3, at).Blob(4, block);
    return Step(insert_history_);
  });
}

void Store::SaveLastBlock(unsigned device, const std::string& type, int kind,
                          const std::vector<std::uint8_t>& block, Batch batch) {
  Write(batch, device, [this, device, type, kind, block, at = StoreTime()] {
    Bind(upsert_last_).Int(1, device).Text(2, type).Int(3, kind).Text(4, at).Blob(5, block);
    return Step(upsert_last_);
  });
}

void Store::SaveAlarm(const AlarmEvent& a, Batch batch) {
  Write(batch, a.device, [=, at = StoreTime()] {
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
  std::lock_guard<std::mutex> lock(mutex_);
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return 0;
  Reuse reuse(count_history_);
  Bind(count_history_).Int(1, device).Text(2, type);
  if (sqlite3_step(count_history_) != SQLITE_ROW) return 0;
  return sqlite3_column_int(count_history_, 0);
}

void Store::StartRetention(int days, std::chrono::seconds every) {
  {
    std::lock_guard<std::mutex> lock(background_mutex_);
    retain_days_ = std::min(days, kRetainDaysMax);
    prune_every_ = every;
    prune_at_ = std::chrono::steady_clock::now();
  }
  background_cv_.notify_all();
}

int Store::Pruned() {
  std::lock_guard<std::mutex> lock(background_mutex_);
  return pruned_;
}

void Store::Background(const std::string& path) {
  // A connection of its own: the polling threads' commits wait neither for a
  // sync nor for a whole pruning, only for one of its short deletes.
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return;
  }
  sqlite3_busy_timeout(db, 2000);
  // A connection finds the log only when it first reads the database: until
  // then its checkpoints do nothing, and the log would grow, unsynced, for as
  // long as korv-host runs.
  sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  const auto stopped = [this] {
    std::lock_guard<std::mutex> lock(background_mutex_);
    return background_stop_;
  };
  std::unique_lock<std::mutex> lock(background_mutex_);
  while (!background_stop_) {
    const auto now = std::chrono::steady_clock::now();
    if (retain_days_ > 0 && now >= prune_at_) {
      const int days = retain_days_;
      prune_at_ = now + prune_every_;
      lock.unlock();
      int deleted = 0;
      Prune(db, StoreTimeDaysAgo(days), stopped, deleted);
      lock.lock();
      pruned_ += deleted;
      continue;
    }
    const auto next =
        retain_days_ > 0 ? std::min(now + kCheckpointEvery, prune_at_) : now + kCheckpointEvery;
    background_cv_.wait_until(lock, next);
    lock.unlock();
    // Rows the database refused go in once it takes them, even while no
    // unit commits.
    Retry();
    // Copies the log into the database, syncing both: the commits before it
    // now survive a power cut too.
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    lock.lock();
  }
  lock.unlock();
  sqlite3_close(db);
}

}  // namespace korv_host
