#include "tools/psma-sim/scenario.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "tools/common/json_file.h"

namespace psma_sim {
namespace {

struct BadScenario : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw BadScenario((path.empty() ? std::string("/") : path) + ": " + what);
}

// Reads one object's keys, and refuses keys it does not know (a typo in a
// scenario should not pass silently).
class Obj {
 public:
  Obj(const Json::Value& v, std::string path, const std::vector<std::string>& keys)
      : v_(v), path_(std::move(path)) {
    if (!v.isObject()) Fail(path_, "expected an object");
    for (const auto& name : v.getMemberNames()) {
      bool known = false;
      for (const auto& k : keys) known = known || k == name;
      if (!known) Fail(path_ + "/" + name, "unknown key");
    }
  }
  bool has(const char* key) const { return v_.isMember(key); }
  const Json::Value& operator[](const char* key) const { return v_[key]; }
  std::string at(const char* key) const { return path_ + "/" + key; }

 private:
  const Json::Value& v_;
  std::string path_;
};

// A list the unit counts in one byte.
void AtMost255(const Json::Value& list, const std::string& path) {
  if (list.size() > 255) Fail(path, "more than 255 entries");
}

std::uint8_t Byte(const Json::Value& v, const std::string& path) {
  if (!v.isUInt() || v.asUInt() > 255) {
    Fail(path, "expected a byte (0..255)");
  }
  return static_cast<std::uint8_t>(v.asUInt());
}

std::vector<std::uint8_t> Bytes(const Json::Value& v, const std::string& path) {
  if (!v.isArray()) Fail(path, "expected an array of bytes");
  AtMost255(v, path);
  std::vector<std::uint8_t> out;
  for (Json::ArrayIndex k = 0; k < v.size(); ++k) {
    out.push_back(Byte(v[k], path + "/" + std::to_string(k)));
  }
  return out;
}

void FixedBytes(const Json::Value& v, const std::string& path, std::uint8_t* out, unsigned n) {
  const auto b = Bytes(v, path);
  if (b.size() != n) Fail(path, "expected " + std::to_string(n) + " entries");
  std::memcpy(out, b.data(), n);
}

Value ReadValue(const Json::Value& v, const std::string& path) {
  Value out;
  if (v.isNumeric()) {
    out.mean = v.asFloat();
    return out;
  }
  if (v.isString() && v.asString() == "none") {
    out.none = true;
    return out;
  }
  if (v.isObject()) {
    Obj o(v, path, {"mean", "swing", "period_s"});
    if (!o["mean"].isNumeric() || !o["swing"].isNumeric() || !o["period_s"].isNumeric() ||
        o["period_s"].asDouble() <= 0) {
      Fail(path, "a wave needs numbers \"mean\", \"swing\" and \"period_s\" > 0");
    }
    out.mean = o["mean"].asFloat();
    out.swing = o["swing"].asFloat();
    out.period_s = o["period_s"].asFloat();
    return out;
  }
  Fail(path, "expected a number, \"none\" or a wave");
}

std::vector<Value> Values(const Json::Value& v, const std::string& path) {
  if (!v.isArray()) Fail(path, "expected an array of values");
  AtMost255(v, path);
  std::vector<Value> out;
  for (Json::ArrayIndex k = 0; k < v.size(); ++k) {
    out.push_back(ReadValue(v[k], path + "/" + std::to_string(k)));
  }
  return out;
}

const Json::Value& Array(const Json::Value& v, const std::string& path) {
  if (!v.isArray()) Fail(path, "expected an array");
  AtMost255(v, path);
  return v;
}

AcChannel ReadAcChannel(const Json::Value& v, const std::string& path) {
  Obj o(v, path, {"a", "b", "c", "f", "user", "alerts", "user_alarms"});
  AcChannel ch;
  ch.a = ReadValue(o["a"], o.at("a"));
  ch.b = ReadValue(o["b"], o.at("b"));
  ch.c = ReadValue(o["c"], o.at("c"));
  ch.f = ReadValue(o["f"], o.at("f"));
  if (o.has("user")) ch.user = Values(o["user"], o.at("user"));
  if (o.has("alerts")) FixedBytes(o["alerts"], o.at("alerts"), ch.alerts, 4);
  if (o.has("user_alarms")) ch.user_alarms = Bytes(o["user_alarms"], o.at("user_alarms"));
  return ch;
}

AcScreen ReadAcScreen(const Json::Value& v, const std::string& path) {
  Obj o(v, path, {"channels", "ia", "ib", "ic", "current_alerts", "switches", "user_switches"});
  AcScreen s;
  const auto& channels = Array(o["channels"], o.at("channels"));
  for (Json::ArrayIndex k = 0; k < channels.size(); ++k) {
    s.channels.push_back(ReadAcChannel(channels[k], o.at("channels") + "/" + std::to_string(k)));
  }
  s.ia = ReadValue(o["ia"], o.at("ia"));
  s.ib = ReadValue(o["ib"], o.at("ib"));
  s.ic = ReadValue(o["ic"], o.at("ic"));
  if (o.has("current_alerts")) {
    FixedBytes(o["current_alerts"], o.at("current_alerts"), s.current_alerts, 3);
  }
  if (o.has("switches")) s.switches = Bytes(o["switches"], o.at("switches"));
  if (o.has("user_switches")) s.user_switches = Bytes(o["user_switches"], o.at("user_switches"));
  return s;
}

RcModule ReadModule(const Json::Value& v, const std::string& path) {
  Obj o(v, path, {"value", "user", "switches", "user_switches", "fault", "user_alarms"});
  RcModule m;
  m.value = ReadValue(o["value"], o.at("value"));
  if (o.has("user")) m.user = Values(o["user"], o.at("user"));
  if (o.has("switches")) FixedBytes(o["switches"], o.at("switches"), m.switches, 3);
  if (o.has("user_switches")) m.user_switches = Bytes(o["user_switches"], o.at("user_switches"));
  if (o.has("fault")) m.fault = Byte(o["fault"], o.at("fault"));
  if (o.has("user_alarms")) m.user_alarms = Bytes(o["user_alarms"], o.at("user_alarms"));
  return m;
}

DcScreen ReadDcScreen(const Json::Value& v, const std::string& path) {
  Obj o(v, path, {"v", "i", "m", "n", "user", "v_alert", "fuses", "fuse_count", "user_alarms"});
  DcScreen s;
  s.v = ReadValue(o["v"], o.at("v"));
  s.i = ReadValue(o["i"], o.at("i"));
  if (o.has("m")) s.m = Values(o["m"], o.at("m"));
  if (o.has("n")) s.n = Values(o["n"], o.at("n"));
  if (o.has("user")) s.user = Values(o["user"], o.at("user"));
  if (o.has("v_alert")) s.v_alert = Byte(o["v_alert"], o.at("v_alert"));
  if (o.has("fuses")) s.fuses = Bytes(o["fuses"], o.at("fuses"));
  if (o.has("fuse_count")) {
    const std::uint8_t count = Byte(o["fuse_count"], o.at("fuse_count"));
    if (count < s.fuses.size()) Fail(o.at("fuse_count"), "fewer than the \"fuses\" given");
    s.fuses.resize(count, 0);
  }
  if (o.has("user_alarms")) s.user_alarms = Bytes(o["user_alarms"], o.at("user_alarms"));
  return s;
}

std::optional<std::uint8_t> Flag(const Json::Value& v, const std::string& path) {
  if (v.isNull() || (v.isString() && v.asString() == "auto")) return std::nullopt;
  return Byte(v, path);
}

Unit Compile(const Json::Value& doc) {
  Obj o(doc, "",
        {"address", "version", "model", "manufacturer", "software_version", "ac", "rc", "dc",
         "ac_params", "ac_user_params", "dc_params", "dc_user_params", "data_flags", "phases",
         "comment"});
  Unit u;
  if (o.has("address")) u.address = Byte(o["address"], o.at("address"));
  if (o.has("version")) u.version = Byte(o["version"], o.at("version"));
  if (o.has("model")) {
    if (!o["model"].isString() || o["model"].asString().size() > 20) {
      Fail(o.at("model"), "expected a text of at most 20 characters");
    }
    u.model = o["model"].asString();
  }
  if (o.has("manufacturer")) {
    if (!o["manufacturer"].isString() || o["manufacturer"].asString().size() > 20) {
      Fail(o.at("manufacturer"), "expected a text of at most 20 characters");
    }
    u.manufacturer = o["manufacturer"].asString();
  }
  if (o.has("software_version")) {
    FixedBytes(o["software_version"], o.at("software_version"), u.software_version, 2);
  }
  if (o.has("ac")) {
    const auto& ac = Array(o["ac"], o.at("ac"));
    for (Json::ArrayIndex k = 0; k < ac.size(); ++k) {
      u.ac.push_back(ReadAcScreen(ac[k], o.at("ac") + "/" + std::to_string(k)));
    }
  }
  if (!o.has("rc")) Fail(o.at("rc"), "missing: the rectifier group is always read");
  {
    Obj rc(o["rc"], o.at("rc"), {"value", "modules"});
    u.rc_value = ReadValue(rc["value"], rc.at("value"));
    const auto& modules = Array(rc["modules"], rc.at("modules"));
    for (Json::ArrayIndex k = 0; k < modules.size(); ++k) {
      u.modules.push_back(ReadModule(modules[k], rc.at("modules") + "/" + std::to_string(k)));
    }
  }
  if (o.has("dc")) {
    const auto& dc = Array(o["dc"], o.at("dc"));
    // With more than three screens the answer's portions would have to
    // start one byte early; such a unit is not simulated.
    if (dc.size() > 3) Fail(o.at("dc"), "at most 3 DC screens");
    for (Json::ArrayIndex k = 0; k < dc.size(); ++k) {
      u.dc.push_back(ReadDcScreen(dc[k], o.at("dc") + "/" + std::to_string(k)));
    }
  }
  if (o.has("ac_params")) u.ac_params = Values(o["ac_params"], o.at("ac_params"));
  if (u.ac_params.size() != 5) Fail(o.at("ac_params"), "expected 5 values");
  if (o.has("ac_user_params"))
    u.ac_user_params = Values(o["ac_user_params"], o.at("ac_user_params"));
  if (o.has("dc_params")) u.dc_params = Values(o["dc_params"], o.at("dc_params"));
  if (u.dc_params.size() != 2) Fail(o.at("dc_params"), "expected 2 values");
  if (o.has("dc_user_params"))
    u.dc_user_params = Values(o["dc_user_params"], o.at("dc_user_params"));
  if (o.has("data_flags")) {
    Obj f(o["data_flags"], o.at("data_flags"), {"ac", "rc", "dc"});
    u.ac_flag = Flag(f["ac"], f.at("ac"));
    u.rc_flag = Flag(f["rc"], f.at("rc"));
    u.dc_flag = Flag(f["dc"], f.at("dc"));
  }
  if (o.has("phases")) {
    const auto& phases = Array(o["phases"], o.at("phases"));
    int last = 0;
    for (Json::ArrayIndex k = 0; k < phases.size(); ++k) {
      const std::string at = o.at("phases") + "/" + std::to_string(k);
      Obj p(phases[k], at, {"round", "set", "comment"});
      if (!p["round"].isInt() || p["round"].asInt() < last) {
        Fail(p.at("round"), "expected a round number, not below the phase before");
      }
      last = p["round"].asInt();
      if (!p["set"].isObject()) Fail(p.at("set"), "expected an object of pointer: value");
    }
  }
  return u;
}

// The member or element `token` names in `parent`, made when missing.
Json::Value* Step(Json::Value& parent, const std::string& token, const std::string& path) {
  if (parent.isArray()) {
    if (token == "-") return &parent.append(Json::Value());
    char* end = nullptr;
    const unsigned long k = std::strtoul(token.c_str(), &end, 10);
    if (token.empty() || *end != '\0' || k > parent.size()) Fail(path, "no such array element");
    return &parent[static_cast<Json::ArrayIndex>(k)];
  }
  if (parent.isObject() || parent.isNull()) return &parent[token];
  Fail(path, "not an object or array");
}

void SetAt(Json::Value& doc, const std::string& pointer, const Json::Value& value) {
  if (pointer.empty() || pointer[0] != '/') Fail(pointer, "a pointer starts with '/'");
  Json::Value* at = &doc;
  std::string path;
  std::size_t pos = 1;
  while (true) {
    const std::size_t slash = pointer.find('/', pos);
    const std::string token = pointer.substr(pos, slash == std::string::npos ? slash : slash - pos);
    path += "/" + token;
    at = Step(*at, token, path);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  *at = value;
}

}  // namespace

float Value::At(double t) const {
  if (swing == 0.0f || period_s <= 0.0f) return mean;
  return mean + swing * static_cast<float>(std::sin(2.0 * M_PI * t / period_s));
}

void Value::Put(std::vector<std::uint8_t>& out, double t) const {
  std::uint8_t b[4] = {0x20, 0x20, 0x20, 0x20};
  if (!none) {
    const float f = At(t);
    std::memcpy(b, &f, 4);  // the wire carries the f32 low byte first, as this host stores it
  }
  out.insert(out.end(), b, b + 4);
}

bool Scenario::Load(const Json::Value& doc, std::string& error) {
  try {
    unit_ = Compile(doc);
  } catch (const BadScenario& e) {
    error = e.what();
    return false;
  }
  doc_ = doc;
  phases_done_ = 0;
  return true;
}

bool Scenario::LoadFile(const std::string& path, std::string& error) {
  Json::Value doc;
  if (!korv_tools::ReadJsonFile(path, doc, error)) return false;
  if (!Load(doc, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool Scenario::Set(const std::string& pointer, const Json::Value& value, std::string& error) {
  Json::Value changed = doc_;
  try {
    SetAt(changed, pointer, value);
    unit_ = Compile(changed);
  } catch (const BadScenario& e) {
    error = e.what();
    return false;
  }
  doc_ = std::move(changed);
  return true;
}

int Scenario::EnterRound(int round) {
  int applied = 0;
  if (!doc_.isMember("phases")) return 0;
  const Json::Value phases = doc_["phases"];
  while (phases_done_ < phases.size() &&
         phases[static_cast<Json::ArrayIndex>(phases_done_)]["round"].asInt() <= round) {
    const Json::Value& set = phases[static_cast<Json::ArrayIndex>(phases_done_)]["set"];
    for (const auto& pointer : set.getMemberNames()) {
      std::string error;
      Set(pointer, set[pointer], error);  // a phase that does not fit is skipped
    }
    ++phases_done_;
    ++applied;
  }
  return applied;
}

Json::Value BuiltInScenario(int ac, int dc, int modules, int address) {
  auto wave = [](double mean, double swing, double period) {
    Json::Value w;
    w["mean"] = mean;
    w["swing"] = swing;
    w["period_s"] = period;
    return w;
  };
  auto bytes = [](std::initializer_list<int> list) {
    Json::Value a(Json::arrayValue);
    for (int b : list) a.append(b);
    return a;
  };
  Json::Value doc;
  doc["comment"] = "built-in scenario of psma-sim";
  doc["address"] = address;
  doc["model"] = "PSM-A";
  doc["manufacturer"] = "SIMULATED";
  doc["ac"] = Json::Value(Json::arrayValue);
  for (int k = 0; k < ac; ++k) {
    Json::Value screen;
    Json::Value ch;
    ch["a"] = wave(230.0 + k, 1.5, 40);
    ch["b"] = wave(231.0 + k, 1.5, 50);
    ch["c"] = wave(229.5 + k, 1.5, 60);
    ch["f"] = 50.0;
    screen["channels"].append(ch);
    screen["ia"] = wave(12.5, 0.5, 30);
    screen["ib"] = 12.0;
    screen["ic"] = "none";
    screen["switches"] = bytes({1, 1, 0, 1});
    doc["ac"].append(screen);
  }
  Json::Value rc;
  rc["value"] = wave(53.5, 0.1, 30);
  rc["modules"] = Json::Value(Json::arrayValue);
  for (int k = 0; k < modules; ++k) {
    Json::Value m;
    m["value"] = 20.0 + k;
    m["user"] = bytes({0, 0, 0, 0});
    rc["modules"].append(m);
  }
  doc["rc"] = rc;
  doc["dc"] = Json::Value(Json::arrayValue);
  for (int k = 0; k < dc; ++k) {
    Json::Value screen;
    screen["v"] = wave(53.5, 0.2, 45);
    screen["i"] = wave(120.0 + 10 * k, 4.0, 35);
    screen["m"] = bytes({0});
    screen["fuse_count"] = 64;
    doc["dc"].append(screen);
  }
  doc["ac_params"] = bytes({280, 180, 0, 0, 0});
  doc["dc_params"] = bytes({57, 45});
  doc["dc_user_params"] = bytes({0, 0, 0, 0, 0, 0, 0, 0, 0});
  // Round 2 raises a few alarms, round 3 clears them again.
  Json::Value raise, clear;
  raise["round"] = 2;
  clear["round"] = 3;
  if (dc > 0) {
    raise["set"]["/dc/0/v_alert"] = 1;
    clear["set"]["/dc/0/v_alert"] = 0;
  }
  if (ac > 0) {
    raise["set"]["/ac/0/channels/0/alerts"] = bytes({2, 0, 0, 0});
    clear["set"]["/ac/0/channels/0/alerts"] = bytes({0, 0, 0, 0});
  }
  if (modules > 1) {
    raise["set"]["/rc/modules/1/user_alarms"] = bytes({0, 1, 0, 0});
    clear["set"]["/rc/modules/1/user_alarms"] = bytes({0, 0, 0, 0});
  }
  if (!raise["set"].isNull()) {
    doc["phases"].append(raise);
    doc["phases"].append(clear);
  }
  return doc;
}

}  // namespace psma_sim
