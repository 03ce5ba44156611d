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

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace korv_host {

class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens (or makes) the database and its tables; false with `error`.
  bool Open(const std::string& path, std::string& error);
  void Close();

  void SaveHistory(unsigned device, const std::string& type,
                   const std::vector<std::uint8_t>& block);
  void SaveLastBlock(unsigned device, const std::string& type, int kind,
                     const std::vector<std::uint8_t>& block);
  void SaveAlarm(unsigned device, const std::string& type, const std::string& key,
                 const std::string& code, int level, const std::string& name,
                 const std::string& description, int seq, bool raised,
                 const std::string& state_text);
  // The last block of a child; false when there is none.
  bool LastBlock(unsigned device, const std::string& type, std::string& block);
  // Rows of history for one child (for tests and reports).
  int HistoryCount(unsigned device, const std::string& type);
  // The first write error, if any (writes go on after one).
  std::string LastError();

 private:
  bool Exec(const char* sql);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::string error_;
};

// The host's local time as stored.
std::string StoreTime();

}  // namespace korv_host
