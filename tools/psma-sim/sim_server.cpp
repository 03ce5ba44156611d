#include "tools/psma-sim/sim_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace psma_sim {
namespace {

using namespace std::chrono_literals;

// More answers than this waiting for a line that takes nothing: the host is
// gone in all but name, and what waits is dropped.
constexpr std::size_t kMaxQueued = 4096;

int HexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

SimServer::SimServer(Scenario scenario, int baud, FaultPlan plan, SimLoop* loop)
    : baud_(baud), plan_(plan), random_(plan.seed) {
  units_.push_back(std::make_unique<Served>(std::move(scenario)));
  if (loop == nullptr) {
    own_loop_ = std::make_unique<SimLoop>();
    loop = own_loop_.get();
  }
  loop_ = loop;
}

SimServer::~SimServer() {
  Stop();
  if (pty_slave_ >= 0) ::close(pty_slave_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool SimServer::AddUnit(Scenario scenario) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Find(scenario.unit().address) != nullptr) return false;
  units_.push_back(std::make_unique<Served>(std::move(scenario)));
  return true;
}

SimServer::Served* SimServer::Find(int address) {
  for (auto& u : units_) {
    if (u->sim.scenario().unit().address == address) return u.get();
  }
  return nullptr;
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

bool SimServer::Listen(const std::string& host, int port, std::string& error) {
  tcp_host_ = host == "localhost" ? "127.0.0.1" : host;
  tcp_port_ = port;
  return BindTcp(error);
}

bool SimServer::BindTcp(std::string& error) {
  sockaddr_storage at{};
  socklen_t size = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&at);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&at);
  const bool in_range = tcp_port_ >= 0 && tcp_port_ <= 65535;
  const auto port = htons(static_cast<std::uint16_t>(in_range ? tcp_port_ : 0));
  if (in_range && ::inet_pton(AF_INET, tcp_host_.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = port;
    size = sizeof *v4;
  } else if (in_range && ::inet_pton(AF_INET6, tcp_host_.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = port;
    size = sizeof *v6;
  } else {
    error = fmt::format("{}:{}: not an IP address and port", tcp_host_, tcp_port_);
    return false;
  }
  const int fd = ::socket(at.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  // The same port again after Stop(), while the old connection lingers.
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&at), size) != 0 || ::listen(fd, 4) != 0) {
    error = fmt::format("{}:{}: {}", tcp_host_, tcp_port_, std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
  tcp_port_ = ntohs(at.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  listen_fd_ = fd;
  return true;
}

bool SimServer::Start(std::string* error) {
  if (own_loop_) own_loop_->Start();
  bool ok = true;
  std::string why;
  loop_->Run([&] {
    if (armed_) return;
    started_ = SimLoop::Clock::now();
    if (tcp_port_ >= 0) {
      if (listen_fd_ < 0 && !BindTcp(why)) {
        ok = false;
        return;
      }
      listen_watch_ = loop_->Watch(listen_fd_, [this] { OnAccept(); });
    } else if (port_.IsOpen()) {
      line_watch_ = loop_->Watch(port_.Fd(), [this] { OnLine(); });
    }
    armed_ = true;
  });
  if (!ok && error != nullptr) *error = why;
  return ok;
}

void SimServer::Stop() {
  loop_->Run([this] {
    if (!armed_) return;
    armed_ = false;
    DropClient();
    loop_->Unwatch(line_watch_);
    loop_->Unwatch(listen_watch_);
    loop_->Cancel(flush_timer_);
    loop_->Cancel(retry_timer_);
    line_watch_ = listen_watch_ = flush_timer_ = retry_timer_ = 0;
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    out_.clear();
  });
  if (own_loop_) own_loop_->Stop();
}

void SimServer::Inject(FaultKind kind, int delay_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  units_.front()->pending.emplace_back(kind, delay_ms);
}

bool SimServer::Inject(int address, FaultKind kind, int delay_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  Served* u = Find(address);
  if (u != nullptr) u->pending.emplace_back(kind, delay_ms);
  return u != nullptr;
}

void SimServer::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  units_.front()->silent = silent;
}

bool SimServer::SetSilent(int address, bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  Served* u = Find(address);
  if (u != nullptr) u->silent = silent;
  return u != nullptr;
}

bool SimServer::SetHabit(int address, Habit habit, int value) {
  std::lock_guard<std::mutex> lock(mutex_);
  Served* u = address >= 0 ? Find(address) : units_.front().get();
  if (u == nullptr) return false;
  switch (habit) {
    case Habit::kReturnCode:
      u->return_code = static_cast<std::uint8_t>(value);
      break;
    case Habit::kBadLength:
      u->bad_length = value != 0;
      break;
    case Habit::kMaster:
      u->master = value != 0;
      break;
  }
  return true;
}

bool SimServer::Set(const std::string& pointer, const Json::Value& value, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int before = units_.front()->sim.scenario().unit().address;
  if (!units_.front()->sim.scenario().Set(pointer, value, error)) return false;
  const int after = units_.front()->sim.scenario().unit().address;
  if (after != before && units_.size() > 1) {
    // Two units at one address would answer over each other.
    std::string ignored;
    units_.front()->sim.scenario().Set("/address", before, ignored);
    error = fmt::format("/address: another unit of the line has address {}", after);
    return false;
  }
  return true;
}

bool SimServer::Set(int address, const std::string& pointer, const Json::Value& value,
                    std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  Served* u = Find(address);
  if (u == nullptr) {
    error = fmt::format("no unit at address {}", address);
    return false;
  }
  if (!u->sim.scenario().Set(pointer, value, error)) return false;
  const int after = u->sim.scenario().unit().address;
  for (const auto& other : units_) {
    if (other.get() != u && other->sim.scenario().unit().address == after) {
      std::string ignored;
      u->sim.scenario().Set("/address", address, ignored);
      error = fmt::format("/address: another unit of the line has address {}", after);
      return false;
    }
  }
  return true;
}

int SimServer::Round() {
  std::lock_guard<std::mutex> lock(mutex_);
  return units_.front()->sim.Round();
}

int SimServer::Round(int address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Served* u = Find(address);
  return u != nullptr ? u->sim.Round() : -1;
}

void SimServer::OnAccept() {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // As a serial device server does: the newest client has the line.
    DropClient();
    if (close_on_accept_.load()) {
      ::close(fd);
      if (trace_) trace_("client closed at once");
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    client_fd_ = fd;
    line_watch_ = loop_->Watch(fd, [this] { OnLine(); });
    if (trace_) trace_("client connected");
  }
}

void SimServer::DropClient() {
  if (client_fd_ < 0) return;
  loop_->Unwatch(line_watch_);
  loop_->Cancel(flush_timer_);
  line_watch_ = flush_timer_ = 0;
  ::close(client_fd_);
  client_fd_ = -1;
  out_.clear();
  decoder_.Reset();
  head_len_ = 0;
  if (trace_) trace_("client gone");
}

void SimServer::OnLine() {
  const bool tcp = tcp_port_ >= 0;
  const int fd = tcp ? client_fd_ : port_.Fd();
  std::uint8_t buf[512];
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got > 0) {
      Take(buf, static_cast<std::size_t>(got));
      if (tcp && client_fd_ != fd) return;  // dropped meanwhile
      if (static_cast<std::size_t>(got) < sizeof buf) return;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return;
    if (tcp) {
      DropClient();
      return;
    }
    // A pty master reads EIO while no host holds the line open: look again
    // a little later instead of spinning on it.
    loop_->Unwatch(line_watch_);
    line_watch_ = 0;
    retry_timer_ = loop_->At(SimLoop::Clock::now() + 50ms, [this] {
      retry_timer_ = 0;
      line_watch_ = loop_->Watch(port_.Fd(), [this] { OnLine(); });
    });
    return;
  }
}

void SimServer::Take(const std::uint8_t* data, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t c = data[k];
    if (c == yd1363::kSoi) {
      head_len_ = 0;
    } else if (head_len_ < sizeof head_) {
      head_[head_len_++] = c;
    }
    const auto event = decoder_.Push(c);
    if (event == yd1363::Decoder::Event::kNone) continue;
    ++stats_.requests;
    const bool whole = event == yd1363::Decoder::Event::kFrame;
    int address = -1;
    if (whole) {
      address = decoder_.frame().adr;
    } else if (head_len_ == sizeof head_ && HexDigit(head_[2]) >= 0 && HexDigit(head_[3]) >= 0) {
      // VER ADR: a broken request is answered by the unit it names.
      address = HexDigit(head_[2]) * 16 + HexDigit(head_[3]);
    }
    if (trace_) {
      if (whole) {
        const auto& f = decoder_.frame();
        trace_(fmt::format("request {:02X}/{:02X} to address {}", f.cid1, f.cid2, f.adr));
      } else {
        trace_(fmt::format("broken request: {}: {}", yd1363::FaultText(decoder_.fault()),
                           decoder_.detail()));
      }
    }
    std::optional<std::vector<std::uint8_t>> answer;
    std::optional<std::pair<FaultKind, int>> injected;
    bool silent = false, bad_length = false, master = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Served* u = Find(address);
      if (u == nullptr) continue;  // nobody on the bus has that address
      if (whole) {
        const double t = std::chrono::duration<double>(SimLoop::Clock::now() - started_).count();
        answer = u->sim.Answer(decoder_.frame(), t);
      } else {
        answer = u->sim.AnswerBroken(decoder_.fault());
      }
      if (answer && !u->pending.empty()) {
        injected = u->pending.front();
        u->pending.pop_front();
      }
      silent = u->silent;
      bad_length = u->bad_length;
      master = u->master;
      if (answer && u->return_code != 0 && whole) {
        const auto& f = decoder_.frame();
        yd1363::EncodeRequest(f.ver, f.adr, f.cid1, u->return_code, nullptr, 0, *answer);
      }
    }
    if (!answer) continue;
    ++answer_count_;
    bool drop = silent, corrupt = false, garbage = false;
    int delay = 0;
    bool echo = false, stray = false, late = false;
    if (injected) {
      drop = drop || injected->first == FaultKind::kDrop;
      corrupt = injected->first == FaultKind::kCorrupt;
      garbage = injected->first == FaultKind::kGarbage;
      echo = injected->first == FaultKind::kEcho;
      stray = injected->first == FaultKind::kStray;
      late = injected->first == FaultKind::kLate;
      if (injected->first == FaultKind::kDelay || late) delay = injected->second;
    }
    const auto every = [&](int m) { return m > 0 && answer_count_ % m == 0; };
    drop = drop || every(plan_.drop_every);
    corrupt = corrupt || every(plan_.corrupt_every);
    garbage = garbage || every(plan_.garbage_every);
    if (every(plan_.delay_every)) delay = plan_.delay_ms;
    if (plan_.rate > 0.0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(random_) < plan_.rate) {
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
      continue;
    }
    std::vector<std::uint8_t> out;
    if (echo && whole) {
      const auto& f = decoder_.frame();
      std::vector<std::uint8_t> again;
      yd1363::EncodeRequest(f.ver, f.adr, f.cid1, f.cid2, f.info.data(),
                            static_cast<unsigned>(f.info.size()), again);
      out.insert(out.end(), again.begin(), again.end());
    }
    if (master && whole) {
      // Another master on the bus asks the unit for its DC alarm states.
      std::vector<std::uint8_t> other;
      yd1363::EncodeRequest(0x20, static_cast<std::uint8_t>(address), 0x42, 0x44, nullptr, 0,
                            other);
      out.insert(out.end(), other.begin(), other.end());
    }
    if (stray) {
      // A neighbour's answer: valid, empty, from the next address.
      std::vector<std::uint8_t> other;
      yd1363::EncodeRequest(0x20, static_cast<std::uint8_t>(address + 1), 0x40, 0x00, nullptr, 0,
                            other);
      out.insert(out.end(), other.begin(), other.end());
    }
    if (garbage) {
      // Line noise, then the start of a frame that breaks off: the host must
      // find the answer's own SOI behind them.
      std::uniform_int_distribution<int> len(1, 24), byte(0, 255);
      const int count = len(random_);
      for (int j = 0; j < count; ++j) {
        const auto b = static_cast<std::uint8_t>(byte(random_));
        out.push_back(b == yd1363::kSoi ? 0x7F : b);
      }
      const char broken[] = "~2001400";
      out.insert(out.end(), broken, broken + sizeof broken - 1);
      ++stats_.garbled;
    }
    const std::size_t start = out.size();
    out.insert(out.end(), answer->begin(), answer->end());
    if (bad_length && answer->size() >= 18) {
      // LENID two characters more, with its own checksum nibble, and the
      // frame checksum made again: only the count of characters betrays it.
      const auto hex = [](unsigned v) { return static_cast<std::uint8_t>("0123456789ABCDEF"[v]); };
      const unsigned lenid = (HexDigit(out[start + 10]) << 8 | HexDigit(out[start + 11]) << 4 |
                              HexDigit(out[start + 12])) +
                             2;
      const std::uint16_t word = yd1363::LengthWord(static_cast<std::uint16_t>(lenid));
      for (int d = 0; d < 4; ++d) out[start + 9 + d] = hex((word >> (12 - 4 * d)) & 0xF);
      const std::size_t end = start + answer->size();
      const std::uint16_t chk = yd1363::FrameChecksum(&out[start + 1], answer->size() - 6);
      for (int d = 0; d < 4; ++d) out[end - 5 + d] = hex((chk >> (12 - 4 * d)) & 0xF);
    }
    if (corrupt && answer->size() >= 6) {
      // The checksum's last digit, changed to another hex digit.
      std::uint8_t& digit = out[start + answer->size() - 2];
      digit = digit == '0' ? '1' : '0';
      ++stats_.corrupted;
    }
    if (delay > 0) {
      ++stats_.delayed;
      if (trace_) trace_(fmt::format("answer delayed by {} ms", delay));
    }
    if (trace_) {
      trace_(fmt::format("answer {}{}{}", std::string(answer->begin(), answer->end() - 1),
                         corrupt ? " (checksum corrupted)" : "",
                         garbage ? " (after garbage)" : ""));
    }
    Queue(std::move(out), std::chrono::milliseconds(delay), late);
  }
}

