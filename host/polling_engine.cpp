#include "host/polling_engine.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace korv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds Until(Clock::time_point t, Clock::time_point now) {
  if (t <= now) return milliseconds(0);
  // Round up: waking a little late is fine, waking early only loops.
  return std::chrono::duration_cast<milliseconds>(t - now) + milliseconds(1);
}

}  // namespace

PollingEngine::PollingEngine(std::shared_ptr<PMBusProtocol> root, Options options)
    : root_(std::move(root)), options_(std::move(options)) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

PollingEngine::~PollingEngine() {
  Stop();
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

int PollingEngine::Baud() const { return options_.baud > 0 ? options_.baud : root_->BaudRate(); }

bool PollingEngine::Open(std::string& error) {
  if (port_.IsOpen()) return true;
  if (!port_.Open(options_.port, Baud())) {
    error = port_.Error();
    return false;
  }
  return true;
}

void PollingEngine::Start() {
  if (thread_.joinable()) return;
  std::string ignored;
  Open(ignored);
  if (options_.log_repeat_window_s > 0) {
    if (auto controller = root_->Controller()) {
      controller->SetRepeatWindow(options_.log_repeat_window_s);
    }
  }
  stopping_.store(false);
  // The root writes its requests through the engine's port, on the engine's
  // thread: stale input goes first, so nothing older is read as the answer.
  root_->AttachLine([this](const std::uint8_t* data, unsigned n) {
    port_.FlushInput();
    return port_.Write(data, n);
  });
  thread_ = std::thread([this] { Run(); });
}

void PollingEngine::Stop() {
  stopping_.store(true);
  if (wake_[1] >= 0) {
    const char c = 1;
    [[maybe_unused]] const ssize_t put = ::write(wake_[1], &c, 1);
  }
  if (thread_.joinable()) thread_.join();
  root_->AttachLine(nullptr);
  port_.Close();
}

void PollingEngine::Report(const std::string& text) const {
  if (auto controller = root_->Controller()) {
    if (auto obs = controller->Observer()) obs->OnLinkError(root_->DataId(), text);
  }
}

void PollingEngine::Run() {
  std::uint8_t buf[512];
  bool told_lost = false;
  // Settling after a timeout: discard input until the line has been quiet
  // for one answer timeout, or at most three.
  bool settling = false;
  Clock::time_point quiet_at{}, settle_end{};

  while (!stopping_.load()) {
    if (!port_.IsOpen()) {
      std::string error;
      if (Open(error)) {
        if (told_lost) Report("port " + options_.port + " open again");
        told_lost = false;
      } else {
        if (!told_lost) Report("port " + options_.port + ": " + error + "; retrying");
        told_lost = true;
        // Sleep one reopen interval, or until stopped.
        pollfd pfd{wake_[0], POLLIN, 0};
        ::poll(&pfd, 1, static_cast<int>(options_.reopen_interval.count()));
        continue;
      }
    }

    Clock::time_point now = Clock::now();
    if (settling) {
      if (now >= quiet_at || now >= settle_end) {
        settling = false;
      } else {
        const int got =
            port_.Read(buf, sizeof buf, Until(std::min(quiet_at, settle_end), now), wake_[0]);
        if (got > 0) quiet_at = Clock::now() + root_->AnswerTimeout();
        if (got < 0) port_.Close();
        continue;
      }
    }

    // After a refused answer the unit is asked again only once its wait is over.
    if (!root_->IsProcessing() && now >= root_->RetryAt()) {
      root_->CountPoll();
      root_->RefreshStatus();
    }
    now = Clock::now();
    const bool waiting = root_->IsProcessing();
    const milliseconds wait =
        waiting ? std::min(Until(root_->AnswerDeadline(), now), options_.poll_interval)
        : now < root_->RetryAt() ? std::min(Until(root_->RetryAt(), now), options_.poll_interval)
                                 : options_.poll_interval;
    const int got = port_.Read(buf, sizeof buf, wait, wake_[0]);
    if (got > 0) {
      root_->process(buf, static_cast<unsigned>(got));
    } else if (got < 0) {
      Report("port " + options_.port + ": " + port_.Error() + "; reopening");
      told_lost = true;
      port_.Close();
      if (root_->IsProcessing()) root_->AnswerTimedOut();
      continue;
    }
    if (root_->IsProcessing() && Clock::now() >= root_->AnswerDeadline()) {
      root_->AnswerTimedOut();
      settling = true;
      quiet_at = Clock::now() + root_->AnswerTimeout();
      settle_end = Clock::now() + 3 * root_->AnswerTimeout();
    }
  }
}

}  // namespace korv
