#include "host/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "host/fd_io.h"

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

}  // namespace

bool IsStandardBaud(int baud) { return SpeedOf(baud) != B0; }

SerialPort::~SerialPort() { Close(); }

bool SerialPort::Open(const std::string& path, int baud) {
  Close();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error_ = fd_io::ErrnoText(("cannot open " + path).c_str());
    return false;
  }
  // One program per port: a second korv-host, or another program that
  // locks its ports, is refused here instead of halving the rounds of both,
  // whatever name (a symbolic link, /dev/pts/N) either gave the port.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error_ = "cannot open " + path + ": in use by another program";
    ::close(fd);
    return false;
  }
  if (!Adopt(fd, baud)) return false;
  // Others that open the port are refused too (root is let through).
  exclusive_ = ::ioctl(fd_, TIOCEXCL) == 0;
  return true;
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
    error_ = fd_io::ErrnoText("fcntl");
    return false;
  }
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) {
    error_ = fd_io::ErrnoText("not a serial port (tcgetattr)");
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
    error_ = fd_io::ErrnoText("tcsetattr");
    return false;
  }
  return true;
}

void SerialPort::Close() {
  // The hold goes with the port: a reopen (ours, or the next program's)
  // must not find it still exclusive.
  if (fd_ >= 0 && exclusive_) ::ioctl(fd_, TIOCNXCL);
  exclusive_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int SerialPort::Read(std::uint8_t* buf, unsigned n, std::chrono::milliseconds timeout,
                     int wake_fd) {
  return fd_io::ReadSome(fd_io::Kind::kDevice, fd_, buf, n, timeout, wake_fd, error_);
}

bool SerialPort::Write(const std::uint8_t* data, unsigned n, std::chrono::milliseconds timeout) {
  return fd_io::WriteAll(fd_io::Kind::kDevice, fd_, data, n, timeout, error_);
}

void SerialPort::FlushInput() {
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
}

}  // namespace korv
