#include "gateway/outputs/console/console_output.h"

#include <fmt/format.h>
#include <syslog.h>

#include "gateway/core/field_text.h"
#include "gateway/core/json_text.h"

namespace korv_host {

std::string WithTime(const std::string& line, bool json, std::chrono::system_clock::time_point at) {
  if (!json) return UtcText(at) + " " + line;
  if (line.empty() || line.back() != '}') return line;
  return line.substr(0, line.size() - 1) + (line.size() > 2 ? "," : "") + "\"time\":\"" +
         UtcText(at) + "\"}";
}

ConsoleOutput::ConsoleOutput(bool json, std::function<void(const std::string&)> write)
    : json_(json) {
  if (write) write_ = [write = std::move(write)](int, const std::string& line) { write(line); };
}

ConsoleOutput::ConsoleOutput(bool json, std::function<void(int priority, const std::string&)> write)
    : json_(json), write_(std::move(write)) {}

void ConsoleOutput::Say(int priority, const std::string& line) {
  if (write_) write_(priority, json_ ? line : Readable(line));
}

void ConsoleOutput::OnSimulator(unsigned unit, const SimulatorEvent& e) {
  Say(LOG_INFO,
      json_ ? JsonLine().Str("event", "simulator").Int("unit", unit).Str("port", e.port).Done()
            : fmt::format("unit {}: simulated on {}", unit, e.port));
}

void ConsoleOutput::OnRound(unsigned unit, const RoundEvent& e) {
  if (!values_) return;
  Say(LOG_INFO,
      json_ ? JsonLine().Str("event", "round").Int("unit", unit).Int("round", e.round).Done()
            : fmt::format("unit {} round {}", unit, e.round));
}

void ConsoleOutput::OnValues(unsigned unit, const ValuesEvent& v) {
  // One line per child: for machines every field (a value exactly, a state
  // as its word, an absent value as null); for people the measured values
  // at their resolution, those with a unit (the states that matter come as
  // alarm lines).
  if (!values_) return;
  if (v.description && v.description->layout) {
    const psma::BlockLayout& layout = *v.description->layout;
    if (json_) {
      JsonLine fields;
      for (const auto& f : v.fields) {
        const std::string name = FieldName(layout, f);
        if (!f.present) {
          fields.Raw(name.c_str(), "null");
        } else if (FieldOf(layout, f).type == psma::FieldType::kU8) {
          fields.Str(name.c_str(), FieldWord(layout, f));
        } else {
          fields.Float(name.c_str(), f.value);
        }
      }
      Say(LOG_INFO, JsonLine()
                        .Str("event", "values")
                        .Int("device", v.device)
                        .Str("type", v.type)
                        .Raw("fields", fields.Done())
                        .Str("source", SourceName(v.source))
                        .Int("unit", unit)
                        .Done());
    } else {
      std::string line;
      for (const auto& f : v.fields) {
        if (*psma::ValueUnit(FieldOf(layout, f).value_class) == '\0' || !f.present) continue;
        line += (line.empty() ? "" : ", ") + FieldName(layout, f) + " " + FieldReadable(layout, f);
      }
      if (!line.empty()) {
        Say(LOG_INFO, fmt::format("  {} {}: {}{}", v.type, v.device, line,
                                  v.source == Source::kCache ? " (cache)" : ""));
      }
    }
  }
  if (!v.changed) return;
  if (json_) {
    Say(LOG_INFO, JsonLine()
                      .Str("event", "change")
                      .Int("device", v.device)
                      .Str("type", v.type)
                      .Bool("changed", *v.changed)
                      .Int("unit", unit)
                      .Done());
  } else {
    Say(LOG_INFO, fmt::format("  {} {} values {}", v.type, v.device,
                              *v.changed ? "moved beyond their thresholds" : "steady"));
  }
}

void ConsoleOutput::OnAlarm(unsigned, const AlarmEvent& c) {
  const bool raised = c.transition == korv::AlarmTransition::Raised;
  const int priority = raised ? LOG_WARNING : LOG_NOTICE;
  if (json_) {
    Say(priority, AlarmJson(c));
    return;
  }
  Say(priority,
      fmt::format("alarm {} {} {} {} {} level {} {}: {}{} (seq {})", raised ? "raised " : "cleared",
                  c.device_type, c.device, c.key, c.code, c.level, c.name, c.description,
                  c.is_map ? " [" + c.state_text + "]" : std::string(), c.seq));
}

void ConsoleOutput::OnLog(unsigned, const LogEvent& e) {
  Say(LOG_NOTICE,
      json_ ? JsonLine().Str("event", "log").Int("device", e.device).Str("text", e.text).Done()
            : fmt::format("log {}: {}", e.device, e.text));
}

void ConsoleOutput::OnFault(unsigned unit, const FaultEvent& e) {
  Say(LOG_WARNING,
      json_ ? JsonLine().Str("event", "fault").Int("device", unit).Str("text", e.text).Done()
            : fmt::format("fault {}: {}", unit, e.text));
}

void ConsoleOutput::OnLinkState(unsigned unit, const LinkEvent& e) {
  Say(e.answering && !e.no_round ? LOG_NOTICE : LOG_WARNING,
      json_ ? JsonLine()
                  .Str("event", "link")
                  .Int("device", unit)
                  .Str("state", !e.answering ? "not answering"
                                : e.no_round ? "no round"
                                             : "answering")
                  .Str("text", e.text)
                  .Done()
            : fmt::format("link {}: {}", unit, e.text));
}

}  // namespace korv_host
