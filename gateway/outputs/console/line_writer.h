#pragma once
// Writes korv-host's lines to a file descriptor (its standard output) on a
// thread of its own, so that a reader that does not read (a pager, Ctrl-S, a
// stuck log collector) never holds up a unit's polling thread.
//
// Lines wait in a bounded queue. When it is full, a new line is dropped and
// counted; once the writing resumes, "N lines dropped" is written before the
// next line (in --json, as {"event":"dropped","lines":N}). Lines go out in
// batches: what comes within kBatchWindow of the first goes in one write.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace korv_host {

class LineWriter {
 public:
  // The queue holds at most this many bytes of lines.
  static constexpr std::size_t kQueueBytes = 1 << 20;
  // How long the writer gathers lines after the first one comes.
  static constexpr std::chrono::milliseconds kBatchWindow{20};

  // `fd` stays open and is not closed here; `json` shapes the drop notice.
  LineWriter(int fd, bool json, std::size_t queue_bytes = kQueueBytes);
  // Writes what waits for at most a second more, then gives up the rest.
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Queues one line (without its line end) and returns at once.
  void Write(const std::string& line);
  // Lines dropped so far because the queue was full.
  std::uint64_t Dropped() const;

 private:
  // A line with its line end, or (`dropped` > 0) the place of lines dropped.
  struct Entry {
    std::string text;
    std::uint64_t dropped = 0;
  };
  void Run();
  bool WriteAll(const std::string& text);
  bool PastFlush();

  const int fd_;
  const bool json_;
  const std::size_t queue_bytes_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Entry> queue_;
  std::size_t queued_bytes_ = 0;  // of the lines in queue_
  bool idle_ = false;             // the writer waits for a first line
  std::uint64_t dropped_ = 0;     // in all
  bool stop_ = false;
  std::chrono::steady_clock::time_point flush_end_ = std::chrono::steady_clock::time_point::max();
  bool broken_ = false;  // the reader is gone: nothing is written any more
  std::thread thread_;
};

}  // namespace korv_host
