#include "host/tcp_port.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "host/fd_io.h"
#include "host/host_port.h"

namespace korv {

bool IsTcpPort(const std::string& port) {
  // The scheme in any case, as URLs have it ("TCP://" too).
  const std::size_t n = std::strlen(kTcpScheme);
  if (port.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(port[i])) != kTcpScheme[i]) return false;
  }
  return true;
}

bool ParseTcpPort(const std::string& port, std::string& host, std::uint16_t& number,
                  std::string& error) {
  HostPort split;
  if (!IsTcpPort(port) ||
      SplitHostPort(port.substr(std::strlen(kTcpScheme)), split) != HostPortFault::kNone ||
      split.host.empty() || !split.has_port || split.port == 0) {
    error = "\"" + port + "\" is not tcp://HOST:PORT";
    return false;
  }
  host = split.host;
  number = static_cast<std::uint16_t>(split.port);
  return true;
}

namespace {

std::atomic<TcpPort::Resolver> resolver{nullptr};

// One lookup, shared by the line that waits for it and the thread that makes
// it: whichever lets go last frees the answer.
struct Lookup {
  std::mutex mutex;
  bool done = false;
  int result = EAI_AGAIN;
  addrinfo* found = nullptr;
  int ready[2] = {-1, -1};  // the thread writes a byte when done
  ~Lookup() {
    if (found != nullptr) ::freeaddrinfo(found);
    for (int fd : ready) {
      if (fd >= 0) ::close(fd);
    }
  }
};

// Looks `host` up; waits at most `timeout`, or until `wake_fd` wakes. 0 with
// the addresses in `found`, an EAI_ code, or -1 when abandoned.
int LookUp(const std::string& host, const std::string& service, std::chrono::milliseconds timeout,
           int wake_fd, addrinfo*& found, bool& stopped) {
  const TcpPort::Resolver resolve = resolver.load();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  // A numeric address needs no resolver and no thread.
  hints.ai_flags = AI_NUMERICHOST;
  if (resolve == nullptr && ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) {
    return 0;
  }
  hints.ai_flags = 0;
  auto lookup = std::make_shared<Lookup>();
  if (::pipe2(lookup->ready, O_CLOEXEC | O_NONBLOCK) != 0) return EAI_SYSTEM;
  std::thread([lookup, host, service, hints, resolve] {
    addrinfo* answer = nullptr;
    const int result = resolve != nullptr
                           ? resolve(host.c_str(), service.c_str(), &hints, &answer)
                           : ::getaddrinfo(host.c_str(), service.c_str(), &hints, &answer);
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->result = result;
    lookup->found = answer;
    lookup->done = true;
    const char c = 1;
    [[maybe_unused]] const ssize_t put = ::write(lookup->ready[1], &c, 1);
  }).detach();
  pollfd fds[2] = {{lookup->ready[0], POLLIN, 0}, {wake_fd, POLLIN, 0}};
  const int ready = ::poll(fds, wake_fd >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
  std::lock_guard<std::mutex> lock(lookup->mutex);
  if (ready <= 0 || !lookup->done) {
    stopped = ready > 0 && (fds[1].revents & POLLIN) != 0;
    return -1;  // abandoned: the thread frees what it finds
  }
  found = lookup->found;
  lookup->found = nullptr;
  return lookup->result;
}

}  // namespace

void TcpPort::SetResolver(Resolver r) { resolver.store(r); }

TcpPort::~TcpPort() { Close(); }

void TcpPort::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TcpPort::Connect(const std::string& port, std::chrono::milliseconds timeout, int wake_fd) {
  Close();
  std::string host;
  std::uint16_t number = 0;
  if (!ParseTcpPort(port, host, number, error_)) return false;
  addrinfo* found = nullptr;
  bool stopped = false;
  const int looked = LookUp(host, std::to_string(number), timeout, wake_fd, found, stopped);
  if (looked == -1) {
    error_ = stopped ? "cannot find " + host + ": stopped"
                     : "cannot find " + host + ": no answer from the resolver within " +
                           std::to_string(timeout.count()) + " ms";
    return false;
  }
  if (looked != 0) {
    error_ = "cannot find " + host + ": " + ::gai_strerror(looked);
    return false;
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  error_ = "cannot connect to " + port + ": no address";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    // Each address its own limit: one that hangs does not use up the next's.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error_ = fd_io::ErrnoText(("cannot connect to " + port + ": socket").c_str());
      continue;
    }
    int result = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
      int ready;
      do {
        ready = ::poll(fds, wake_fd >= 0 ? 2 : 1,
                       left.count() > 0 ? static_cast<int>(left.count()) : 0);
      } while (ready < 0 && errno == EINTR);
      if (ready > 0 && wake_fd >= 0 && (fds[1].revents & POLLIN) != 0) {
        error_ = "cannot connect to " + port + ": stopped";
        ::close(fd);
        return false;
      }
      int so_error = ETIMEDOUT;
      socklen_t size = sizeof so_error;
      if (ready > 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &size);
      }
      errno = so_error;
      result = so_error == 0 ? 0 : -1;
    }
    if (result == 0) {
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      // A server that hangs or vanishes without a reset is found within
      // about 25 s, not after the kernel's retransmissions (some 15 min):
      // probes after 10 s idle, every 5 s, three lost ones end it; a request
      // left unacknowledged for 20 s ends it too.
      const int idle = 10, interval = 5, count = 3;
      const unsigned user_timeout_ms = 20000;
      ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
      ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
      fd_ = fd;
      error_.clear();
      return true;
    }
    error_ = fd_io::ErrnoText(("cannot connect to " + port).c_str());
    ::close(fd);
  }
  return false;
}

int TcpPort::Read(std::uint8_t* buf, unsigned n, std::chrono::milliseconds timeout, int wake_fd) {
  return fd_io::ReadSome(fd_io::Kind::kSocket, fd_, buf, n, timeout, wake_fd, error_);
}

bool TcpPort::Write(const std::uint8_t* data, unsigned n, std::chrono::milliseconds timeout) {
  return fd_io::WriteAll(fd_io::Kind::kSocket, fd_, data, n, timeout, error_);
}

void TcpPort::FlushInput() {
  std::uint8_t drop[256];
  while (fd_ >= 0 && ::recv(fd_, drop, sizeof drop, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace korv
