#include "tools/korv-host/line_output.h"

#include <fmt/format.h>
#include <json/writer.h>

#include <cmath>
#include <cstdint>

namespace korv_host {
namespace {

std::string Quote(const std::string& s) { return Json::valueToQuotedString(s.c_str()); }

// A float as JSON: the shortest text that reads back as the same float.
std::string Number(float v) {
  if (!std::isfinite(v)) return "null";
  return fmt::format("{}", v);
}

// One JSON object, keys in the order given.
class JsonLine {
 public:
  JsonLine& Str(const char* key, const std::string& v) { return Raw(key, Quote(v)); }
  JsonLine& Int(const char* key, std::int64_t v) { return Raw(key, std::to_string(v)); }
  JsonLine& Float(const char* key, float v) { return Raw(key, Number(v)); }
  JsonLine& Bool(const char* key, bool v) { return Raw(key, v ? "true" : "false"); }
  std::string Done() const { return "{" + body_ + "}"; }

 private:
  JsonLine& Raw(const char* key, const std::string& v) {
    if (!body_.empty()) body_ += ',';
    body_ += Quote(key) + ":" + v;
    return *this;
  }
  std::string body_;
};

}  // namespace

LineOutput::LineOutput(bool json, std::function<void(const std::string&)> write)
    : json_(json), write_(std::move(write)) {}

void LineOutput::Say(const std::string& line) {
  if (write_) write_(line);
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

void LineOutput::OnAlarm(const korv::AlarmCheck& c) {
  const bool raised = c.transition == korv::AlarmTransition::Raised;
  if (json_) {
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
        .Str("state", raised ? "raised" : "cleared");
    if (c.is_map) line.Int("value", c.value).Str("text", c.state_text);
    Say(line.Done());
  } else {
    Say(fmt::format("alarm {} {} {} {} {} level {} {}: {}{} (seq {})",
                    raised ? "raised " : "cleared", c.device_type, c.device, c.key, c.code, c.level,
                    c.name, c.description, c.is_map ? " [" + c.state_text + "]" : std::string(),
                    c.seq));
  }
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
