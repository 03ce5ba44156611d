#pragma once
// A unit's history as it was kept: its children's stored blocks over a
// time range, decoded through their descriptions, oldest first, a page at a
// time. It reads the database on a connection of its own, read only, so a
// request never holds up the store's commits; each page is a few index
// lookups, never a scan of the table.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/outputs/output.h"

struct sqlite3;

namespace korv_host {

struct HistoryQuery {
  struct Child {
    unsigned device = 0;
    std::string type;
    psma::BlockLayout layout;
  };
  std::vector<Child> children;
  // The range, [from, to), in the database's times (the host's local time,
  // "YYYY-MM-DD HH:MM:SS").
  std::string from, to;
  // Where the previous page ended: a row's time and id.
  std::optional<std::pair<std::string, std::int64_t>> after;
  std::size_t limit = 1000;
};

struct HistoryRow {
  std::int64_t id = 0;
  std::string saved_at;
  std::size_t child = 0;  // in HistoryQuery::children
  std::vector<psma::FieldValue> fields;
};

struct HistoryPage {
  std::vector<HistoryRow> rows;
  bool more = false;  // rows past the limit wait for the next page
};

class HistoryReader {
 public:
  explicit HistoryReader(std::string path);
  ~HistoryReader();
  HistoryReader(const HistoryReader&) = delete;
  HistoryReader& operator=(const HistoryReader&) = delete;

  // The rows of `query`'s children in its range, by time then id, at most
  // its limit. False with a one-line `error` (no database yet, a read
  // refused).
  bool Read(const HistoryQuery& query, HistoryPage& page, std::string& error);

 private:
  bool OpenLocked(std::string& error);

  const std::string path_;
  std::mutex mutex_;  // one read at a time on the connection
  sqlite3* db_ = nullptr;
};

}  // namespace korv_host
