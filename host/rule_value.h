#pragma once
// One pending threshold rule. The host fills these; the plug-in only moves
// and copies them (a round hands its pending list to the threshold worker).

#include <cstdint>
#include <string>

struct rule_value {
  std::uint8_t kind = 0;    // what the rule compares (host-defined)
  std::string key;          // value key the rule watches
  std::string code;         // alarm code raised by the rule
  std::int32_t low = 0;     // lower limit
  std::int32_t high = 0;    // upper limit
  std::string name;         // alarm name
  std::string description;  // alarm description
  std::int32_t level = 0;   // alarm level
};
