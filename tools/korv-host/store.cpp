#include "tools/korv-host/store.h"

#include <sqlite3.h>

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

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  explicit operator bool() const { return stmt_ != nullptr; }
  Statement& Int(int at, std::int64_t v) {
    sqlite3_bind_int64(stmt_, at, v);
    return *this;
  }
  Statement& Text(int at, const std::string& v) {
    sqlite3_bind_text(stmt_, at, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Blob(int at, const void* data, std::size_t n) {
    sqlite3_bind_blob(stmt_, at, n == 0 ? "" : data, static_cast<int>(n), SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return sqlite3_step(stmt_); }
  sqlite3_stmt* get() { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace

std::string StoreTime() {
  const auto t = korv::LocalNow();
  std::string s = boost::posix_time::to_iso_extended_string(t);  // YYYY-MM-DDTHH:MM:SS
  if (s.size() > 10 && s[10] == 'T') s[10] = ' ';
  return s;
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
  sqlite3_busy_timeout(db_, 2000);
  if (!Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;") || !Exec(kSchema)) {
    error = "database " + path + ": " + error_;
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  return true;
}

void Store::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
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

std::string Store::LastError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void Store::SaveHistory(unsigned device, const std::string& type,
                        const std::vector<std::uint8_t>& block) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return;
  Statement s(db_, "INSERT INTO history (device, type, saved_at, block) VALUES (?, ?, ?, ?)");
  if (!s || s.Int(1, device)
                    .Text(2, type)
                    .Text(3, StoreTime())
                    .Blob(4, block.data(), block.size())
                    .Step() != SQLITE_DONE) {
    if (error_.empty()) error_ = sqlite3_errmsg(db_);
  }
}

void Store::SaveLastBlock(unsigned device, const std::string& type, int kind,
                          const std::vector<std::uint8_t>& block) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return;
  Statement s(db_,
              "INSERT INTO last_block (device, type, kind, saved_at, block) VALUES (?, ?, ?, ?, ?) "
              "ON CONFLICT (device, type) DO UPDATE SET kind = excluded.kind, "
              "saved_at = excluded.saved_at, block = excluded.block");
  if (!s || s.Int(1, device)
                    .Text(2, type)
                    .Int(3, kind)
                    .Text(4, StoreTime())
                    .Blob(5, block.data(), block.size())
                    .Step() != SQLITE_DONE) {
    if (error_.empty()) error_ = sqlite3_errmsg(db_);
  }
}

void Store::SaveAlarm(unsigned device, const std::string& type, const std::string& key,
                      const std::string& code, int level, const std::string& name,
                      const std::string& description, int seq, bool raised,
                      const std::string& state_text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return;
  Statement s(db_,
              "INSERT INTO alarm_event (at, device, type, key, code, level, name, description, "
              "seq, state, state_text) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!s || s.Text(1, StoreTime())
                    .Int(2, device)
                    .Text(3, type)
                    .Text(4, key)
                    .Text(5, code)
                    .Int(6, level)
                    .Text(7, name)
                    .Text(8, description)
                    .Int(9, seq)
                    .Text(10, raised ? "raised" : "cleared")
                    .Text(11, state_text)
                    .Step() != SQLITE_DONE) {
    if (error_.empty()) error_ = sqlite3_errmsg(db_);
  }
}

bool Store::LastBlock(unsigned device, const std::string& type, std::string& block) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  Statement s(db_, "SELECT block FROM last_block WHERE device = ? AND type = ?");
  if (!s || s.Int(1, device).Text(2, type).Step() != SQLITE_ROW) return false;
  const void* data = sqlite3_column_blob(s.get(), 0);
  const int n = sqlite3_column_bytes(s.get(), 0);
  block.assign(static_cast<const char*>(data), data != nullptr ? static_cast<std::size_t>(n) : 0);
  return true;
}

int Store::HistoryCount(unsigned device, const std::string& type) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return 0;
  Statement s(db_, "SELECT count(*) FROM history WHERE device = ? AND type = ?");
  if (!s || s.Int(1, device).Text(2, type).Step() != SQLITE_ROW) return 0;
  return sqlite3_column_int(s.get(), 0);
}

}  // namespace korv_host
