#pragma once
// A POSIX serial port: raw 8N1 at a given rate, no flow control, no line
// discipline. Works on real ports and on pseudo-terminals (where the rate is
// accepted and has no effect).

#include <chrono>
#include <cstdint>
#include <string>

#include "host/line.h"

namespace korv {

class SerialPort final : public Line {
 public:
  SerialPort() = default;
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens `path` and sets it raw 8N1 at `baud`, holding it exclusively
  // (flock, and TIOCEXCL while open). False with Error() set when the port
  // cannot be opened or set up, the rate is not a standard one, or another
  // program holds it ("cannot open PATH: in use by another program").
  bool Open(const std::string& path, int baud);
  // Takes an open descriptor (a pseudo-terminal side, say) and sets it up the
  // same way; the port owns it from then on.
  bool Adopt(int fd, int baud);
  int Fd() const { return fd_; }

  // The line (see Line).
  void Close() override;
  bool IsOpen() const override { return fd_ >= 0; }
  const std::string& Error() const override { return error_; }
  int Read(std::uint8_t* buf, unsigned n, std::chrono::milliseconds timeout,
           int wake_fd = -1) override;
  bool Write(const std::uint8_t* data, unsigned n,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) override;
  void FlushInput() override;

 private:
  bool Setup(int baud);

  int fd_ = -1;
  bool exclusive_ = false;  // TIOCEXCL set by Open
  std::string error_;
};

// Whether `baud` is a rate the port can be set to.
bool IsStandardBaud(int baud);

}  // namespace korv
