#include "host/polling_engine.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "host/serial_port.h"
#include "host/tcp_port.h"

namespace korv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds Until(Clock::time_point t, Clock::time_point now) {
  if (t <= now) return milliseconds(0);
  // Round up: waking a little late is fine, waking early only loops.
  return std::chrono::duration_cast<milliseconds>(t - now) + milliseconds(1);
}

// Until `phase` into a second of the wall clock (a root that paces its
// rounds in whole seconds of the local time may become due as the second
// turns; each line looks a little later than the turn, at its own phase, so
// that the lines of a site do not all poll, parse and store at once): the
// second `ahead` seconds after the one `since` lies in, or, for 0, the next
// phase to come.
milliseconds UntilPhase(milliseconds since, milliseconds phase, std::int64_t ahead) {
  const milliseconds into = since % 1000;
  milliseconds wait = (phase % 1000 - into + milliseconds(1000)) % 1000;
  if (wait.count() == 0) wait = milliseconds(1000);
  if (ahead > 0) wait = milliseconds(1000 * ahead) + phase % 1000 - into;
  return wait + milliseconds(2);
}

milliseconds WallNow() {
  return std::chrono::duration_cast<milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
}

}  // namespace

PollingEngine::PollingEngine(std::vector<std::shared_ptr<PMBusProtocol>> units, Options options)
    : units_(std::move(units)), options_(std::move(options)) {
  units_.erase(std::remove(units_.begin(), units_.end(), nullptr), units_.end());
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

PollingEngine::PollingEngine(std::shared_ptr<PMBusProtocol> unit, Options options)
    : PollingEngine(std::vector<std::shared_ptr<PMBusProtocol>>{std::move(unit)},
                    std::move(options)) {}

PollingEngine::~PollingEngine() {
  Stop();
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

int PollingEngine::Baud() const {
  if (options_.baud > 0) return options_.baud;
  return units_.empty() ? 9600 : units_.front()->BaudRate();
}

bool PollingEngine::Open(std::string& error) {
  if (line_ && line_->IsOpen()) return true;
  line_.reset();
  if (IsTcpPort(options_.port)) {
    auto tcp = std::make_unique<TcpPort>();
    if (!tcp->Connect(options_.port, options_.connect_timeout, wake_[0])) {
      error = tcp->Error();
      return false;
    }
    line_ = std::move(tcp);
  } else {
    auto serial = std::make_unique<SerialPort>();
    if (!serial->Open(options_.port, Baud())) {
      error = serial->Error();
      return false;
    }
    line_ = std::move(serial);
  }
  return true;
}

Clock::time_point PollingEngine::BackBy() const {
  return Clock::time_point(Clock::duration(back_by_.load(std::memory_order_relaxed)));
}

void PollingEngine::WaitsFor(milliseconds wait) {
  back_by_.store((Clock::now() + wait).time_since_epoch().count(), std::memory_order_relaxed);
}

void PollingEngine::Start() {
  WaitsFor(options_.poll_interval);
  if (thread_.joinable()) return;
  stopping_.store(false);
  for (const auto& unit : units_) {
    if (options_.log_repeat_window_s > 0) {
      if (auto controller = unit->Controller()) {
        controller->SetRepeatWindow(options_.log_repeat_window_s);
      }
    }
    // A unit writes its requests through the engine's line, on the engine's
    // thread: stale input goes first, so nothing older is read as the answer.
    unit->AttachLine([this](const std::uint8_t* data, unsigned n) {
      if (!line_) return false;
      line_->FlushInput();
      return line_->Write(data, n);
    });
  }
  thread_ = std::thread([this] {
    ::pthread_setname_np(::pthread_self(), "korv-line");  // as top -H and gdb show it
    Run();
  });
}

void PollingEngine::Stop() {
  stopping_.store(true);
  if (wake_[1] >= 0) {
    const char c = 1;
    [[maybe_unused]] const ssize_t put = ::write(wake_[1], &c, 1);
  }
  if (thread_.joinable()) thread_.join();
  for (const auto& unit : units_) unit->AttachLine(nullptr);
  line_.reset();
}

void PollingEngine::Report(const std::string& text) const {
  for (const auto& unit : units_) {
    if (auto controller = unit->Controller()) {
      if (auto obs = controller->Observer())
        obs->OnLinkError(unit->DataId(), yd1363::Fault::kPort, text);
    }
  }
}

unsigned PollingEngine::SilentLine() const {
  // Each unit asked twice, and one timeout more than a unit takes before it
  // is told not answering: a line with one unit is told lost after the unit.
  return std::max<unsigned>(kSilentTimeouts, 2 * static_cast<unsigned>(units_.size()));
}

bool PollingEngine::Sleep(milliseconds wait) const {
  pollfd pfd{wake_[0], POLLIN, 0};
  ::poll(&pfd, 1, static_cast<int>(wait.count()));
  return !stopping_.load();
}

bool PollingEngine::Healthy(const PMBusProtocol& unit) {
  // A unit not heard yet counts as answering until its first timeout: on a
  // new line every unit gets its first turn in the rotation.
  return unit.Answering() && unit.TimeoutsInARow() == 0;
}

PMBusProtocol* PollingEngine::PollNext(Clock::time_point now, const PMBusProtocol* skip) {
  const std::size_t n = units_.size();
  // A failing unit goes first only once every answering unit has had a turn
  // since the last failing one; else the answering units go first.
  turned_.resize(n, false);
  bool suspects_first = true;
  for (std::size_t k = 0; k < n; ++k) {
    if (Healthy(*units_[k]) && !turned_[k]) suspects_first = false;
  }
  for (const bool healthy_pass : {!suspects_first, suspects_first}) {
    // Each kind keeps its own rotation, so the failing units take turns too.
    std::size_t& next = healthy_pass ? next_ : next_failing_;
    for (std::size_t k = 0; k < n; ++k) {
      PMBusProtocol& unit = *units_[(next + k) % n];
      if (&unit == skip || Healthy(unit) != healthy_pass) continue;
      if (unit.IsProcessing() || now < unit.RetryAt()) continue;
      // Lost units share one probe per kLostRetry on the line, so that however
      // many fall silent they take at most one timeout of it in that time.
      const bool lost = !unit.Answering();
      if (lost && now < probe_at_) continue;
      unit.CountPoll();
      unit.RefreshStatus();
      if (unit.IsProcessing()) {
        if (lost) probe_at_ = now + PMBusProtocol::kLostRetry;
        if (!healthy_pass) turned_.assign(n, false);
        turned_[(next + k) % n] = healthy_pass;
        next = (next + k + 1) % n;
        return &unit;
      }
    }
  }
  return nullptr;
}

milliseconds PollingEngine::IdleWait(Clock::time_point now) const {
  // The wall clock first: a second that turns before a unit reads its own
  // makes the wait end a second early (one idle look), never late.
  const milliseconds wall = WallNow();
  milliseconds wait = options_.poll_interval;
  for (const auto& unit : units_) {
    // No round can become due before the second its pacing names.
    wait = std::min(wait, UntilPhase(wall, options_.phase, unit->SecondsToRound()));
    const auto at = unit->Answering() ? unit->RetryAt() : std::max(unit->RetryAt(), probe_at_);
    if (now < at) wait = std::min(wait, Until(at, now));
  }
  return wait;
}

void PollingEngine::Run() {
  std::uint8_t buf[512];
  PMBusProtocol* asked = nullptr;  // the unit whose exchange is in flight
  // Settling after a fault: discard input until the line has been quiet
  // for one answer timeout, or at most three.
  bool settling = false;
  // A timeout that heard nothing: another unit may be asked while it settles.
  const PMBusProtocol* settle_unit = nullptr;
  bool heard = false;  // bytes came during the exchange in flight
  milliseconds settle_quiet{0};
  Clock::time_point quiet_at{}, settle_end{};
  // The line's loss, told once: connections refused or ended since, and the
  // wait before the next one, which only a valid frame brings back to the
  // reopen interval (a server that accepts and closes at once is no better
  // than one that refuses).
  bool told_lost = false;
  unsigned failed = 0;
  // Timeouts in a row on the line, whoever was asked; a valid frame from
  // any unit ends the run. When it reaches SilentLine() the line itself is
  // taken for lost (a server that hangs, a bus cut off).
  unsigned silent = 0;
  milliseconds reopen_wait = options_.reopen_interval;

  // Closes the line and waits before it is opened again; false when stopped.
  const auto lost = [&](const std::string& error) {
    asked = nullptr;
    settling = false;
    if (line_) line_->Close();
    // Every unit's exchange ends; each is told once, as the line is.
    if (!told_lost) Report("port " + options_.port + ": " + error + "; retrying");
    for (const auto& unit : units_) unit->LineDown("line lost: " + error);
    told_lost = true;
    ++failed;
    WaitsFor(reopen_wait);
    if (!Sleep(reopen_wait)) return false;
    reopen_wait = std::min(2 * reopen_wait, options_.max_reopen_interval);
    return true;
  };

  while (!stopping_.load()) {
    if (!line_ || !line_->IsOpen()) {
      std::string error;
      // A connect cut short by Stop() is no fault of the line's.
      WaitsFor(options_.connect_timeout);
      if (!Open(error) && (stopping_.load() || !lost(error))) break;
      probe_at_ = {};  // a new line: its units are lost only to the old one
      continue;
    }

    Clock::time_point now = Clock::now();
    if (settling && settle_unit != nullptr) {
      asked = PollNext(now, settle_unit);
      if (asked != nullptr) settling = heard = false;
    }
    if (settling) {
      if (now >= quiet_at || now >= settle_end) {
        settling = false;
      } else {
        const milliseconds quiet = Until(std::min(quiet_at, settle_end), now);
        WaitsFor(quiet);
        const int got = line_->Read(buf, sizeof buf, quiet, wake_[0]);
        if (got > 0) quiet_at = Clock::now() + settle_quiet;
        if (got < 0 && !lost(line_->Error())) break;
        continue;
      }
    }

    if (asked == nullptr) {
      asked = PollNext(now);
      heard = false;
    }
    now = Clock::now();
    const milliseconds wait =
        asked != nullptr ? Until(asked->AnswerDeadline(), now) : IdleWait(now);
    WaitsFor(wait);
    const int got = line_->Read(buf, sizeof buf, wait, wake_[0]);
    if (got < 0) {
      if (!lost(line_->Error())) break;
      continue;
    }
    if (asked == nullptr) continue;
    if (got > 0) {
      heard = true;
      const std::uint64_t contacts = asked->Contacts();
      const bool was_lost = !asked->Answering();
      asked->process(buf, static_cast<unsigned>(got));
      if (asked->Contacts() != contacts) {
        silent = 0;
        // A lost unit back (a line come back, say): the others may be too.
        if (was_lost) probe_at_ = {};
        reopen_wait = options_.reopen_interval;
        if (told_lost) {
          Report(failed > 1 ? fmt::format("port {} open again after {} failed attempts",
                                          options_.port, failed)
                            : "port " + options_.port + " open again");
        }
        told_lost = false;
        failed = 0;
      }
    }
    if (asked->IsProcessing() && Clock::now() >= asked->AnswerDeadline()) {
      asked->AnswerTimedOut();
      if (++silent >= SilentLine()) {
        silent = 0;
        if (!lost("no unit answers")) break;
        continue;
      }
    }
    if (asked->IsProcessing()) continue;
    // After any fault the rest of an answer may still be on the line (on a
    // half-duplex bus the next request would go out over it): wait for quiet.
    if (asked->EndedByFault()) {
      settling = true;
      settle_unit = heard ? nullptr : asked;
      settle_quiet = asked->AnswerTimeout();
      quiet_at = Clock::now() + settle_quiet;
      settle_end = Clock::now() + 3 * settle_quiet;
    }
    asked = nullptr;
  }
}

}  // namespace korv
