#include "gateway/outputs/http/http_server.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/core/field_text.h"
#include "gateway/core/json_text.h"
#include "gateway/outputs/http/history_api.h"
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
    case SiteState::Link::kNoRound:
      return "no round";
    case SiteState::Link::kUnknown:
      break;
  }
  return "unknown";
}

// One decoded field: its name, class and unit, its exact value (a state's
// code, and its word), and its text for a person; an absent value is null.
std::string FieldJson(const psma::BlockLayout& layout, const psma::FieldValue& v) {
  const psma::FieldLayout& field = FieldOf(layout, v);
  JsonLine line;
  line.Str("name", FieldName(layout, v)).Str("class", psma::ValueClassName(field.value_class));
  const char* unit = psma::ValueUnit(field.value_class);
  if (*unit != '\0') line.Str("unit", unit);
  if (!v.present) {
    line.Raw("value", "null");
  } else if (field.type == psma::FieldType::kU8) {
    line.Int("value", v.code).Str("state", FieldWord(layout, v));
  } else {
    line.Float("value", v.value);
  }
  return line.Str("text", FieldReadable(layout, v)).Done();
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
  // One family per physical unit, a state's code with its word; a stale
  // child's series are gone, not frozen, and an absent value has none.
  struct Measure {
    psma::ValueClass cls;
    const char* name;
    const char* help;
  };
  static const Measure kMeasures[] = {
      {psma::ValueClass::kVoltage, "korv_voltage_volts", "A child's voltage field."},
      {psma::ValueClass::kCurrent, "korv_current_amperes", "A child's current field."},
      {psma::ValueClass::kFrequency, "korv_frequency_hertz", "A child's frequency field."},
      {psma::ValueClass::kNumber, "korv_user_value",
       "A child's field the unit gives no unit for (its user-defined values)."},
      {psma::ValueClass::kState, "korv_state_code",
       "A child's state field: the unit's code, with its word in the state label."},
  };
  for (const auto& m : kMeasures) {
    Family f(out, m.name, "gauge", m.help);
    for (const auto& u : s.units) {
      for (const auto& c : u.children) {
        if (c.stale || !c.description || !c.description->layout) continue;
        const psma::BlockLayout& layout = *c.description->layout;
        for (const auto& v : c.fields) {
          const psma::FieldLayout& field = FieldOf(layout, v);
          if (field.value_class != m.cls || !v.present) continue;
          const std::string id = std::to_string(u.id), device = std::to_string(c.device);
          const std::string name = FieldName(layout, v);
          if (m.cls == psma::ValueClass::kState) {
            f.Sample({{"unit", id},
                      {"device", device},
                      {"type", c.type},
                      {"field", name},
                      {"state", FieldWord(layout, v)}},
                     std::to_string(v.code));
          } else {
            f.Sample({{"unit", id}, {"device", device}, {"type", c.type}, {"field", name}},
                     PromFloat(v.value));
          }
        }
      }
    }
  }
  {
    Family f(out, "korv_child_info", "gauge",
             "A child of the unit, with its block's data kind (always 1).");
    for (const auto& u : s.units) {
      for (const auto& c : u.children) {
        const int kind = c.description && c.description->layout ? c.description->layout->kind : 0;
        f.Sample({{"unit", std::to_string(u.id)},
                  {"device", std::to_string(c.device)},
                  {"type", c.type},
                  {"kind", std::to_string(kind)},
                  {"source", SourceName(c.source)}},
                 "1");
      }
    }
  }
  {
    Family f(out, "korv_values_age_seconds", "gauge",
             "Seconds since a child's values were told (its round, or the cache at start).");
    for (const auto& u : s.units) {
      for (const auto& c : u.children) {
        f.Sample({{"unit", std::to_string(u.id)},
                  {"device", std::to_string(c.device)},
                  {"type", c.type}},
                 PromNumber(c.age_seconds));
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
                  {"description", a.description},
                  {"code", a.code},
                  {"level", std::to_string(a.level)}},
                 "1");
      }
    }
  }
  {
    Family f(out, "korv_link_up", "gauge",
             "Whether the unit answers and completes rounds (1), or not, not yet, or answers with "
             "no round completing (0).");
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
  {
    Family f(out, "korv_store_errors_total", "counter", "Writes the database refused.");
    f.Sample({}, std::to_string(s.health.store_errors));
  }
  {
    Family f(out, "korv_store_rows_waiting", "gauge",
             "Rows waiting in memory for the database to take them again.");
    f.Sample({}, std::to_string(s.health.store_waiting));
  }
  {
    Family f(out, "korv_store_rows_lost_total", "counter",
             "Rows given up: beyond what may wait, or waiting at the end.");
    f.Sample({}, std::to_string(s.health.store_lost));
  }
  {
    Family f(out, "korv_lines_dropped_total", "counter",
             "Lines of standard output dropped because no one read them.");
    f.Sample({}, std::to_string(s.health.lines_dropped));
  }
  for (const auto& h : s.health.outputs) {
    Family f(out, h.name.c_str(), h.type.c_str(), h.help.c_str());
    f.Sample({}, PromNumber(h.value));
  }
  return out;
}

