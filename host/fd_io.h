#pragma once
// Reading and writing a line's descriptor with a time limit: what a serial
// port and a connection to a serial device server do alike.

#include <chrono>
#include <cstdint>
#include <string>

namespace korv::fd_io {

enum class Kind { kDevice, kSocket };

// "what: <strerror(errno)>".
std::string ErrnoText(const char* what);

// Waits at most `timeout` for bytes on `fd` and reads what is there, up to
// `n`. Returns the count, 0 on timeout or when `wake_fd` (if >= 0) became
// readable, and -1 when the line failed, with `error` set (the peer's end of
// a socket closing counts as a failure).
int ReadSome(Kind kind, int fd, std::uint8_t* buf, unsigned n, std::chrono::milliseconds timeout,
             int wake_fd, std::string& error);

// Writes all `n` bytes, waiting at most `timeout` for `fd` to take them.
// Never raises SIGPIPE. False with `error` set.
bool WriteAll(Kind kind, int fd, const std::uint8_t* data, unsigned n,
              std::chrono::milliseconds timeout, std::string& error);

}  // namespace korv::fd_io
