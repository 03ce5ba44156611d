#pragma once
// The JSON texts every output writes: the --json lines, the MQTT payloads and
// the HTTP state build them here, so a text reads the same wherever it goes.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/host_observer.h"

namespace korv_host {

// A text as a JSON string in UTF-8: only the quote, the backslash and the
// control characters are escaped. A device's text may be any bytes; each
// byte that starts no well-formed UTF-8 sequence becomes U+FFFD, so the
// text stays valid JSON.
std::string JsonQuote(const std::string& s);

// One JSON object, keys in the order given.
class JsonLine {
 public:
  // Keys and texts are escaped as JsonQuote does, straight into the line; a
  // float is the shortest text that reads back as the same float, null when
  // it is not finite.
  JsonLine& Str(const char* key, const std::string& v);
  JsonLine& Int(const char* key, std::int64_t v);
  JsonLine& Float(const char* key, float v);
  JsonLine& Bool(const char* key, bool v);
  // `json` is a JSON value already (an object, an array).
  JsonLine& Raw(const char* key, const std::string& json);
  std::string Done() const;

 private:
  void Key(const char* key);
  std::string body_;  // "{" and the members so far
};

// A readable line as a terminal may show it: every control character (C0,
// DEL, C1) and every byte that starts no well-formed UTF-8 sequence escaped,
// and the backslash doubled, so a device's text can neither steer the
// terminal nor forge a line of its own.
std::string Readable(std::string_view s);

// A wall time as UTC, ISO 8601 with milliseconds.
std::string UtcText(std::chrono::system_clock::time_point t);

// The JSON object of an alarm raise or clear, as the --json alarm line shows
// it (the MQTT alarm event carries the same).
std::string AlarmJson(const korv::AlarmCheck& check);

}  // namespace korv_host
