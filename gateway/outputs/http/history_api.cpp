#include "gateway/outputs/http/history_api.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include "gateway/core/field_text.h"
#include "gateway/core/json_text.h"

namespace korv_host {
namespace {

using Clock = std::chrono::system_clock;

constexpr std::size_t kLimitDefault = 1000;
constexpr std::size_t kLimitMax = 10000;
// A page stops early past this many bytes: the next page takes the rest.
constexpr std::size_t kBodyMax = std::size_t{16} << 20;
const char* const kArgs[] = {"unit", "from", "to", "fields", "format", "limit", "after"};

HistoryReply Refuse(const std::string& why) { return {400, why + "\n", false, {}}; }

bool AllDigits(const std::string& s, std::size_t most) {
  return !s.empty() && s.size() <= most &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The database's time ("YYYY-MM-DD HH:MM:SS", the host's local time) of `t`.
std::string LocalText(std::time_t t) {
  std::tm local{};
  ::localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// "YYYY-MM-DD HH:MM:SS" as its fields; false when it is not that.
bool ParseLocal(const std::string& s, std::tm& tm) {
  if (s.size() != 19) return false;
  int parts[6];
  char sep[5];
  if (std::sscanf(s.c_str(), "%4d%c%2d%c%2d%c%2d:%2d:%2d", &parts[0], &sep[0], &parts[1], &sep[1],
                  &parts[2], &sep[2], &parts[3], &parts[4], &parts[5]) != 9 ||
      sep[0] != '-' || sep[1] != '-' || (sep[2] != ' ' && sep[2] != 'T')) {
    return false;
  }
  tm = {};
  tm.tm_year = parts[0] - 1900;
  tm.tm_mon = parts[1] - 1;
  tm.tm_mday = parts[2];
  tm.tm_hour = parts[3];
  tm.tm_min = parts[4];
  tm.tm_sec = parts[5];
  tm.tm_isdst = -1;
  return parts[1] >= 1 && parts[1] <= 12 && parts[2] >= 1 && parts[2] <= 31 && parts[3] < 24 &&
         parts[4] < 60 && parts[5] < 61;
}

// A stored time as UTC for the client.
std::string UtcOfLocal(const std::string& saved_at) {
  std::tm tm{};
  if (!ParseLocal(saved_at, tm)) return saved_at;
  return UtcText(Clock::from_time_t(std::mktime(&tm)));
}

// RFC 3339 in UTC ("...Z", seconds, fractions ignored) or Unix seconds.
std::optional<std::time_t> ParseTime(const std::string& s) {
  if (AllDigits(s, 12)) return static_cast<std::time_t>(std::stoll(s));
  if (s.size() < 20 || s.back() != 'Z') return std::nullopt;
  std::tm tm{};
  if (!ParseLocal(s.substr(0, 19), tm) || s[10] != 'T') return std::nullopt;
  const std::string fraction = s.substr(19, s.size() - 20);
  if (!fraction.empty() && (fraction[0] != '.' || !AllDigits(fraction.substr(1), 9))) {
    return std::nullopt;
  }
  tm.tm_isdst = 0;
  const std::time_t t = ::timegm(&tm);
  if (t == -1) return std::nullopt;
  return t;
}

std::string Csv(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = s.find(',', at);
    parts.push_back(s.substr(at, comma - at));
    if (comma == std::string::npos) return parts;
    at = comma + 1;
  }
}

}  // namespace

HistoryReply HistoryApi(const SiteState::Snapshot& snapshot, HistoryReader& reader,
                        const std::map<std::string, std::string>& args, Clock::time_point now) {
  for (const auto& [name, value] : args) {
    if (std::find(std::begin(kArgs), std::end(kArgs), name) == std::end(kArgs)) {
      return Refuse(
          fmt::format("unknown parameter \"{}\" (unit, from, to, fields, format, "
                      "limit, after)",
                      Readable(name.substr(0, 64))));
    }
  }
  const auto arg = [&](const char* name) -> const std::string* {
    const auto found = args.find(name);
    return found == args.end() ? nullptr : &found->second;
  };
  // The unit, and its children that described their blocks.
  const std::string* unit_arg = arg("unit");
  if (unit_arg == nullptr) return Refuse("unit: required (a unit's data id)");
  if (!AllDigits(*unit_arg, 10)) return Refuse("unit: a data id, 0..4294967295");
  const auto unit =
      std::find_if(snapshot.units.begin(), snapshot.units.end(),
                   [&](const SiteState::Unit& u) { return std::to_string(u.id) == *unit_arg; });
  if (unit == snapshot.units.end()) {
    return Refuse(fmt::format("unit: {} is no unit of the site", *unit_arg));
  }
  HistoryQuery query;
  std::vector<std::string> names;               // every field name, children's order
  std::vector<std::vector<std::string>> named;  // each child's
  for (const auto& c : unit->children) {
    if (!c.description || !c.description->layout) continue;
    query.children.push_back({c.device, c.type, *c.description->layout});
    named.emplace_back();
    for (const auto& v : c.fields) {
      const std::string name = FieldName(*c.description->layout, v);
      named.back().push_back(name);
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
  }
  // The range.
  std::time_t to = Clock::to_time_t(now);
  if (const std::string* s = arg("to")) {
    const auto t = ParseTime(*s);
    if (!t) return Refuse("to: a time in RFC 3339, UTC (2026-12-09T16:00:00Z), or Unix seconds");
    to = *t;
  }
  std::time_t from = to - std::time_t{24} * 3600;
  if (const std::string* s = arg("from")) {
    const auto t = ParseTime(*s);
    if (!t) {
      return Refuse("from: a time in RFC 3339, UTC (2026-12-09T16:00:00Z), or Unix seconds");
    }
    from = *t;
  }
  if (from >= to) return Refuse("from: must come before to");
  query.from = LocalText(from);
  query.to = LocalText(to);
  // What of it, and how.
  std::vector<std::string> columns = names;
  if (const std::string* s = arg("fields")) {
    columns = Split(*s);
    for (const auto& name : columns) {
      if (std::find(names.begin(), names.end(), name) == names.end()) {
        return Refuse(fmt::format("fields: \"{}\" is no field of unit {}",
                                  Readable(name.substr(0, 64)), unit->id));
      }
    }
    // Only the children that have one of them.
    for (std::size_t k = query.children.size(); k-- > 0;) {
      if (std::none_of(named[k].begin(), named[k].end(), [&](const std::string& n) {
            return std::find(columns.begin(), columns.end(), n) != columns.end();
          })) {
        query.children.erase(query.children.begin() + static_cast<std::ptrdiff_t>(k));
      }
    }
  }
  bool csv = false;
  if (const std::string* s = arg("format")) {
    if (*s != "json" && *s != "csv") return Refuse("format: json or csv");
    csv = *s == "csv";
  }
  query.limit = kLimitDefault;
  if (const std::string* s = arg("limit")) {
    if (!AllDigits(*s, 5) || std::stoul(*s) < 1 || std::stoul(*s) > kLimitMax) {
      return Refuse(fmt::format("limit: 1..{} rows", kLimitMax));
    }
    query.limit = std::stoul(*s);
  }
  if (const std::string* s = arg("after")) {
    std::tm tm{};
    const std::size_t cut = s->find('_');
    if (cut != 19 || !ParseLocal(s->substr(0, 19), tm) || !AllDigits(s->substr(20), 18)) {
      return Refuse("after: the \"after\" of a page's next link");
    }
    std::string at = s->substr(0, 19);
    at[10] = ' ';
    query.after = std::make_pair(at, std::stoll(s->substr(20)));
  }

  HistoryPage page;
  std::string error;
  if (!reader.Read(query, page, error)) return {503, error + "\n", false, {}};

  HistoryReply reply;
  reply.csv = csv;
  std::string& body = reply.body;
  if (csv) {
    body = "time,device,type";
    for (const auto& c : columns) body += "," + Csv(c);
    body += "\r\n";
  }
  std::vector<std::string> rows;
  std::size_t bytes = 0;
  const HistoryRow* last = nullptr;
  for (const HistoryRow& row : page.rows) {
    if (bytes > kBodyMax) break;
    const HistoryQuery::Child& child = query.children[row.child];
    std::map<std::string, std::string> values;  // a field's text in JSON or CSV
    for (const auto& v : row.fields) {
      const std::string name = FieldName(child.layout, v);
      if (std::find(columns.begin(), columns.end(), name) == columns.end()) continue;
      const bool state = FieldOf(child.layout, v).type == psma::FieldType::kU8;
      if (csv) {
        values[name] = state ? FieldWord(child.layout, v) : FieldExact(child.layout, v);
      } else {
        values[name] = !v.present ? "null"
                       : state    ? JsonQuote(FieldWord(child.layout, v))
                                  : FieldExact(child.layout, v);
      }
    }
    std::string text;
    if (csv) {
      text = fmt::format("{},{},{}", UtcOfLocal(row.saved_at), child.device, Csv(child.type));
      for (const auto& c : columns) {
        const auto found = values.find(c);
        text += "," + (found == values.end() ? std::string() : Csv(found->second));
      }
      text += "\r\n";
    } else {
      std::string fields = "{";
      for (const auto& c : columns) {
        const auto found = values.find(c);
        if (found == values.end()) continue;
        fields += (fields.size() > 1 ? "," : "") + JsonQuote(c) + ":" + found->second;
      }
      text = JsonLine()
                 .Str("time", UtcOfLocal(row.saved_at))
                 .Int("device", child.device)
                 .Str("type", child.type)
                 .Raw("fields", fields + "}")
                 .Done();
    }
    bytes += text.size();
    rows.push_back(std::move(text));
    last = &row;
  }
  if (last != nullptr && (page.more || rows.size() < page.rows.size())) {
    std::string after = last->saved_at;
    if (after.size() > 10) after[10] = 'T';
    reply.next = fmt::format("/api/v1/history?unit={}&from={}&to={}", unit->id,
                             UtcText(Clock::from_time_t(from)), UtcText(Clock::from_time_t(to)));
    if (arg("fields") != nullptr) reply.next += "&fields=" + *arg("fields");
    if (csv) reply.next += "&format=csv";
    reply.next += fmt::format("&limit={}&after={}_{}", query.limit, after, last->id);
  }
  if (csv) {
    for (const auto& r : rows) body += r;
  } else {
    std::string list = "[";
    for (std::size_t k = 0; k < rows.size(); ++k) list += (k > 0 ? "," : "") + rows[k];
    body = JsonLine()
               .Int("unit", unit->id)
               .Str("from", UtcText(Clock::from_time_t(from)))
               .Str("to", UtcText(Clock::from_time_t(to)))
               .Raw("rows", list + "]")
               .Raw("next", reply.next.empty() ? "null" : JsonQuote(reply.next))
               .Done() +
           "\n";
  }
  return reply;
}

}  // namespace korv_host
