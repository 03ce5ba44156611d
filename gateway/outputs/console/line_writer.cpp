#include "gateway/outputs/console/line_writer.h"

#include <fmt/format.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace korv_host {
namespace {

// How long the end waits for a reader that does not read, and how often a
// waiting write looks whether the end came.
constexpr auto kFlushLimit = std::chrono::seconds(1);
constexpr int kPollMs = 100;

}  // namespace

LineWriter::LineWriter(int fd, bool json, std::size_t queue_bytes)
    : fd_(fd), json_(json), queue_bytes_(queue_bytes), thread_([this] {
        ::pthread_setname_np(::pthread_self(), "korv-lines");
        Run();
      }) {}

LineWriter::~LineWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    flush_end_ = std::chrono::steady_clock::now() + kFlushLimit;
  }
  cv_.notify_all();
  thread_.join();
}

void LineWriter::Write(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    if (broken_) {
      ++dropped_;  // the reader is gone
      return;
    }
    if (queued_bytes_ + line.size() + 1 > queue_bytes_) {
      ++dropped_;
      // The notice goes where the lines went missing.
      if (queue_.empty() || queue_.back().dropped == 0) queue_.push_back({});
      ++queue_.back().dropped;
      return;
    }
    queue_.push_back({line + '\n'});
    queued_bytes_ += line.size() + 1;
    if (!idle_) return;  // it gathers a batch and takes this with it
  }
  cv_.notify_one();
}

std::uint64_t LineWriter::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

bool LineWriter::PastFlush() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::chrono::steady_clock::now() >= flush_end_;
}

// Writes `text` whole, waiting for room kPollMs at a time; false when the
// reader is gone, or the end came and the flush time is over.
bool LineWriter::WriteAll(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    pollfd p{fd_, POLLOUT, 0};
    const int ready = ::poll(&p, 1, kPollMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) {
      if (PastFlush()) return false;
      continue;
    }
    if ((p.revents & POLLOUT) == 0) return false;  // an error, a hang-up
    // At most PIPE_BUF at a time: a pipe that polls writable takes that
    // much without blocking.
    const std::size_t n = std::min<std::size_t>(text.size() - at, PIPE_BUF);
    const ssize_t wrote = ::write(fd_, text.data() + at, n);
    if (wrote < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    at += static_cast<std::size_t>(wrote);
  }
  return true;
}

void LineWriter::Run() {
  // A reader that went away makes a write fail (EPIPE) rather than end
  // korv-host: the units, the store and the other outputs go on.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    idle_ = true;
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    idle_ = false;
    // What the next moments bring goes out with this: one wake of this
    // thread a batch, not one a line (a wake costs more than the writing).
    cv_.wait_for(lock, kBatchWindow, [this] { return stop_; });
    if (queue_.empty() || broken_ || std::chrono::steady_clock::now() >= flush_end_) break;
    // Everything that waits in one go: one write for many lines.
    std::string text;
    while (!queue_.empty()) {
      const Entry& e = queue_.front();
      if (e.dropped > 0) {
        text += json_ ? fmt::format("{{\"event\":\"dropped\",\"lines\":{}}}\n", e.dropped)
                      : fmt::format("{} lines dropped\n", e.dropped);
      } else {
        text += e.text;
      }
      queue_.pop_front();
    }
    queued_bytes_ = 0;
    lock.unlock();
    const bool ok = WriteAll(text);
    lock.lock();
    if (!ok) broken_ = true;
  }
  queue_.clear();
}

}  // namespace korv_host
