#pragma once
// A line to the units, as the polling engine uses it: a serial port, or a
// raw TCP connection to a serial device server that carries the port.

#include <chrono>
#include <cstdint>
#include <string>

namespace korv {

class Line {
 public:
  virtual ~Line() = default;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Why the last call failed.
  virtual const std::string& Error() const = 0;
  // Waits at most `timeout` for bytes and reads what is there, up to `n`.
  // Returns the count, 0 on timeout or when `wake_fd` (if >= 0) became
  // readable, and -1 when the line failed (Error() says why).
  virtual int Read(std::uint8_t* buf, unsigned n, std::chrono::milliseconds timeout,
                   int wake_fd = -1) = 0;
  // Writes all `n` bytes, waiting at most `timeout` for the line to take
  // them. False when the line failed or did not take them in time.
  virtual bool Write(const std::uint8_t* data, unsigned n,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) = 0;
  // Drops whatever was received and not read yet.
  virtual void FlushInput() = 0;
};

}  // namespace korv
