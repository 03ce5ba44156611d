#include "host/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korv {
namespace {

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool IsStandardBaud(int baud) { return SpeedOf(baud) != B0; }

SerialPort::~SerialPort() { Close(); }

bool SerialPort::Open(const std::string& path, int baud) {
  Close();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error_ = ErrnoText(("cannot open " + path).c_str());
    return false;
  }
  return Adopt(fd, baud);
}

bool SerialPort::Adopt(int fd, int baud) {
  Close();
  fd_ = fd;
  if (!Setup(baud)) {
    Close();
    return false;
  }
  return true;
}

bool SerialPort::Setup(int baud) {
  const speed_t speed = SpeedOf(baud);
  if (speed == B0) {
    error_ = "unsupported baud rate " + std::to_string(baud);
    return false;
  }
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
    error_ = ErrnoText("fcntl");
    return false;
  }
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) {
    error_ = ErrnoText("not a serial port (tcgetattr)");
    return false;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
    error_ = ErrnoText("tcsetattr");
    return false;
  }
  return true;
}

void SerialPort::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int SerialPort::Read(std::uint8_t* buf, unsigned n, std::chrono::milliseconds timeout,
                     int wake_fd) {
  if (fd_ < 0) {
    error_ = "port not open";
    return -1;
  }
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  const int count = wake_fd >= 0 ? 2 : 1;
  const int ms = timeout.count() < 0 ? 0 : static_cast<int>(timeout.count());
  int ready;
  do {
    ready = ::poll(fds, count, ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    error_ = ErrnoText("poll");
    return -1;
  }
  if (ready == 0) return 0;
  if (count == 2 && (fds[1].revents & POLLIN) != 0) return 0;
  if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0) return 0;
  const ssize_t got = ::read(fd_, buf, n);
  if (got > 0) return static_cast<int>(got);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  error_ = got == 0 ? std::string("port closed") : ErrnoText("read");
  return -1;
}

bool SerialPort::Write(const std::uint8_t* data, unsigned n, std::chrono::milliseconds timeout) {
  if (fd_ < 0) {
    error_ = "port not open";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  unsigned done = 0;
  while (done < n) {
    const ssize_t put = ::write(fd_, data + done, n - done);
    if (put > 0) {
      done += static_cast<unsigned>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) {
      error_ = ErrnoText("write");
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error_ = "write timed out";
      return false;
    }
    pollfd pfd{fd_, POLLOUT, 0};
    ::poll(&pfd, 1, static_cast<int>(left.count()));
  }
  return true;
}

void SerialPort::FlushInput() {
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
}

}  // namespace korv
