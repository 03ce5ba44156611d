#pragma once
// The Modbus TCP server (--modbus-tcp): read-only, on a thread of its own
// that waits in poll on its sockets, answering from SiteState snapshots under
// the register map (modbus_map.h). libmodbus opens the listening socket and
// answers the exceptions; the requests are framed and read here, and
// libmodbus's modbus_reply never sees one.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "gateway/core/site_state.h"
#include "gateway/outputs/modbus/modbus_map.h"

namespace korv_host::modbus {

struct ServerSettings {
  std::string address = "127.0.0.1";  // where to listen
  std::string port = "502";           // "0": any free port
  WordOrder order = WordOrder::kAbcd;
  std::size_t max_connections = 16;       // more are closed at accept
  std::chrono::milliseconds idle{60000};  // a connection quiet this long is closed
  // A snapshot is taken again for a request when older than this.
  std::chrono::milliseconds snapshot_age{200};
};

class Server {
 public:
  Server(std::shared_ptr<SiteState> state, Map map, ServerSettings settings);
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens and starts the thread. False with a one-line `error`.
  bool Start(std::string& error);
  // The port it listens on.
  int Port() const { return port_; }
  // Ends the thread and closes every connection.
  void Stop();

  // Its health: connections open, refused (past the limit), closed (idle or
  // a frame that is no Modbus), requests answered.
  std::vector<HealthNumber> Metrics() const;

 private:
  void Serve();

  std::shared_ptr<SiteState> state_;
  const Map map_;
  const ServerSettings settings_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};  // a pipe: Stop wakes the thread
  int port_ = 0;
  std::thread thread_;
  std::atomic<std::uint64_t> open_{0}, refused_{0}, closed_{0}, requests_{0}, exceptions_{0};
};

}  // namespace korv_host::modbus
