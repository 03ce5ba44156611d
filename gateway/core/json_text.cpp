#include "gateway/core/json_text.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <string_view>

namespace korv_host {
namespace {

// The length of the well-formed UTF-8 sequence at s[at], or 0 when none
// starts there (a stray continuation byte, an overlong form, a surrogate, a
// code point past U+10FFFF, a sequence cut short).
std::size_t Utf8Length(std::string_view s, std::size_t at) {
  const auto byte = [&](std::size_t k) {
    return at + k < s.size() ? static_cast<unsigned char>(s[at + k]) : 0u;
  };
  const unsigned lead = byte(0);
  const auto follows = [&](std::size_t k, unsigned lo, unsigned hi) {
    return byte(k) >= lo && byte(k) <= hi;
  };
  if (lead >= 0xC2 && lead <= 0xDF) return follows(1, 0x80, 0xBF) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned lo = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned hi = lead == 0xED ? 0x9F : 0xBF;
    return follows(1, lo, hi) && follows(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned lo = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = lead == 0xF4 ? 0x8F : 0xBF;
    return follows(1, lo, hi) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

}  // namespace

namespace {

// Appends `s` as a JSON string (see JsonQuote).
void AppendQuoted(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t at = 0; at < s.size();) {
    const auto c = static_cast<unsigned char>(s[at]);
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (c < 0x20) {
            out += fmt::format("\\u{:04x}", c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++at;
      continue;
    }
    const std::size_t n = Utf8Length(s, at);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++at;
    } else {
      out.append(s, at, n);
      at += n;
    }
  }
  out += '"';
}

// The code point of one well-formed UTF-8 sequence.
unsigned CodePoint(std::string_view seq) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(seq[k]); };
  switch (seq.size()) {
    case 2:
      return (b(0) & 0x1Fu) << 6 | (b(1) & 0x3Fu);
    case 3:
      return (b(0) & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
    case 4:
      return (b(0) & 0x07u) << 18 | (b(1) & 0x3Fu) << 12 | (b(2) & 0x3Fu) << 6 | (b(3) & 0x3Fu);
    default:
      return b(0);
  }
}

// A C1 control, or a character that reorders or breaks what a person reads
// without showing itself: the bidirectional marks, embeddings, overrides
// and isolates, and the line and paragraph separators.
bool Hidden(unsigned code) {
  return (code >= 0x80 && code < 0xA0) || code == 0x061C || code == 0x200E || code == 0x200F ||
         (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

// A readable line as a terminal may show it: every control character (C0,
// DEL, C1) and every byte that starts no well-formed UTF-8 sequence as
// \xNN (a C1 character as \u0080..\u009f, a hidden reordering or line
// break as its \uNNNN), and the backslash doubled, so a device's text can
// neither steer the terminal (a window title, colours, a carriage return
// that overwrites the line, a right-to-left override that shows a line
// reversed) nor forge a line of its own.
std::string Readable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t at = 0; at < s.size();) {
    const auto c = static_cast<unsigned char>(s[at]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) {
        out += fmt::format("\\x{:02x}", c);
      } else if (c == '\\') {
        out += "\\\\";
      } else {
        out += static_cast<char>(c);
      }
      ++at;
      continue;
    }
    const std::size_t n = Utf8Length(s, at);
    if (n == 0) {
      out += fmt::format("\\x{:02x}", c);
      ++at;
    } else if (const unsigned code = CodePoint(s.substr(at, n)); Hidden(code)) {
      out += fmt::format("\\u{:04x}", code);
      at += n;
    } else {
      out.append(s, at, n);
      at += n;
    }
  }
  return out;
}

std::string JsonQuote(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 2);
  AppendQuoted(out, s);
  return out;
}

void JsonLine::Key(const char* key) {
  if (body_.empty()) {
    body_.reserve(128);
    body_ += '{';
  } else {
    body_ += ',';
  }
  AppendQuoted(body_, key);
  body_ += ':';
}

JsonLine& JsonLine::Str(const char* key, const std::string& v) {
  Key(key);
  AppendQuoted(body_, v);
  return *this;
}

JsonLine& JsonLine::Int(const char* key, std::int64_t v) {
  Key(key);
  fmt::format_to(std::back_inserter(body_), "{}", v);
  return *this;
}

JsonLine& JsonLine::Float(const char* key, float v) {
  Key(key);
  if (std::isfinite(v)) {
    fmt::format_to(std::back_inserter(body_), "{}", v);
  } else {
    body_ += "null";
  }
  return *this;
}

JsonLine& JsonLine::Bool(const char* key, bool v) {
  Key(key);
  body_ += v ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Raw(const char* key, const std::string& json) {
  Key(key);
  body_ += json;
  return *this;
}

std::string JsonLine::Done() const { return body_.empty() ? "{}" : body_ + "}"; }

std::string UtcText(std::chrono::system_clock::time_point t) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms % 1000);
}

std::string AlarmJson(const korv::AlarmCheck& c) {
  JsonLine line;
  line.Str("event", "alarm")
      .Int("device", c.device)
      .Str("type", c.device_type)
      .Str("key", c.key)
      .Str("code", c.code)
      .Int("level", c.level)
      .Str("name", c.name)
      .Str("description", c.description)
      .Int("seq", c.seq)
      .Str("state", c.transition == korv::AlarmTransition::Raised ? "raised" : "cleared")
      .Str("at", UtcText(c.at));
  if (c.is_map) line.Int("value", c.value).Str("text", c.state_text);
  return line.Done();
}

}  // namespace korv_host
