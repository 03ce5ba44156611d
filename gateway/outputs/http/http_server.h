#pragma once
// korv-host's HTTP side (--http): the site's state for a scraper, a script
// and a browser on the site's LAN, read from a SiteState.
//
//   /metrics        Prometheus text format 0.0.4 (MetricsText)
//   /api/v1/state   the units' state as JSON (StateJson)
//   /api/v1/history a unit's history from the database (history_api.h)
//   /healthz        200 "ok": the process runs and serves (not whether a unit answers);
//                   503 with the reason while the database refuses rows or an
//                   output is down (an output only told, with 200, if so built)
//   /               the status page, refreshing itself from /api/v1/state, with
//                   a trend of any value from /api/v1/history
//   /chart.js       Chart.js, which draws the trends: the file Debian's
//                   libjs-chart.js installs, read at Start, so the page needs no
//                   address but korv-host's
//
// The server (GNU libmicrohttpd) answers on one thread of its own, waiting
// in epoll on every connection: GET and HEAD only, no request body read,
// Range ignored, bound to the loopback only a Host naming it; a limit of
// connections per client address, idle ones closed, and at the limit in
// all the connection open longest closed to let a new one in. What
// replies in flight hold is bounded: beyond it a document gets 503 with a
// Retry-After. Start holds glibc's mmap threshold at its starting value,
// for the whole process, so what a big reply held goes back to the system
// when it ends. A request reads one snapshot of the state, taken under
// SiteState's short lock, so it never holds up a polling thread for longer
// than the copy.

#include <memory>
#include <string>

#include "gateway/core/site_state.h"

namespace korv_host {

struct HttpAddress {
  std::string host;  // a name or a numeric address (IPv6 without brackets)
  int port = 0;      // 0: any free port
};

// "PORT" (the loopback, 127.0.0.1), "HOST:PORT" or "[IPV6]:PORT"; PORT is
// 0..65535. False with a one-line `error` for anything else.
bool ParseHttpAddress(const std::string& text, HttpAddress& address, std::string& error);

// The snapshot in Prometheus text format 0.0.4.
std::string MetricsText(const SiteState::Snapshot& snapshot);
// The snapshot as one JSON object (texts in UTF-8).
std::string StateJson(const SiteState::Snapshot& snapshot);
// The status page: one HTML document, its style and script inline.
const std::string& StatusPage();

class HttpServer {
 public:
  // `output_down_unhealthy`: whether an output that cannot do its work
  // (a broker away) makes /healthz answer 503.
  explicit HttpServer(const SiteState& state, bool output_down_unhealthy = true);
  ~HttpServer();  // stops
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the address. False with a one-line `error` (the address is not
  // local, the port is taken, ...).
  bool Bind(const HttpAddress& address, std::string& error);
  // Serves /api/v1/history from the database at `db`, read on a connection
  // of its own. Before Start.
  void ServeHistory(const std::string& db);
  // The port bound (the one chosen when 0 was asked for).
  int port() const;
  // Serves on a thread of its own until Stop; returns once it accepts.
  void Start();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korv_host
