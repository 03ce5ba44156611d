#include "tools/psma-sim/sim_server.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace psma_sim {

SimServer::SimServer(Scenario scenario, int baud, FaultPlan plan)
    : unit_(std::move(scenario)), baud_(baud), plan_(plan), random_(plan.seed) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

SimServer::~SimServer() {
  Stop();
  if (pty_slave_ >= 0) ::close(pty_slave_);
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

bool SimServer::OpenPty(std::string& path, std::string& error) {
  int master = -1;
  int slave = -1;
  termios raw{};
  ::cfmakeraw(&raw);
  // Raw from the start, so nothing the unit writes is echoed back to it
  // before the host has set the line up.
  if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  const char* name = ::ttyname(slave);
  path = name != nullptr ? name : "";
  pty_slave_ = slave;
  // The master is no terminal: only non-blocking mode is set on it.
  const int flags = ::fcntl(master, F_GETFL);
  ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
  if (!port_.Adopt(master, baud_)) {
    // tcsetattr on a pty master sets the slave's mode, which is raw anyway.
    error = port_.Error();
    return false;
  }
  return true;
}

bool SimServer::OpenDevice(const std::string& path, std::string& error) {
  if (!port_.Open(path, baud_)) {
    error = port_.Error();
    return false;
  }
  return true;
}

void SimServer::Start() {
  if (thread_.joinable()) return;
  started_ = std::chrono::steady_clock::now();
  stopping_.store(false);
  thread_ = std::thread([this] { Run(); });
}

void SimServer::Stop() {
  stopping_.store(true);
  if (wake_[1] >= 0) {
    const char c = 1;
    [[maybe_unused]] const ssize_t put = ::write(wake_[1], &c, 1);
  }
  if (thread_.joinable()) thread_.join();
}

void SimServer::Inject(FaultKind kind, int delay_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.emplace_back(kind, delay_ms);
}

bool SimServer::Set(const std::string& pointer, const Json::Value& value, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return unit_.scenario().Set(pointer, value, error);
}

int SimServer::Round() {
  std::lock_guard<std::mutex> lock(mutex_);
  return unit_.Round();
}

bool SimServer::Pause(std::chrono::milliseconds ms) {
  pollfd pfd{wake_[0], POLLIN, 0};
  ::poll(&pfd, 1, static_cast<int>(ms.count()));
  return !stopping_.load();
}

bool SimServer::WriteOut(const std::vector<std::uint8_t>& bytes) {
  if (!plan_.pace) return port_.Write(bytes.data(), static_cast<unsigned>(bytes.size()));
  // At the line's rate: 10 bits a character, in chunks of 8 characters.
  const auto chunk_time = std::chrono::microseconds(80'000'000LL / baud_);
  for (std::size_t at = 0; at < bytes.size(); at += 8) {
    const std::size_t n = std::min<std::size_t>(8, bytes.size() - at);
    if (!port_.Write(bytes.data() + at, static_cast<unsigned>(n))) return false;
    std::this_thread::sleep_for(chunk_time);
    if (stopping_.load()) return false;
  }
  return true;
}

void SimServer::Serve(const std::vector<std::uint8_t>& answer) {
  ++answer_count_;
  bool drop = false, corrupt = false, garbage = false;
  int delay = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty()) {
      const auto f = pending_.front();
      pending_.pop_front();
      drop = f.first == FaultKind::kDrop;
      corrupt = f.first == FaultKind::kCorrupt;
      garbage = f.first == FaultKind::kGarbage;
      if (f.first == FaultKind::kDelay) delay = f.second;
    }
  }
  const auto every = [&](int n) { return n > 0 && answer_count_ % n == 0; };
  drop = drop || every(plan_.drop_every) || silent_.load();
  corrupt = corrupt || every(plan_.corrupt_every);
  garbage = garbage || every(plan_.garbage_every);
  if (every(plan_.delay_every)) delay = plan_.delay_ms;
  if (plan_.rate > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(random_) < plan_.rate) {
    switch (std::uniform_int_distribution<int>(0, 3)(random_)) {
      case 0:
        drop = true;
        break;
      case 1:
        corrupt = true;
        break;
      case 2:
        garbage = true;
        break;
      default:
        delay = plan_.delay_ms;
        break;
    }
  }

  if (drop) {
    ++stats_.dropped;
    if (trace_) trace_("answer dropped");
    return;
  }
  std::vector<std::uint8_t> out;
  if (garbage) {
    // Line noise, then the start of a frame that breaks off: the host must
    // find the answer's own SOI behind them.
    std::uniform_int_distribution<int> len(1, 24), byte(0, 255);
    const int n = len(random_);
    for (int k = 0; k < n; ++k) {
      std::uint8_t b = static_cast<std::uint8_t>(byte(random_));
      out.push_back(b == yd1363::kSoi ? 0x7F : b);
    }
    const char broken[] = "~2001400";
    out.insert(out.end(), broken, broken + sizeof broken - 1);
    ++stats_.garbled;
  }
  const std::size_t start = out.size();
  out.insert(out.end(), answer.begin(), answer.end());
  if (corrupt && answer.size() >= 6) {
    // The checksum's last digit, changed to another hex digit.
    std::uint8_t& digit = out[start + answer.size() - 2];
    digit = digit == '0' ? '1' : '0';
    ++stats_.corrupted;
  }
  if (delay > 0) {
    ++stats_.delayed;
    if (trace_) trace_(fmt::format("answer delayed by {} ms", delay));
    if (!Pause(std::chrono::milliseconds(delay))) return;
  }
  if (trace_) {
    trace_(fmt::format("answer {}{}{}", std::string(answer.begin(), answer.end() - 1),
                       corrupt ? " (checksum corrupted)" : "", garbage ? " (after garbage)" : ""));
  }
  if (WriteOut(out)) ++stats_.answers;
}

void SimServer::Run() {
  yd1363::Decoder decoder;
  std::uint8_t buf[256];
  while (!stopping_.load()) {
    const int got = port_.Read(buf, sizeof buf, std::chrono::milliseconds(500), wake_[0]);
    if (got < 0) {
      // A pty master reads EIO while no host holds the line open: wait.
      if (!Pause(std::chrono::milliseconds(50))) return;
      continue;
    }
    for (int k = 0; k < got; ++k) {
      const auto event = decoder.Push(buf[k]);
      if (event == yd1363::Decoder::Event::kNone) continue;
      ++stats_.requests;
      std::optional<std::vector<std::uint8_t>> answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (event == yd1363::Decoder::Event::kFrame) {
          const double t =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
          answer = unit_.Answer(decoder.frame(), t);
        } else {
          answer = unit_.AnswerBroken(decoder.fault());
        }
      }
      if (trace_) {
        if (event == yd1363::Decoder::Event::kFrame) {
          const auto& f = decoder.frame();
          trace_(fmt::format("request {:02X}/{:02X} to address {}", f.cid1, f.cid2, f.adr));
        } else {
          trace_(fmt::format("broken request: {}: {}", yd1363::FaultText(decoder.fault()),
                             decoder.detail()));
        }
      }
      if (answer) Serve(*answer);
      if (stopping_.load()) return;
    }
  }
}

}  // namespace psma_sim
