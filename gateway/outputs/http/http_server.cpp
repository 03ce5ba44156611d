#include "gateway/outputs/http/http_server.h"

#include <fmt/format.h>
#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>

#include "gateway/outputs/lines/line_output.h"
#include "host/host_port.h"

namespace korv_host {
namespace {

// A sample value as Prometheus writes it.
std::string PromNumber(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  return fmt::format("{}", v);
}

std::string PromFloat(float v) {
  if (!std::isfinite(v)) return PromNumber(v);
  return fmt::format("{}", v);  // the shortest text of the float itself
}

// A label value between its quotes: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// The samples of one metric family, under its HELP and TYPE lines.
class Family {
 public:
  Family(std::string& out, const char* name, const char* type, const char* help)
      : out_(out), name_(name) {
    out_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
  }
  // `labels`: (name, value) pairs; `suffix` goes after the family's name.
  void Sample(std::initializer_list<std::pair<const char*, std::string>> labels,
              const std::string& value, const char* suffix = "") {
    out_ += name_;
    out_ += suffix;
    char sep = '{';
    for (const auto& [label, v] : labels) {
      out_ += sep;
      out_ += label;
      out_ += "=\"";
      out_ += LabelValue(v);
      out_ += '"';
      sep = ',';
    }
    if (sep != '{') out_ += '}';
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }

 private:
  std::string& out_;
  const char* name_;
};

const char* LinkName(SiteState::Link link) {
  switch (link) {
    case SiteState::Link::kAnswering:
      return "answering";
    case SiteState::Link::kNotAnswering:
      return "not answering";
    case SiteState::Link::kUnknown:
      break;
  }
  return "unknown";
}

// A wall time as UTC, ISO 8601 with milliseconds.
std::string UtcText(SiteState::WallTime t) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms % 1000);
}

// A JSON array of the texts `items` already are.
std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const auto& item : items) {
    if (out.size() > 1) out += ',';
    out += item;
  }
  return out + "]";
}

}  // namespace

bool ParseHttpAddress(const std::string& text, HttpAddress& address, std::string& error) {
  error = "--http " + text + ": expected PORT, HOST:PORT or [IPV6]:PORT (PORT 0..65535)";
  // A bare port serves the loopback only.
  const bool bare = text.find_first_of(":[") == std::string::npos;
  korv::HostPort split;
  if (korv::SplitHostPort(bare ? ":" + text : text, split) != korv::HostPortFault::kNone ||
      !split.has_port || (!bare && split.host.empty())) {
    return false;
  }
  address.host = bare ? "127.0.0.1" : split.host;
  address.port = static_cast<int>(split.port);
  error.clear();
  return true;
}

std::string MetricsText(const SiteState::Snapshot& s) {
  std::string out;
  {
    Family f(out, "korv_value", "gauge",
             "The latest value of a child's key (its last round, or the cache at start).");
    for (const auto& u : s.units) {
      for (const auto& c : u.children) {
        for (const auto& [key, value] : c.values) {
          f.Sample({{"unit", std::to_string(u.id)},
                    {"type", c.type},
                    {"data_id", std::to_string(c.device)},
                    {"key", key}},
                   PromFloat(value));
        }
      }
    }
  }
  {
    Family f(out, "korv_alarm_active", "gauge", "An alarm raised and not cleared (always 1).");
    for (const auto& u : s.units) {
      for (const auto& a : u.alarms) {
        f.Sample({{"unit", std::to_string(u.id)},
                  {"device", std::to_string(a.device)},
                  {"type", a.type},
                  {"key", a.key},
                  {"code", a.code},
                  {"level", std::to_string(a.level)}},
                 "1");
      }
    }
  }
  {
    Family f(out, "korv_link_up", "gauge", "Whether the unit answers (1), or not or not yet (0).");
    for (const auto& u : s.units) {
      f.Sample({{"unit", std::to_string(u.id)}}, u.link == SiteState::Link::kAnswering ? "1" : "0");
    }
  }
  {
    Family f(out, "korv_rounds_total", "counter", "Rounds the unit completed.");
    for (const auto& u : s.units) {
      f.Sample({{"unit", std::to_string(u.id)}}, std::to_string(u.rounds));
    }
  }
  {
    Family f(out, "korv_link_faults_total", "counter",
             "Link faults by kind (no answer, bad checksum, ..., port, other).");
    for (const auto& u : s.units) {
      for (const auto& [kind, count] : u.faults) {
        f.Sample({{"unit", std::to_string(u.id)}, {"kind", kind}}, std::to_string(count));
      }
    }
  }
  {
    Family f(out, "korv_requests_total", "counter", "Requests sent to the unit.");
    for (const auto& u : s.units) {
      f.Sample({{"unit", std::to_string(u.id)}}, std::to_string(u.requests));
    }
  }
  {
    Family f(out, "korv_round_duration_seconds", "histogram",
             "Time from a round's first request to its end, retries included.");
    for (const auto& u : s.units) {
      const std::string id = std::to_string(u.id);
      std::uint64_t below = 0;
      for (std::size_t b = 0; b < u.duration_buckets.size(); ++b) {
        below += u.duration_buckets[b];
        const std::string le = b < SiteState::kDurationBounds.size()
                                   ? PromNumber(SiteState::kDurationBounds[b])
                                   : std::string("+Inf");
        f.Sample({{"unit", id}, {"le", le}}, std::to_string(below), "_bucket");
      }
      f.Sample({{"unit", id}}, PromNumber(u.duration_sum), "_sum");
      f.Sample({{"unit", id}}, std::to_string(u.duration_count), "_count");
    }
  }
  {
    Family f(out, "korv_last_round_age_seconds", "gauge",
             "Seconds since the unit's last completed round (none before its first).");
    for (const auto& u : s.units) {
      if (u.last_round_age)
        f.Sample({{"unit", std::to_string(u.id)}}, PromNumber(*u.last_round_age));
    }
  }
  return out;
}

