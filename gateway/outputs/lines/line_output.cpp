#include "gateway/outputs/lines/line_output.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
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

// A readable line as a terminal may show it: every control character (C0,
// DEL, C1) and every byte that starts no well-formed UTF-8 sequence as
// \xNN (a C1 character as \u0080..\u009f), and the backslash doubled, so
// a device's text can neither steer the terminal (a window title, colours,
// a carriage return that overwrites the line) nor forge a line of its own.
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
    } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[at + 1]) < 0xA0) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned char>(s[at + 1]));
      at += n;
    } else {
      out.append(s, at, n);
      at += n;
    }
  }
  return out;
}

}  // namespace

std::string JsonQuote(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 2);
  AppendQuoted(out, s);
  return out;
}

std::string JsonNumber(float v) {
  if (!std::isfinite(v)) return "null";
  return fmt::format("{}", v);
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

LineOutput::LineOutput(bool json, std::function<void(const std::string&)> write)
    : json_(json), write_(std::move(write)) {}

void LineOutput::Say(const std::string& line) {
  if (write_) write_(json_ ? line : Readable(line));
}

void LineOutput::OnSimulator(unsigned unit, const std::string& port) {
  Say(json_ ? JsonLine().Str("event", "simulator").Int("unit", unit).Str("port", port).Done()
            : fmt::format("unit {}: simulated on {}", unit, port));
}

void LineOutput::OnRound(unsigned unit, int round) {
  Say(json_ ? JsonLine().Str("event", "round").Int("unit", unit).Int("round", round).Done()
            : fmt::format("unit {} round {}", unit, round));
}

void LineOutput::OnValues(const ChildValues& v) {
  const char* source = SourceName(v.source);
  for (const auto& [key, value] : v.values) {
    if (json_) {
      Say(JsonLine()
              .Str("event", "value")
              .Int("device", v.device)
              .Str("type", v.type)
              .Str("key", key)
              .Float("value", value)
              .Str("source", source)
              .Int("unit", v.unit)
              .Done());
    } else {
      Say(fmt::format("  {} {} {} = {:g}{}", v.type, v.device, key, value,
                      v.source == Source::kCache ? " (cache)" : ""));
    }
  }
  if (!v.changed) return;
  if (json_) {
    Say(JsonLine()
            .Str("event", "change")
            .Int("device", v.device)
            .Str("type", v.type)
            .Bool("changed", *v.changed)
            .Int("unit", v.unit)
            .Done());
  } else {
    Say(fmt::format("  {} {} values {}", v.type, v.device,
                    *v.changed ? "moved beyond their thresholds" : "steady"));
  }
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
      .Str("state", c.transition == korv::AlarmTransition::Raised ? "raised" : "cleared");
  if (c.is_map) line.Int("value", c.value).Str("text", c.state_text);
  return line.Done();
}

void LineOutput::OnAlarm(const korv::AlarmCheck& c) {
  if (json_) {
    Say(AlarmJson(c));
    return;
  }
  const bool raised = c.transition == korv::AlarmTransition::Raised;
  Say(fmt::format("alarm {} {} {} {} {} level {} {}: {}{} (seq {})", raised ? "raised " : "cleared",
                  c.device_type, c.device, c.key, c.code, c.level, c.name, c.description,
                  c.is_map ? " [" + c.state_text + "]" : std::string(), c.seq));
}

void LineOutput::OnLog(unsigned device, const std::string& line) {
  Say(json_ ? JsonLine().Str("event", "log").Int("device", device).Str("text", line).Done()
            : fmt::format("log {}: {}", device, line));
}

void LineOutput::OnFault(unsigned device, const std::string& text) {
  Say(json_ ? JsonLine().Str("event", "fault").Int("device", device).Str("text", text).Done()
            : fmt::format("fault {}: {}", device, text));
}

void LineOutput::OnLinkState(unsigned device, bool answering, const std::string& text) {
  Say(json_ ? JsonLine()
                  .Str("event", "link")
                  .Int("device", device)
                  .Str("state", answering ? "answering" : "not answering")
                  .Str("text", text)
                  .Done()
            : fmt::format("link {}: {}", device, text));
}

}  // namespace korv_host
