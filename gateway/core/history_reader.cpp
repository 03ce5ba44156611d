#include "gateway/core/history_reader.h"

#include <sqlite3.h>

#include <utility>

namespace korv_host {
namespace {

// One child's rows in the range, by time then id: an index range of
// history_by_time.
const char kChildRows[] = R"(
SELECT id, saved_at, block FROM history INDEXED BY history_by_time
WHERE device = ?1 AND type = ?2 AND saved_at >= ?3 AND saved_at < ?4
  AND NOT (saved_at = ?5 AND id <= ?6)
ORDER BY saved_at, id)";

// A child's statement, stepped as the merge takes its rows.
struct Cursor {
  sqlite3_stmt* stmt = nullptr;
  bool has_row = false;
  std::int64_t id = 0;
  std::string saved_at;

  ~Cursor() { sqlite3_finalize(stmt); }
  bool Step(std::string& error) {
    const int rc = sqlite3_step(stmt);
    has_row = rc == SQLITE_ROW;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      error = std::string("reading the history: ") + sqlite3_errmsg(sqlite3_db_handle(stmt));
      return false;
    }
    if (has_row) {
      id = sqlite3_column_int64(stmt, 0);
      const auto* text = sqlite3_column_text(stmt, 1);
      saved_at = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }
    return true;
  }
  bool Before(const Cursor& other) const {
    return saved_at < other.saved_at || (saved_at == other.saved_at && id < other.id);
  }
};

}  // namespace

HistoryReader::HistoryReader(std::string path) : path_(std::move(path)) {}

HistoryReader::~HistoryReader() { sqlite3_close(db_); }

bool HistoryReader::OpenLocked(std::string& error) {
  if (db_ != nullptr) return true;
  // Read only, and never made here: the store makes the database.
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    error = "the database " + path_ + ": " + sqlite3_errmsg(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  // A commit in flight is a short wait; a longer one is an error the
  // client may try again.
  sqlite3_busy_timeout(db_, 500);
  return true;
}

bool HistoryReader::Read(const HistoryQuery& query, HistoryPage& page, std::string& error) {
  page = {};
  std::lock_guard<std::mutex> lock(mutex_);
  if (!OpenLocked(error)) return false;
  // One read transaction: every child's rows from the same moment.
  if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = std::string("reading the history: ") + sqlite3_errmsg(db_);
    return false;
  }
  struct End {
    sqlite3* db;
    ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
  } end{db_};
  const std::string& lower =
      query.after && query.after->first > query.from ? query.after->first : query.from;
  std::vector<Cursor> cursors(query.children.size());
  for (std::size_t k = 0; k < cursors.size(); ++k) {
    const HistoryQuery::Child& child = query.children[k];
    if (sqlite3_prepare_v2(db_, kChildRows, -1, &cursors[k].stmt, nullptr) != SQLITE_OK) {
      error = std::string("reading the history: ") + sqlite3_errmsg(db_);
      return false;
    }
    sqlite3_stmt* stmt = cursors[k].stmt;
    sqlite3_bind_int64(stmt, 1, child.device);
    sqlite3_bind_text(stmt, 2, child.type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 3, lower.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 4, query.to.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 5, query.after ? query.after->first.c_str() : "", -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 6, query.after ? query.after->second : 0);
    if (!cursors[k].Step(error)) return false;
  }
  // The children's rows merged by time: one row of each in memory at a time.
  for (;;) {
    Cursor* next = nullptr;
    std::size_t child = 0;
    for (std::size_t k = 0; k < cursors.size(); ++k) {
      if (cursors[k].has_row && (next == nullptr || cursors[k].Before(*next))) {
        next = &cursors[k];
        child = k;
      }
    }
    if (next == nullptr) break;
    if (page.rows.size() == query.limit) {
      page.more = true;
      break;
    }
    HistoryRow row;
    row.id = next->id;
    row.saved_at = next->saved_at;
    row.child = child;
    const auto* block = static_cast<const std::uint8_t*>(sqlite3_column_blob(next->stmt, 2));
    const int bytes = sqlite3_column_bytes(next->stmt, 2);
    psma::DecodeBlock(query.children[child].layout, block, bytes > 0 ? bytes : 0, row.fields);
    page.rows.push_back(std::move(row));
    if (!next->Step(error)) return false;
  }
  return true;
}

}  // namespace korv_host