void SimServer::Queue(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay,
                      bool out_of_order) {
  if (out_.size() > kMaxQueued) out_.clear();
  auto due = SimLoop::Clock::now() + delay;
  // Chunks go in by their time; a late answer, whole at its own time, lets
  // the answers queued after it go first.
  const auto put = [this](Chunk chunk) {
    auto at = out_.end();
    while (at != out_.begin() && std::prev(at)->due > chunk.due) --at;
    out_.insert(at, std::move(chunk));
  };
  if (out_of_order) {
    put({due, std::move(bytes), true, true});
    Flush();
    return;
  }
  // In order behind what still waits (but a late answer): a delayed answer
  // holds back the next.
  for (auto it = out_.rbegin(); it != out_.rend(); ++it) {
    if (it->late) continue;
    due = std::max(due, it->due);
    break;
  }
  if (!plan_.pace) {
    put({due, std::move(bytes), true, false});
  } else {
    // At the line's rate: 10 bits a character, in chunks of 8 characters.
    const auto chunk_time = std::chrono::microseconds(80'000'000LL / baud_);
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
      const std::size_t n = std::min<std::size_t>(8, bytes.size() - at);
      const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(at);
      put({due, std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(n)),
           at + n == bytes.size(), false});
      due += chunk_time;
    }
  }
  Flush();
}