std::string StateJson(const SiteState::Snapshot& s) {
  std::vector<std::string> units;
  units.reserve(s.units.size());
  for (const auto& u : s.units) {
    std::vector<std::string> children, alarms;
    for (const auto& c : u.children) {
      JsonLine values;
      for (const auto& [key, value] : c.values) values.Float(key.c_str(), value);
      children.push_back(JsonLine()
                             .Int("device", c.device)
                             .Str("type", c.type)
                             .Str("source", SourceName(c.source))
                             .Raw("values", values.Done())
                             .Done());
    }
    for (const auto& a : u.alarms) {
      JsonLine alarm;
      alarm.Int("device", a.device)
          .Str("type", a.type)
          .Str("key", a.key)
          .Str("code", a.code)
          .Int("level", a.level)
          .Str("name", a.name)
          .Str("description", a.description);
      if (!a.text.empty()) alarm.Str("text", a.text);
      alarms.push_back(alarm.Done());
    }
    JsonLine faults;
    for (const auto& [kind, count] : u.faults)
      faults.Int(kind.c_str(), static_cast<std::int64_t>(count));
    JsonLine unit;
    unit.Int("unit", u.id).Str("link", LinkName(u.link)).Str("link_text", u.link_text);
    unit.Int("rounds", u.rounds);
    unit.Raw("last_round", u.last_round_at ? JsonQuote(UtcText(*u.last_round_at)) : "null");
    unit.Raw("age_seconds", u.last_round_age ? fmt::format("{:.3f}", *u.last_round_age) : "null");
    unit.Int("requests", static_cast<std::int64_t>(u.requests)).Raw("faults", faults.Done());
    unit.Raw("children", JsonArray(children)).Raw("alarms", JsonArray(alarms));
    units.push_back(unit.Done());
  }
  return JsonLine().Str("at", UtcText(s.at)).Raw("units", JsonArray(units)).Done();
}

struct HttpServer::Impl {
  httplib::Server server;
  std::thread thread;
  std::atomic<bool> ended{false};  // the listening returned
  int port = 0;
};

HttpServer::HttpServer(const SiteState& state) : impl_(std::make_unique<Impl>()) {
  auto& server = impl_->server;
  // Few threads: a handful of browsers and a scraper on the site's LAN.
  server.new_task_queue = [] { return new httplib::ThreadPool(4); };
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(5);
  server.set_write_timeout(5);
  server.set_payload_max_length(4096);  // nothing here takes a body
  const SiteState* site = &state;
  const auto no_store = [](httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
  };
  server.Get("/metrics", [site, no_store](const httplib::Request&, httplib::Response& res) {
    no_store(res);
    res.set_content(MetricsText(site->Take()), "text/plain; version=0.0.4; charset=utf-8");
  });
  server.Get("/api/v1/state", [site, no_store](const httplib::Request&, httplib::Response& res) {
    no_store(res);
    res.set_content(StateJson(site->Take()), "application/json; charset=utf-8");
  });
  server.Get("/healthz", [no_store](const httplib::Request&, httplib::Response& res) {
    no_store(res);
    res.set_content("ok\n", "text/plain; charset=utf-8");
  });
  server.Get("/", [no_store](const httplib::Request&, httplib::Response& res) {
    no_store(res);
    // The page loads nothing but its own state.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                   "connect-src 'self'");
    res.set_content(StatusPage(), "text/html; charset=utf-8");
  });
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Bind(const HttpAddress& address, std::string& error) {
  const std::string where = address.host.find(':') != std::string::npos
                                ? fmt::format("[{}]:{}", address.host, address.port)
                                : fmt::format("{}:{}", address.host, address.port);
  errno = 0;
  const int port =
      address.port == 0
          ? impl_->server.bind_to_any_port(address.host)
          : (impl_->server.bind_to_port(address.host, address.port) ? address.port : -1);
  if (port < 0) {
    const int e = errno;
    error = fmt::format("--http {}: cannot listen there{}", where,
                        e != 0 ? std::string(": ") + std::strerror(e) : std::string());
    return false;
  }
  impl_->port = port;
  return true;
}

int HttpServer::port() const { return impl_->port; }

void HttpServer::Start() {
  if (impl_->thread.joinable()) return;
  impl_->thread = std::thread([this] {
    impl_->server.listen_after_bind();
    impl_->ended = true;
  });
  // Stop must find it running, or it would not end the listening.
  while (!impl_->server.is_running() && !impl_->ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void HttpServer::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->server.stop();
  impl_->thread.join();
}

}  // namespace korv_host
