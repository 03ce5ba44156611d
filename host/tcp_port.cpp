#include "host/tcp_port.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "host/fd_io.h"

namespace korv {

bool IsTcpPort(const std::string& port) { return port.rfind(kTcpScheme, 0) == 0; }

bool ParseTcpPort(const std::string& port, std::string& host, std::uint16_t& number,
                  std::string& error) {
  const std::string bad = "\"" + port + "\" is not tcp://HOST:PORT";
  if (!IsTcpPort(port)) {
    error = bad;
    return false;
  }
  const std::string rest = port.substr(std::strlen(kTcpScheme));
  std::string digits;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      error = bad;
      return false;
    }
    host = rest.substr(1, close - 1);
    digits = rest.substr(close + 2);
  } else {
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos || rest.find(':') != colon) {
      error = bad;
      return false;
    }
    host = rest.substr(0, colon);
    digits = rest.substr(colon + 1);
  }
  unsigned long value = 0;
  const bool numeric = !digits.empty() && digits.size() <= 5 &&
                       digits.find_first_not_of("0123456789") == std::string::npos;
  if (numeric) value = std::stoul(digits);
  if (host.empty() || !numeric || value == 0 || value > 65535) {
    error = bad;
    return false;
  }
  number = static_cast<std::uint16_t>(value);
  return true;
}

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
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int looked = ::getaddrinfo(host.c_str(), std::to_string(number).c_str(), &hints, &found);
  if (looked != 0) {
    error_ = "cannot find " + host + ": " + ::gai_strerror(looked);
    return false;
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  error_ = "cannot connect to " + port + ": no address";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
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
      const int ready =
          ::poll(fds, wake_fd >= 0 ? 2 : 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
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
