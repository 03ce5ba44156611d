#pragma once
// A simulated unit's scenario: what it answers to each request of the
// command table. Kept as its JSON document, so a running simulator can be
// changed by path ("/dc/0/v_alert"), and compiled into plain structures for
// every answer. The format is described in the README ("Simulator
// scenarios").

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace psma_sim {

// An analogue value: a number, "none" (the unit has no value: four bytes
// 0x20), or a wave {"mean": m, "swing": s, "period_s": p} that moves with the
// seconds the simulator has run.
struct Value {
  float mean = 0.0f;
  float swing = 0.0f;
  float period_s = 0.0f;
  bool none = false;
  // The four bytes the unit sends at `t` seconds (f32, low byte first).
  void Put(std::vector<std::uint8_t>& out, double t) const;
  float At(double t) const;
};

struct AcChannel {
  Value a, b, c, f;
  std::vector<Value> user;                // user-defined analogues (p)
  std::uint8_t alerts[4] = {0, 0, 0, 0};  // states of a, b, c, f
  std::vector<std::uint8_t> user_alarms = std::vector<std::uint8_t>(8, 0);
};

struct AcScreen {
  std::vector<AcChannel> channels;
  Value ia, ib, ic;
  std::uint8_t current_alerts[3] = {0, 0, 0};
  std::vector<std::uint8_t> switches;  // m switch states
  std::vector<std::uint8_t> user_switches = std::vector<std::uint8_t>(3, 0);
};

struct RcModule {
  Value value;
  std::vector<Value> user = std::vector<Value>(4);
  std::uint8_t switches[3] = {0, 0, 0};
  std::vector<std::uint8_t> user_switches = std::vector<std::uint8_t>(1, 0);
  std::uint8_t fault = 0;
  std::vector<std::uint8_t> user_alarms = std::vector<std::uint8_t>(4, 0);
};

struct DcScreen {
  Value v, i;
  std::vector<Value> m, n, user;
  std::uint8_t v_alert = 0;
  std::vector<std::uint8_t> fuses;
  std::vector<std::uint8_t> user_alarms = std::vector<std::uint8_t>(13, 0);
};

struct Unit {
  std::uint8_t address = 1;
  std::uint8_t version = 0x20;
  std::string model = "PSM-A";
  std::string manufacturer;
  std::uint8_t software_version[2] = {1, 0};
  std::vector<AcScreen> ac;
  Value rc_value;
  std::vector<RcModule> modules;
  std::vector<DcScreen> dc;
  std::vector<Value> ac_params = std::vector<Value>(5);
  std::vector<Value> ac_user_params;
  std::vector<Value> dc_params = std::vector<Value>(2);
  std::vector<Value> dc_user_params = std::vector<Value>(9);
  // Data flags: fixed values, or (absent) set from what changed since the
  // states were last read.
  std::optional<std::uint8_t> ac_flag, rc_flag, dc_flag;
};

class Scenario {
 public:
  // Checks and takes a scenario document; false with `error` naming the path
  // of the first problem ("/ac/0/channels/1/a: expected a number, "none" or
  // a wave").
  bool Load(const Json::Value& doc, std::string& error);
  bool LoadFile(const std::string& path, std::string& error);

  // The unit as the document now describes it.
  const Unit& unit() const { return unit_; }
  const Json::Value& doc() const { return doc_; }

  // Sets the value at a JSON pointer ("/dc/0/v_alert"; array elements by
  // index, "-" appends); refused, with nothing changed, when the result is
  // not a valid scenario.
  bool Set(const std::string& pointer, const Json::Value& value, std::string& error);

  // Applies the "phases" whose "round" is at most `round` and were not
  // applied yet, in order. Returns how many were applied.
  int EnterRound(int round);

 private:
  Json::Value doc_;
  Unit unit_;
  std::size_t phases_done_ = 0;
};

// The built-in scenario: `ac` AC screens of one channel, `dc` DC screens,
// `modules` rectifier modules, values that move a little, and phases that
// raise a few alarms in round 2 and clear them in round 3.
Json::Value BuiltInScenario(int ac, int dc, int modules, int address);

}  // namespace psma_sim
