#pragma once
// A raw TCP connection to a serial device server: the server passes the bytes
// to and from its serial port unchanged, so the line is read and written as a
// local one. Non-blocking, TCP_NODELAY (a request goes out at once).

#include <chrono>
#include <cstdint>
#include <string>

#include "host/line.h"

struct addrinfo;

namespace korv {

// The scheme of a port that names a serial device server.
inline constexpr const char* kTcpScheme = "tcp://";

// Whether `port` names a serial device server ("tcp://...", the scheme in
// any case).
bool IsTcpPort(const std::string& port);
// Splits "tcp://HOST:PORT" ("tcp://[v6]:PORT" for an IPv6 address) into its
// host and port; false with `error` naming what is wrong.
bool ParseTcpPort(const std::string& port, std::string& host, std::uint16_t& number,
                  std::string& error);

class TcpPort final : public Line {
 public:
  TcpPort() = default;
  ~TcpPort() override;
  TcpPort(const TcpPort&) = delete;
  TcpPort& operator=(const TcpPort&) = delete;

  // Connects to "tcp://HOST:PORT", waiting at most `timeout` for each
  // address the name resolves to, or until `wake_fd` (if >= 0) becomes
  // readable (Error() then ends in "stopped"). A name is looked up on a
  // thread of its own that the line abandons when `timeout` passes or
  // `wake_fd` wakes (the resolver cannot be interrupted; its thread ends on
  // its own), so a hanging lookup holds neither a stop nor the line longer
  // than `timeout`. False with Error() set. The
  // connection has keepalive probes and a user timeout, so a server that
  // hangs or vanishes reads as a failed line within about 25 s.
  bool Connect(const std::string& port, std::chrono::milliseconds timeout, int wake_fd = -1);

  // The line (see Line).
  void Close() override;
  bool IsOpen() const override { return fd_ >= 0; }
  const std::string& Error() const override { return error_; }
  // A connection the server closed reads as failed ("connection closed").
  int Read(std::uint8_t* buf, unsigned n, std::chrono::milliseconds timeout,
           int wake_fd = -1) override;
  bool Write(const std::uint8_t* data, unsigned n,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) override;
  void FlushInput() override;

  // The resolver the lookups call (getaddrinfo unless a test sets another;
  // null sets getaddrinfo back). Not while a line connects.
  using Resolver = int (*)(const char* host, const char* service, const addrinfo* hints,
                           addrinfo** found);
  static void SetResolver(Resolver resolver);

 private:
  int fd_ = -1;
  std::string error_;
};

}  // namespace korv
