#pragma once
// A bare HTTP/1.1 client for the tests of korv-host's server: it sends the
// bytes it is given, as a browser, a scraper or an attacker would, and reads
// the answer until the server closes, within a bounded time. Every socket
// talks to the loopback; `source` picks another loopback address to come
// from (127.0.0.2, ...), so a test's attackers are other clients than its
// checker.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <string>

namespace testing_support {

// A socket connected to 127.0.0.1:`port` from `source`; -1 when it fails.
inline int ConnectLoopback(int port, const char* source = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads what `fd` gives until it ends or `limit` passed (`done` false then).
inline std::string ReadAll(int fd, std::chrono::milliseconds limit, bool* done = nullptr) {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::string text;
  if (done != nullptr) *done = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return text;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[65536];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  if (done != nullptr) *done = true;
  return text;
}

struct HttpReply {
  int status = 0;                              // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// An answer as read off the wire (the body: what follows the headers).
inline HttpReply ParseReply(const std::string& raw) {
  HttpReply reply;
  const std::size_t end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || end == std::string::npos || raw.size() < 12) return reply;
  reply.status = std::atoi(raw.c_str() + 9);
  std::size_t at = raw.find("\r\n") + 2;
  while (at < end) {
    const std::size_t eol = raw.find("\r\n", at);
    const std::string line = raw.substr(at, eol - at);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    at = eol + 2;
  }
  reply.body = raw.substr(end + 4);
  return reply;
}

// Sends `request` as it is and reads the answer.
inline HttpReply Exchange(int port, const std::string& request,
                          std::chrono::milliseconds limit = std::chrono::seconds(5),
                          const char* source = "127.0.0.1") {
  const int fd = ConnectLoopback(port, source);
  if (fd < 0) return {};
  HttpReply reply;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    reply = ParseReply(ReadAll(fd, limit));
  }
  ::close(fd);
  return reply;
}

// A GET of `path` as a browser on the machine sends it.
inline HttpReply HttpGet(int port, const std::string& path,
                         std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  return Exchange(port,
                  "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                      "\r\nConnection: close\r\n\r\n",
                  limit);
}

}  // namespace testing_support