void SimServer::Flush() {
  loop_->Cancel(flush_timer_);
  flush_timer_ = 0;
  const bool tcp = tcp_port_ >= 0;
  const int fd = tcp ? client_fd_ : port_.Fd();
  if (fd < 0) {
    out_.clear();
    return;
  }
  const auto now = SimLoop::Clock::now();
  while (!out_.empty() && out_.front().due <= now) {
    Chunk& c = out_.front();
    // MSG_NOSIGNAL: a client that went away must not end the simulator.
    const ssize_t put = tcp ? ::send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL)
                            : ::write(fd, c.bytes.data(), c.bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN) {
      if (tcp) {
        DropClient();
      } else {
        out_.clear();
      }
      return;
    }
    if (put < static_cast<ssize_t>(c.bytes.size())) {
      // The line took part of it: the rest a little later.
      if (put > 0) c.bytes.erase(c.bytes.begin(), c.bytes.begin() + put);
      flush_timer_ = loop_->At(now + 5ms, [this] {
        flush_timer_ = 0;
        Flush();
      });
      return;
    }
    if (c.ends_answer) ++stats_.answers;
    out_.pop_front();
  }
  if (!out_.empty()) {
    flush_timer_ = loop_->At(out_.front().due, [this] {
      flush_timer_ = 0;
      Flush();
    });
  }
}

}  // namespace psma_sim