std::string StateJson(const SiteState::Snapshot& s) {
  std::vector<std::string> units;
  units.reserve(s.units.size());
  for (const auto& u : s.units) {
    std::vector<std::string> children, alarms;
    for (const auto& c : u.children) {
      std::vector<std::string> fields;
      if (c.description && c.description->layout) {
        const psma::BlockLayout& layout = *c.description->layout;
        fields.reserve(c.fields.size());
        for (const auto& v : c.fields) {
          fields.push_back(FieldJson(layout, v));
        }
      }
      children.push_back(JsonLine()
                             .Int("device", c.device)
                             .Str("type", c.type)
                             .Str("source", SourceName(c.source))
                             .Raw("age_seconds", fmt::format("{:.3f}", c.age_seconds))
                             .Bool("stale", c.stale)
                             .Raw("fields", JsonArray(fields))
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
      alarm.Str("raised_at", UtcText(a.raised_at));
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

namespace {

// What one server takes at most: a handful of browsers and a scraper on the
// site's LAN, never enough for a client to starve the others.
constexpr unsigned kConnectionsMax = 64;         // served at once, in all
constexpr unsigned kConnectionsPerClient = 8;    // per client address
constexpr unsigned kIdleSeconds = 5;             // a connection quiet this long is closed
constexpr std::size_t kRequestBytesMax = 16384;  // a request's line and headers
// Connections waiting to be taken: a SYN that finds no room here is tried
// again a second later, so room for a crowd opening again at once (600
// idle clients closed one by one to make room) keeps a health check quick.
constexpr int kListenBacklog = 1024;
// The library stops accepting at its own limit, before the accept policy
// can make room: it counts the connections being closed to make room, at
// most the ten or so it accepts in one turn, so it gets this many more.
constexpr unsigned kConnectionsClosing = 16;
// What replies in flight may hold: a 1,000-unit site's metrics are 18 MB,
// so about three at once.
constexpr std::size_t kRepliesBytesMax = std::size_t{64} << 20;
// A block this big or bigger is a mapping of its own, given back when
// freed (glibc's starting threshold, kept from rising).
constexpr int kOwnMappingBytes = 128 << 10;
// Chart.js is some 200 KB; what is far past it is not the library.
constexpr std::size_t kChartBytesMax = std::size_t{4} << 20;
// When to ask again for a reply refused for want of room: by then a reply
// stalled at the time has been closed as idle.
constexpr const char* kRetrySeconds = "5";

// Whether a bound address is the loopback (127.0.0.0/8, ::1, or 127.x as an
// IPv4-mapped IPv6 address).
bool IsLoopback(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(a);
    return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
  }
  if (a.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&in6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&in6) && in6.s6_addr[12] == 127;
  }
  return false;
}

// Whether a Host header names the loopback: `localhost`, an IPv4 address
// in 127.0.0.0/8 or [::1], with or without a port. A page of another site
// that rebinds its name to 127.0.0.1 still sends its own name.
bool HostNamesLoopback(std::string_view host) {
  std::string name;
  if (!host.empty() && host.front() == '[') {
    const std::size_t end = host.find(']');
    if (end == std::string_view::npos) return false;
    name = std::string(host.substr(1, end - 1));
    in6_addr a6{};
    return ::inet_pton(AF_INET6, name.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
  }
  name = std::string(host.substr(0, host.find(':')));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "localhost") return true;
  in_addr a4{};
  return ::inet_pton(AF_INET, name.c_str(), &a4) == 1 && (ntohl(a4.s_addr) >> 24) == 127;
}

// One answer: its status, body and headers.
struct Reply {
  using Headers = std::vector<std::pair<const char*, const char*>>;
  Reply(unsigned status_, std::string body_,
        const char* content_type_ = "text/plain; charset=utf-8", Headers headers_ = {})
      : status(status_),
        body(std::move(body_)),
        content_type(content_type_),
        headers(std::move(headers_)) {}
  unsigned status;
  std::string body;
  const char* content_type;
  Headers headers;
  std::string link;  // a Link header's value, when there is one
};

// What the replies in flight hold, counted from a reply's queueing to the
// library's last use of it, on the library's thread.
struct Held {
  std::size_t bytes = 0;

  // Whether a document of `size` may go: beside those in flight when it
  // fits, or alone (a site bigger than the bound is still served).
  bool Fits(std::size_t size) const { return bytes == 0 || bytes + size <= kRepliesBytesMax; }
};

// A reply's body, kept until the library is done with it.
struct Body {
  std::string text;
  Held* held;

  static void Done(void* self) {
    auto* body = static_cast<Body*>(self);
    body->held->bytes -= body->text.size();
    delete body;
  }
};

// A document refused for want of room: the client asks again later.
// A request's query arguments, each name once.
struct Arguments {
  std::map<std::string, std::string>& args;
  bool& twice;
  static MHD_Result Take(void* self, MHD_ValueKind, const char* key, const char* value) {
    auto& a = *static_cast<Arguments*>(self);
    if (!a.args.emplace(key != nullptr ? key : "", value != nullptr ? value : "").second) {
      a.twice = true;
    }
    return MHD_YES;
  }
};

// Chart.js as installed, read once; empty when it is not there (the page
// then says what to install) or is not what a library of its size is.
std::string ChartLibrary() {
#ifdef KORV_CHART_JS
  std::ifstream in(KORV_CHART_JS, std::ios::binary);
  std::string text(kChartBytesMax + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  if (text.size() > kChartBytesMax) text.clear();
  return text;
#else
  return {};
#endif
}

Reply Busy() {
  return {MHD_HTTP_SERVICE_UNAVAILABLE,
          "busy: the replies in flight hold all they may\n",
          "text/plain; charset=utf-8",
          {{MHD_HTTP_HEADER_RETRY_AFTER, kRetrySeconds}}};
}

MHD_Result Send(MHD_Connection* connection, Reply reply, Held& held) {
  auto* body = new Body{std::move(reply.body), &held};
  held.bytes += body->text.size();
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      body->text.size(), body->text.data(), &Body::Done, body);
  if (response == nullptr) {
    Body::Done(body);
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  for (const auto& [name, value] : reply.headers) MHD_add_response_header(response, name, value);
  if (!reply.link.empty()) MHD_add_response_header(response, "Link", reply.link.c_str());
  const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

struct HttpServer::Impl {
  using Clock = std::chrono::steady_clock;

  // A document made of the state, and the size it had last time.
  struct Document {
    const char* path;
    std::string (*make)(const SiteState::Snapshot&);
    const char* content_type;
    std::size_t last_size = 0;
  };

  // A connection from its opening to its close, or to its shutdown to
  // make room.
  struct Client {
    int fd = -1;
    Clock::time_point since;  // accepted
  };

  const SiteState* site = nullptr;
  bool output_down_unhealthy = true;
  std::unique_ptr<HistoryReader> history;
  std::string chart_js;  // empty when the library is not installed
  int listen_fd = -1;
  bool loopback = false;
  int family = AF_INET;
  int port = 0;
  MHD_Daemon* daemon = nullptr;
  // Touched on the library's thread only.
  std::map<const MHD_Connection*, Client> clients;
  Held held;
  Document documents[2] = {
      {"/metrics", &MetricsText, "text/plain; version=0.0.4; charset=utf-8"},
      {"/api/v1/state", &StateJson, "application/json; charset=utf-8"},
  };

  // The answer to a request whose line and headers arrived; its body, if
  // any, is never read.
  Reply Answer(MHD_Connection* connection, const std::string& url, const std::string& method,
               const char* version) {
    const auto header = [connection](const char* name) {
      return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    };
    // Checked here rather than by the library, whose own answer to it
    // comes with its status line and headers twice.
    if (std::strcmp(version, MHD_HTTP_VERSION_1_0) != 0 &&
        header(MHD_HTTP_HEADER_HOST) == nullptr) {
      return {MHD_HTTP_BAD_REQUEST, "no Host header\n"};
    }
    if (url.find(' ') != std::string::npos) {
      return {MHD_HTTP_BAD_REQUEST, "a URI holds no space\n"};
    }
    if (method != "GET" && method != "HEAD") {
      return {MHD_HTTP_METHOD_NOT_ALLOWED,
              "only GET and HEAD\n",
              "text/plain; charset=utf-8",
              {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD"}}};
    }
    const char* length = header(MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (header(MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr ||
        (length != nullptr &&
         std::string_view(length).find_first_not_of('0') != std::string_view::npos)) {
      return {MHD_HTTP_CONTENT_TOO_LARGE, "no request takes a body\n"};
    }
    // A page of another site that rebinds its name to the loopback must not
    // read the state: bound there, only the loopback's own names are served.
    const char* host = header(MHD_HTTP_HEADER_HOST);
    if (loopback && host != nullptr && !HostNamesLoopback(host)) {
      return {MHD_HTTP_MISDIRECTED_REQUEST, "served to the loopback's own names only\n"};
    }
    for (Document& document : documents) {
      if (url != document.path) continue;
      // One that would not fit beside the replies in flight is not even
      // made.
      if (!held.Fits(document.last_size)) return Busy();
      std::string text = document.make(site->Take());
      document.last_size = text.size();
      if (!held.Fits(text.size())) return Busy();
      return {MHD_HTTP_OK, std::move(text), document.content_type};
    }
    if (url == "/api/v1/history" && history) {
      std::map<std::string, std::string> args;
      bool twice = false;
      Arguments collect{args, twice};
      MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &Arguments::Take, &collect);
      if (twice) return {MHD_HTTP_BAD_REQUEST, "a parameter given twice\n"};
      HistoryReply answer =
          HistoryApi(site->Take(), *history, args, std::chrono::system_clock::now());
      if (!held.Fits(answer.body.size())) return Busy();
      Reply reply(answer.status, std::move(answer.body),
                  answer.status != MHD_HTTP_OK ? "text/plain; charset=utf-8"
                  : answer.csv                 ? "text/csv; charset=utf-8; header=present"
                                               : "application/json; charset=utf-8");
      if (!answer.next.empty()) reply.link = "<" + answer.next + ">; rel=\"next\"";
      return reply;
    }
    if (url == "/healthz") {
      // The process answers; a database that refuses rows and an output
      // that is down are told too, a line each.
      const SiteState::Health health = site->TakeHealth();
      std::string text;
      if (health.store_waiting > 0) {
        text += fmt::format("database: {} rows waiting: {}\n", health.store_waiting,
                            health.store_error);
      }
      for (const auto& outage : health.outages) text += Readable(outage) + "\n";
      if (health.store_waiting > 0 || (output_down_unhealthy && !health.outages.empty())) {
        return {MHD_HTTP_SERVICE_UNAVAILABLE, std::move(text)};
      }
      return {MHD_HTTP_OK, text.empty() ? "ok\n" : "ok\n" + text};
    }
    if (url == "/chart.js") {
      if (chart_js.empty()) {
        return {MHD_HTTP_NOT_FOUND, "no chart library: install Debian's libjs-chart.js\n"};
      }
      if (!held.Fits(chart_js.size())) return Busy();
      return {MHD_HTTP_OK, chart_js, "text/javascript; charset=utf-8"};
    }
    if (url == "/") {
      // The page loads nothing but its own state, its history and the
      // chart library, all from korv-host.
      return {MHD_HTTP_OK,
              StatusPage(),
              "text/html; charset=utf-8",
              {{"Content-Security-Policy",
                "default-src 'none'; style-src 'unsafe-inline'; script-src 'self' "
                "'unsafe-inline'; connect-src 'self'"}}};
    }
    return {MHD_HTTP_NOT_FOUND, "not found\n"};
  }

  static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* /*upload_data*/,
                              std::size_t* /*upload_size*/, void** /*request*/) {
    // Answered at once, on the headers: a body is never read (the library
    // closes the connection after the answer).
    try {
      auto& impl = *static_cast<Impl*>(self);
      return Send(connection, impl.Answer(connection, url, method, version), impl.held);
    } catch (const std::exception&) {
      return MHD_NO;  // out of memory: the connection closes
    }
  }

  // A client is let in whoever holds the others: at the limit, the
  // connection open longest (a slow request, an idle client, a reply not
  // read) goes to make room, so a health check gets in however many
  // clients hold a connection.
  static MHD_Result OnAccept(void* self, const sockaddr* /*from*/, socklen_t /*length*/) {
    auto& clients = static_cast<Impl*>(self)->clients;
    if (clients.size() >= kConnectionsMax) {
      const auto oldest = std::min_element(
          clients.begin(), clients.end(),
          [](const auto& a, const auto& b) { return a.second.since < b.second.since; });
      // The library closes it on its next turn. A shutdown, not a close:
      // the descriptor stays the library's until then, and this runs on
      // its thread, so it cannot be closed under our feet.
      ::shutdown(oldest->second.fd, SHUT_RDWR);
      clients.erase(oldest);
    }
    return MHD_YES;
  }

  static void OnConnection(void* self, MHD_Connection* connection, void** /*context*/,
                           MHD_ConnectionNotificationCode code) {
    auto& clients = static_cast<Impl*>(self)->clients;
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      clients.erase(connection);
      return;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    clients[connection] = {info != nullptr ? info->connect_fd : -1, Clock::now()};
  }
};

HttpServer::HttpServer(const SiteState& state, bool output_down_unhealthy)
    : impl_(std::make_unique<Impl>()) {
  impl_->site = &state;
  impl_->output_down_unhealthy = output_down_unhealthy;
}

void HttpServer::ServeHistory(const std::string& db) {
  impl_->history = std::make_unique<HistoryReader>(db);
}

HttpServer::~HttpServer() {
  Stop();
  if (impl_->listen_fd >= 0) ::close(impl_->listen_fd);
}

bool HttpServer::Bind(const HttpAddress& address, std::string& error) {
  const std::string where = address.host.find(':') != std::string::npos
                                ? fmt::format("[{}]:{}", address.host, address.port)
                                : fmt::format("{}:{}", address.host, address.port);
  const auto fail = [&](const std::string& why) {
    error = fmt::format("--http {}: cannot listen there: {}", where, why);
    return false;
  };
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved =
      ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
  if (resolved != 0) return fail(::gai_strerror(resolved));
  int e = 0;
  int fd = -1;
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      e = errno;
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (a->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, kListenBacklog) != 0) {
      e = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) return fail(std::strerror(e));
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  impl_->listen_fd = fd;
  impl_->family = bound.ss_family;
  impl_->loopback = IsLoopback(bound);
  impl_->port =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                        : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
  return true;
}

int HttpServer::port() const { return impl_->port; }

void HttpServer::Start() {
  if (impl_->daemon != nullptr || impl_->listen_fd < 0) return;
  // glibc raises the size from which a block is a mapping of its own to
  // that of the biggest such block freed, so the next documents come from
  // its arenas and stay there once freed: 100 MB that no reply holds after
  // ten documents of a 1,000-unit site. Kept at glibc's starting value,
  // every big block goes back to the system when its reply ends (for the
  // whole process: korv-host's other big blocks too).
  ::mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes);
  impl_->chart_js = ChartLibrary();
  // One thread of the library's own, waiting in epoll on every connection:
  // a slow or idle client holds a connection, never the thread.
  unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD;
  if (impl_->family == AF_INET6) flags |= MHD_USE_IPv6;
  Impl* impl = impl_.get();
  impl_->daemon =
      MHD_start_daemon(flags, 0, &Impl::OnAccept, impl, &Impl::OnRequest, impl,             //
                       MHD_OPTION_LISTEN_SOCKET, impl_->listen_fd,                          //
                       MHD_OPTION_CONNECTION_LIMIT, kConnectionsMax + kConnectionsClosing,  //
                       MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerClient,           //
                       MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,                         //
                       MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestBytesMax,                //
                       MHD_OPTION_NOTIFY_CONNECTION, &Impl::OnConnection, impl,             //
                       MHD_OPTION_END);
  // The daemon owns the listening socket now and closes it when it stops.
  if (impl_->daemon != nullptr) impl_->listen_fd = -1;
}

void HttpServer::Stop() {
  if (impl_->daemon == nullptr) return;
  MHD_stop_daemon(impl_->daemon);
  impl_->daemon = nullptr;
}

}  // namespace korv_host
