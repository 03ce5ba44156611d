// korv-host's outputs: every kind of event, through the fan-out to a readable
// and a JSON line output at once, gives exactly the lines korv-host prints.

#include "gateway/outputs/console/console_output.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <syslog.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gateway/outputs/output.h"
#include "support/values_event.h"

namespace {

using korv_host::Output;
using korv_host::Source;
using korv_host::ValuesEvent;

korv::AlarmCheck Alarm(bool is_map, korv::AlarmTransition transition) {
  korv::AlarmCheck c;
  c.device = is_map ? 1 : 21;
  c.device_type = is_map ? "psma-rc" : "psma-dc";
  c.is_map = is_map;
  c.value = is_map ? 2 : 0;
  c.level = is_map ? 4 : 3;
  c.key = is_map ? "PSMA_RC_1" : "DC_0";
  c.code = is_map ? "06025" : "06008";
  c.name = is_map ? "fan" : "low voltage";
  c.description = is_map ? "module 2 fan" : "output low";
  c.state_text = is_map ? "stopped" : "";
  c.seq = is_map ? 9 : 1;
  c.transition = transition;
  c.at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1709251199999));
  return c;
}

ValuesEvent Values(unsigned device, const char* type, Source source,
                   std::vector<std::pair<std::string, float>> values, std::optional<bool> changed) {
  ValuesEvent v;
  v.device = device;
  v.type = type;
  v.source = source;
  testing_support::SetFields(v, values,
                             {{"v", psma::ValueClass::kVoltage},
                              {"i", psma::ValueClass::kCurrent},
                              {"channel_0_a", psma::ValueClass::kVoltage},
                              {"ia", psma::ValueClass::kCurrent}});
  v.changed = changed;
  return v;
}

