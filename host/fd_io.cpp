#include "host/fd_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korv::fd_io {

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

int ReadSome(Kind kind, int fd, std::uint8_t* buf, unsigned n, std::chrono::milliseconds timeout,
             int wake_fd, std::string& error) {
  if (fd < 0) {
    error = "port not open";
    return -1;
  }
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  const int count = wake_fd >= 0 ? 2 : 1;
  const int ms = timeout.count() < 0 ? 0 : static_cast<int>(timeout.count());
  int ready;
  do {
    ready = ::poll(fds, count, ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    error = ErrnoText("poll");
    return -1;
  }
  if (ready == 0) return 0;
  if (count == 2 && (fds[1].revents & POLLIN) != 0) return 0;
  if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0) return 0;
  const ssize_t got = kind == Kind::kSocket ? ::recv(fd, buf, n, MSG_DONTWAIT) : ::read(fd, buf, n);
  if (got > 0) return static_cast<int>(got);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (got == 0) {
    error = kind == Kind::kSocket ? "connection closed by the server" : "port closed";
  } else {
    error = ErrnoText(kind == Kind::kSocket ? "recv" : "read");
  }
  return -1;
}

bool WriteAll(Kind kind, int fd, const std::uint8_t* data, unsigned n,
              std::chrono::milliseconds timeout, std::string& error) {
  if (fd < 0) {
    error = "port not open";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  unsigned done = 0;
  while (done < n) {
    const ssize_t put = kind == Kind::kSocket
                            ? ::send(fd, data + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                            : ::write(fd, data + done, n - done);
    if (put > 0) {
      done += static_cast<unsigned>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      error = ErrnoText(kind == Kind::kSocket ? "send" : "write");
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error = "write timed out";
      return false;
    }
    pollfd pfd{fd, POLLOUT, 0};
    ::poll(&pfd, 1, static_cast<int>(left.count()));
  }
  return true;
}

}  // namespace korv::fd_io
