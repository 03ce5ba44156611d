#include "gateway/outputs/modbus/modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace korv_host::modbus {
namespace {

using Clock = std::chrono::steady_clock;

// The MBAP header before each PDU:
//   | transaction (2) | protocol 0 (2) | length (2) | unit id (1) | PDU ... |
// `length` counts the unit id and the PDU, which holds at most 253 bytes: an
// ADU is at most 260.
constexpr std::size_t kHeader = 7;
constexpr std::size_t kMaxAdu = 260;
constexpr std::size_t kMaxPdu = kMaxAdu - kHeader;

struct Connection {
  int fd = -1;
  std::vector<std::uint8_t> bytes;  // a request as far as it came
  Clock::time_point last;           // its last byte
};

void NonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// What was told of a connection's bytes.
enum class Framing { kMore, kRequest, kGarbage };

Framing Frame(const std::vector<std::uint8_t>& bytes, std::size_t& length) {
  if (bytes.size() < kHeader) return Framing::kMore;
  const std::size_t protocol = (std::size_t{bytes[2]} << 8) | bytes[3];
  const std::size_t rest = (std::size_t{bytes[4]} << 8) | bytes[5];
  // A unit id and a function code at least; no other protocol.
  if (protocol != 0 || rest < 2 || rest - 1 > kMaxPdu) return Framing::kGarbage;
  length = 6 + rest;
  return bytes.size() >= length ? Framing::kRequest : Framing::kMore;
}

}  // namespace

Server::Server(std::shared_ptr<SiteState> state, Map map, ServerSettings settings)
    : state_(std::move(state)), map_(std::move(map)), settings_(std::move(settings)) {}

Server::~Server() { Stop(); }

bool Server::Start(std::string& error) {
  modbus_t* ctx = modbus_new_tcp_pi(settings_.address.c_str(), settings_.port.c_str());
  if (ctx == nullptr) {
    error = std::string("cannot make a server: ") + modbus_strerror(errno);
    return false;
  }
  listen_fd_ = modbus_tcp_pi_listen(ctx, 16);
  const int listen_errno = errno;
  modbus_free(ctx);
  if (listen_fd_ < 0) {
    error = std::string("cannot listen there: ") + modbus_strerror(listen_errno);
    return false;
  }
  ::fcntl(listen_fd_, F_SETFD, FD_CLOEXEC);
  NonBlocking(listen_fd_);
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &size) == 0) {
    port_ = bound.ss_family == AF_INET6
                ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  }
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void Server::Stop() {
  if (thread_.joinable()) {
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
  }
  for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

std::vector<HealthNumber> Server::Metrics() const {
  return {
      {"korv_modbus_connections", "gauge", "Modbus TCP connections open",
       static_cast<double>(open_.load())},
      {"korv_modbus_connections_refused_total", "counter",
       "Modbus TCP connections closed at accept: the limit was reached",
       static_cast<double>(refused_.load())},
      {"korv_modbus_connections_closed_total", "counter",
       "Modbus TCP connections closed by korv-host: idle, or a frame that is no Modbus",
       static_cast<double>(closed_.load())},
      {"korv_modbus_requests_total", "counter", "Modbus requests answered",
       static_cast<double>(requests_.load())},
      {"korv_modbus_exceptions_total", "counter", "Modbus requests answered with an exception",
       static_cast<double>(exceptions_.load())},
  };
}

void Server::Serve() {
  // libmodbus answers the exceptions (its reply echoes the request's
  // header); it is handed each connection's socket in turn.
  modbus_t* ctx = modbus_new_tcp_pi(settings_.address.c_str(), settings_.port.c_str());
  std::vector<Connection> connections;
  Image image;
  std::optional<Clock::time_point> image_at;
  const auto close_connection = [&](std::size_t k, bool ours) {
    ::close(connections[k].fd);
    connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(k));
    open_ = connections.size();
    if (ours) ++closed_;
  };
  // Answers every whole request of connection k; false when it must close.
  const auto answer = [&](Connection& c) {
    std::size_t length = 0;
    for (;;) {
      const Framing framing = Frame(c.bytes, length);
      if (framing == Framing::kMore) return true;
      if (framing == Framing::kGarbage) return false;
      const Clock::time_point now = Clock::now();
      if (!image_at || now - *image_at >= settings_.snapshot_age) {
        image = BuildImage(map_, state_->Take(), settings_.order);
        image_at = now;
      }
      const std::uint8_t* pdu = c.bytes.data() + kHeader;
      const std::size_t pdu_len = length - kHeader;
      // An exception's function code has its high bit set: a request with
      // one is no Modbus.
      if ((pdu[0] & 0x80) != 0) return false;
      Exception exception = kIllegalFunction;
      const std::vector<std::uint8_t> reply = Answer(image, pdu, pdu_len, exception);
      ++requests_;
      bool sent = false;
      if (reply.empty()) {
        ++exceptions_;
        modbus_set_socket(ctx, c.fd);
        sent = ctx != nullptr && modbus_reply_exception(ctx, c.bytes.data(), exception) > 0;
        modbus_set_socket(ctx, -1);
      } else {
        std::vector<std::uint8_t> adu(c.bytes.begin(), c.bytes.begin() + kHeader);
        const std::size_t rest = 1 + reply.size();
        adu[4] = static_cast<std::uint8_t>(rest >> 8);
        adu[5] = static_cast<std::uint8_t>(rest & 0xFF);
        adu.insert(adu.end(), reply.begin(), reply.end());
        // A client that does not read its answers is not waited for.
        sent = ::send(c.fd, adu.data(), adu.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(adu.size());
      }
      if (!sent) return false;
      c.bytes.erase(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(length));
    }
  };

  std::vector<pollfd> fds;
  for (;;) {
    const Clock::time_point now = Clock::now();
    int timeout = -1;
    for (const auto& c : connections) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(c.last + settings_.idle - now);
      const int ms = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    fds.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
    for (const auto& c : connections) fds.push_back({c.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if ((fds[0].revents & POLLIN) != 0) break;
    // Past what poll saw, by position; the closed leave from the back.
    for (std::size_t k = connections.size(); k-- > 0;) {
      Connection& c = connections[k];
      const short revents = fds[2 + k].revents;
      if (revents != 0) {
        std::uint8_t buffer[kMaxAdu];
        const ssize_t got = ::recv(c.fd, buffer, kMaxAdu - c.bytes.size(), 0);
        if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR))) {
          close_connection(k, false);  // the client closed, or its line broke
          continue;
        }
        if (got > 0) {
          c.bytes.insert(c.bytes.end(), buffer, buffer + got);
          c.last = Clock::now();
          if (!answer(c)) {
            close_connection(k, true);
            continue;
          }
        }
      }
      if (Clock::now() - c.last >= settings_.idle) close_connection(k, true);
    }
    if ((fds[1].revents & POLLIN) != 0) {
      for (;;) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        if (connections.size() >= settings_.max_connections) {
          ::close(fd);
          ++refused_;
          continue;
        }
        connections.push_back({fd, {}, Clock::now()});
        open_ = connections.size();
      }
    }
  }
  for (const auto& c : connections) ::close(c.fd);
  open_ = 0;
  if (ctx != nullptr) modbus_free(ctx);
}

}  // namespace korv_host::modbus