TEST(ConsoleOutput, EveryEventIsTheReadableAndTheJsonLinesOfKorvHost) {
  using korv::AlarmTransition;
  const struct {
    const char* event;
    int priority;  // of each of its lines
    std::function<void(Output&)> tell;
    std::vector<std::string> readable;
    std::vector<std::string> json;
  } cases[] = {
      {"simulator",
       LOG_INFO,
       [](Output& o) { o.OnSimulator(1, {"/dev/pts/3"}); },
       {"unit 1: simulated on /dev/pts/3"},
       {R"({"event":"simulator","unit":1,"port":"/dev/pts/3"})"}},
      {"round",
       LOG_INFO,
       [](Output& o) {
         o.OnRound(1, {3, std::nullopt});
       },
       {"unit 1 round 3"},
       {R"({"event":"round","unit":1,"round":3})"}},
      {"round values, steady",
       LOG_INFO,
       [](Output& o) {
         o.OnValues(1,
                    Values(21, "psma-dc", Source::kRound, {{"v", 53.504f}, {"i", 120.25f}}, false));
       },
       {"  psma-dc 21: v 53.504 V, i 120.250 A", "  psma-dc 21 values steady"},
       {R"({"event":"values","device":21,"type":"psma-dc","fields":{"v":53.504,"i":120.25},"source":"round","unit":1})",
        R"({"event":"change","device":21,"type":"psma-dc","changed":false,"unit":1})"}},
      {"round values, moved",
       LOG_INFO,
       [](Output& o) {
         o.OnValues(1, Values(11, "psma-ac", Source::kRound, {{"channel_0_a", 230.005f}}, true));
       },
       {"  psma-ac 11: channel_0_a 230.005 V", "  psma-ac 11 values moved beyond their thresholds"},
       {R"({"event":"values","device":11,"type":"psma-ac","fields":{"channel_0_a":230.005},"source":"round","unit":1})",
        R"({"event":"change","device":11,"type":"psma-ac","changed":true,"unit":1})"}},
      {"values of a child that does not tell a change, and no number",
       LOG_INFO,
       [](Output& o) {
         o.OnValues(1,
                    Values(11, "psma-ac", Source::kRound, {{"ia", std::nanf("")}}, std::nullopt));
       },
       {},
       {R"({"event":"values","device":11,"type":"psma-ac","fields":{"ia":null},"source":"round","unit":1})"}},
      {"an infinite value, no number in JSON either",
       LOG_INFO,
       [](Output& o) {
         o.OnValues(1, Values(21, "psma-dc", Source::kRound,
                              {{"i", -std::numeric_limits<float>::infinity()}}, std::nullopt));
       },
       {},
       {R"({"event":"values","device":21,"type":"psma-dc","fields":{"i":null},"source":"round","unit":1})"}},
      {"cached values",
       LOG_INFO,
       [](Output& o) {
         o.OnValues(1, Values(11, "psma-ac", Source::kCache, {{"ia", 12.5022f}}, std::nullopt));
       },
       {"  psma-ac 11: ia 12.502 A (cache)"},
       {R"({"event":"values","device":11,"type":"psma-ac","fields":{"ia":12.5022},"source":"cache","unit":1})"}},
      {"alarm raised",
       LOG_WARNING,
       [](Output& o) { o.OnAlarm(1, Alarm(false, AlarmTransition::Raised)); },
       {"alarm raised  psma-dc 21 DC_0 06008 level 3 low voltage: output low (seq 1)"},
       {R"({"event":"alarm","device":21,"type":"psma-dc","key":"DC_0","code":"06008","level":3,"name":"low voltage","description":"output low","seq":1,"state":"raised","at":"2024-02-29T23:59:59.999Z"})"}},
      {"state-table alarm cleared",
       LOG_NOTICE,
       [](Output& o) { o.OnAlarm(1, Alarm(true, AlarmTransition::Cleared)); },
       {"alarm cleared psma-rc 1 PSMA_RC_1 06025 level 4 fan: module 2 fan [stopped] (seq 9)"},
       {R"({"event":"alarm","device":1,"type":"psma-rc","key":"PSMA_RC_1","code":"06025","level":4,"name":"fan","description":"module 2 fan","seq":9,"state":"cleared","at":"2024-02-29T23:59:59.999Z","value":2,"text":"stopped"})"}},
      {"log",
       LOG_NOTICE,
       [](Output& o) {
         o.OnLog(1, {1, "AC \"screen\" count 2"});
       },
       {"log 1: AC \"screen\" count 2"},
       {R"({"event":"log","device":1,"text":"AC \"screen\" count 2"})"}},
      {"fault",
       LOG_WARNING,
       [](Output& o) {
         o.OnFault(1, {yd1363::Fault::kTimeout, "no answer"});
       },
       {"fault 1: no answer"},
       {R"({"event":"fault","device":1,"text":"no answer"})"}},
      {"link lost",
       LOG_WARNING,
       [](Output& o) {
         o.OnLinkState(1, {false, "not answering"});
       },
       {"link 1: not answering"},
       {R"({"event":"link","device":1,"state":"not answering","text":"not answering"})"}},
      {"link back",
       LOG_NOTICE,
       [](Output& o) {
         o.OnLinkState(1, {true, "answering again"});
       },
       {"link 1: answering again"},
       {R"({"event":"link","device":1,"state":"answering","text":"answering again"})"}},
      {"link answering without rounds",
       LOG_WARNING,
       [](Output& o) {
         o.OnLinkState(1, {true, "answering, but no round completes", true});
       },
       {"link 1: answering, but no round completes"},
       {R"({"event":"link","device":1,"state":"no round","text":"answering, but no round completes"})"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> readable, json;
    std::vector<int> priorities;
    korv_host::Outputs outputs;
    outputs.Attach(std::make_shared<korv_host::ConsoleOutput>(
        false, [&](int priority, const std::string& line) {
          readable.push_back(line);
          priorities.push_back(priority);
        }));
    outputs.Attach(std::make_shared<korv_host::ConsoleOutput>(
        true, [&](int priority, const std::string& line) {
          json.push_back(line);
          priorities.push_back(priority);
        }));
    c.tell(outputs);
    EXPECT_EQ(readable, c.readable) << c.event;
    EXPECT_EQ(json, c.json) << c.event;
    EXPECT_EQ(priorities, std::vector<int>(readable.size() + json.size(), c.priority)) << c.event;
  }
}

// n replacement characters (U+FFFD).
std::string Replaced(int n) {
  std::string s;
  for (int k = 0; k < n; ++k) s += "\xEF\xBF\xBD";
  return s;
}

TEST(ConsoleOutput, JsonTextsAreUtf8AndAlwaysValidJson) {
  const struct {
    const char* what;
    std::string text;
    std::string json;    // the "text" member as written, without its quotes
    std::string parsed;  // what a JSON reader reads back
  } cases[] = {
      {"Chinese as it is", "输出电压过低告警", "输出电压过低告警", "输出电压过低告警"},
      {"a four-byte character", "\xF0\x9F\x94\x8B", "\xF0\x9F\x94\x8B", "\xF0\x9F\x94\x8B"},
      {"quote and backslash", R"(a"b\c)", R"(a\"b\\c)", R"(a"b\c)"},
      {"control characters", "\t\n\r\b\f\x01\x1f\x7f",
       R"(\t\n\r\b\f\u0001\u001f)"
       "\x7f",
       "\t\n\r\b\f\x01\x1f\x7f"},
      {"a NUL byte", std::string("a\0b", 3), R"(a\u0000b)", std::string("a\0b", 3)},
      {"GBK bytes, not UTF-8", "\xCA\xE4\xB3\xF6", Replaced(4), Replaced(4)},
      {"a sequence cut short at the end", "ok\xE8\xBE", "ok" + Replaced(2), "ok" + Replaced(2)},
      {"an overlong slash, a surrogate, a code point past U+10FFFF",
       "\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80", Replaced(9), Replaced(9)},
      // The edges of each form: the first and last code point it holds, and
      // the byte just past each bound of its lead and second byte.
      {"U+0080, U+07FF", "\xC2\x80\xDF\xBF", "\xC2\x80\xDF\xBF", "\xC2\x80\xDF\xBF"},
      {"U+0800, U+D7FF, U+E000, U+FFFF", "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF",
       "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF",
       "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},
      {"U+10000, U+10FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
       "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {"lead bytes C1 and F5 to FF", "\xC1\xBF\xF5\x80\x80\x80\xF8\xFF", Replaced(8), Replaced(8)},
      {"overlong three and four bytes", "\xE0\x9F\xBF\xF0\x8F\xBF\xBF", Replaced(7), Replaced(7)},
      {"a second byte past 0xBF, or below 0x80", "\xC2\xC0\xE1\x7F", Replaced(3) + "\x7F",
       Replaced(3) + "\x7F"},
      {"a third and a fourth byte out of range", "\xE1\x80\xC0\xF1\x80\x80\x7F",
       Replaced(6) + "\x7F", Replaced(6) + "\x7F"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines;
    korv_host::ConsoleOutput out(true, [&](const std::string& line) { lines.push_back(line); });
    out.OnLog(1, {1, c.text});
    ASSERT_EQ(lines.size(), 1u) << c.what;
    const std::string& line = lines[0];
    EXPECT_EQ(line, R"({"event":"log","device":1,"text":")" + c.json + "\"}") << c.what;
    Json::Value v;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &errors))
        << c.what << ": " << errors;
    EXPECT_EQ(v["text"].asString(), c.parsed) << c.what;
  }
}

TEST(LineOutput, ReadableLinesShowControlCharactersEscaped) {
  const struct {
    const char* what;
    std::string text;
    std::string shown;
  } cases[] = {
      {"Chinese as it is", "输出电压过低告警", "输出电压过低告警"},
      {"a window title set by ESC ] 2 ; ... BEL", "M1\x1b]2;owned\x07", R"(M1\x1b]2;owned\x07)"},
      {"colour codes", "\x1b[31mred\x1b[0m", R"(\x1b[31mred\x1b[0m)"},
      {"a forged line after CR LF", "ok\r\nalarm cleared", R"(ok\x0d\x0aalarm cleared)"},
      {"tab, NUL and DEL", std::string("a\tb\0c\x7f", 6), R"(a\x09b\x00c\x7f)"},
      {"a C1 control (CSI) as UTF-8",
       "\xC2\x9B"
       "31m",
       R"(\u009b31m)"},
      {"a no-break space as it is",
       "a\xC2\xA0"
       "b",
       "a\xC2\xA0"
       "b"},
      {"a raw C1 byte, not UTF-8",
       "\x9B"
       "31m",
       R"(\x9b31m)"},
      {"a backslash, so no text looks escaped", R"(a\x1b)", R"(a\\x1b)"},
      {"a right-to-left override that shows the line reversed",
       "fan \xE2\x80\xAE"
       "ok",
       R"(fan \u202eok)"},
      {"an isolate and a line separator",
       "\xE2\x81\xA6"
       "a\xE2\x80\xA8"
       "b",
       R"(\u2066a\u2028b)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines;
    korv_host::ConsoleOutput out(false, [&](const std::string& line) { lines.push_back(line); });
    out.OnLog(1, {1, c.text});
    EXPECT_EQ(lines, std::vector<std::string>{"log 1: " + c.shown}) << c.what;
  }
}

}  // namespace
