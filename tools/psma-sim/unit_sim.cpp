#include "tools/psma-sim/unit_sim.h"

namespace psma_sim {
namespace {

constexpr std::uint8_t kAlarmsChanged = 0x01;
constexpr std::uint8_t kSwitchesChanged = 0x10;

void Text(std::vector<std::uint8_t>& out, const std::string& s, std::size_t field) {
  for (std::size_t k = 0; k < field; ++k) {
    out.push_back(k < s.size() ? static_cast<std::uint8_t>(s[k]) : ' ');
  }
}

void Count(std::vector<std::uint8_t>& out, std::size_t n) {
  out.push_back(static_cast<std::uint8_t>(n));
}

void PutValues(std::vector<std::uint8_t>& out, const std::vector<Value>& values, double t) {
  Count(out, values.size());
  for (const auto& v : values) v.Put(out, t);
}

void PutBytes(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& bytes) {
  Count(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// The state bytes of each group, in answer order, for telling changes.
std::vector<std::uint8_t> AcSwitches(const Unit& u) {
  std::vector<std::uint8_t> s;
  for (const auto& screen : u.ac) {
    PutBytes(s, screen.switches);
    PutBytes(s, screen.user_switches);
  }
  return s;
}
std::vector<std::uint8_t> AcAlarms(const Unit& u) {
  std::vector<std::uint8_t> s;
  for (const auto& screen : u.ac) {
    Count(s, screen.channels.size());
    for (const auto& ch : screen.channels) {
      s.insert(s.end(), ch.alerts, ch.alerts + 4);
      Count(s, 0);  // m: no further alarm states
      PutBytes(s, ch.user_alarms);
    }
    s.insert(s.end(), screen.current_alerts, screen.current_alerts + 3);
  }
  return s;
}
std::vector<std::uint8_t> RcSwitches(const Unit& u) {
  std::vector<std::uint8_t> s;
  Count(s, u.modules.size());
  for (const auto& m : u.modules) {
    s.insert(s.end(), m.switches, m.switches + 3);
    PutBytes(s, m.user_switches);
  }
  return s;
}
std::vector<std::uint8_t> RcAlarms(const Unit& u) {
  std::vector<std::uint8_t> s;
  Count(s, u.modules.size());
  for (const auto& m : u.modules) {
    s.push_back(m.fault);
    PutBytes(s, m.user_alarms);
  }
  return s;
}
std::vector<std::uint8_t> DcAlarms(const Unit& u) {
  std::vector<std::uint8_t> s;
  for (const auto& screen : u.dc) {
    s.push_back(screen.v_alert);
    PutBytes(s, screen.fuses);
    PutBytes(s, screen.user_alarms);
  }
  return s;
}

// Commands whose request carries the command group byte (or may).
bool TakesGroup(std::uint8_t cid1, std::uint8_t cid2) {
  return (cid1 == 0x40 && (cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44)) ||
         (cid1 == 0x42 && (cid2 == 0x41 || cid2 == 0x44));
}

bool Known(std::uint8_t cid1, std::uint8_t cid2) {
  switch (cid1) {
    case 0x40:
      return cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44 || cid2 == 0x46 || cid2 == 0x51;
    case 0x41:
      return cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44;
    case 0x42:
      return cid2 == 0x41 || cid2 == 0x44 || cid2 == 0x46;
    default:
      return false;
  }
}

}  // namespace

std::vector<std::uint8_t> UnitSim::Info(std::uint8_t cid1, std::uint8_t cid2, double t) {
  const Unit& u = scenario_.unit();
  std::vector<std::uint8_t> info;
  // Fixed flags, or the bits of what changed since the group's states were
  // last served (never served counts as changed).
  const auto flag = [](const std::optional<std::uint8_t>& fixed, bool switches, bool alarms) {
    if (fixed) return *fixed;
    return static_cast<std::uint8_t>((switches ? kSwitchesChanged : 0) |
                                     (alarms ? kAlarmsChanged : 0));
  };
  const auto ac_flag = [&] {
    return flag(u.ac_flag, !served_[0] || AcSwitches(u) != ac_switches_,
                !served_[1] || AcAlarms(u) != ac_alarms_);
  };
  const auto rc_flag = [&] {
    return flag(u.rc_flag, !served_[2] || RcSwitches(u) != rc_switches_,
                !served_[3] || RcAlarms(u) != rc_alarms_);
  };
  const auto dc_flag = [&] {
    return flag(u.dc_flag, false, !served_[4] || DcAlarms(u) != dc_alarms_);
  };

  switch ((cid1 << 8) | cid2) {
    case 0x4051:  // identification: model, software version, manufacturer
      Text(info, u.model, 20);
      info.insert(info.end(), u.software_version, u.software_version + 2);
      Text(info, u.manufacturer, 20);
      break;
    case 0x4041:  // flag, screens; per screen: channels (a b c f p user...), ia ib ic
      info.push_back(ac_flag());
      Count(info, u.ac.size());
      for (const auto& screen : u.ac) {
        Count(info, screen.channels.size());
        for (const auto& ch : screen.channels) {
          ch.a.Put(info, t);
          ch.b.Put(info, t);
          ch.c.Put(info, t);
          ch.f.Put(info, t);
          PutValues(info, ch.user, t);
        }
        screen.ia.Put(info, t);
        screen.ib.Put(info, t);
        screen.ic.Put(info, t);
      }
      break;
    case 0x4043:  // flag, screens; per screen: m switches, p user switches
      info.push_back(ac_flag());
      Count(info, u.ac.size());
      for (const auto& screen : u.ac) {
        PutBytes(info, screen.switches);
        PutBytes(info, screen.user_switches);
      }
      ac_switches_ = AcSwitches(u);
      served_[0] = true;
      break;
    case 0x4044: {  // flag, screens; per screen: channels' alarm blocks, current states
      info.push_back(ac_flag());
      Count(info, u.ac.size());
      const auto alarms = AcAlarms(u);
      info.insert(info.end(), alarms.begin(), alarms.end());
      ac_alarms_ = alarms;
      served_[1] = true;
      break;
    }
    case 0x4046:  // five parameters, p user parameters
      for (const auto& v : u.ac_params) v.Put(info, t);
      PutValues(info, u.ac_user_params, t);
      break;
    case 0x4141:  // flag, group value, modules (value, p user values)
      info.push_back(rc_flag());
      u.rc_value.Put(info, t);
      Count(info, u.modules.size());
      for (const auto& m : u.modules) {
        m.value.Put(info, t);
        PutValues(info, m.user, t);
      }
      break;
    case 0x4143: {  // flag, modules (three switch bytes, p user switches)
      info.push_back(rc_flag());
      const auto switches = RcSwitches(u);
      info.insert(info.end(), switches.begin(), switches.end());
      rc_switches_ = switches;
      served_[2] = true;
      break;
    }
    case 0x4144: {  // flag, modules (fault, p user alarms)
      info.push_back(rc_flag());
      const auto alarms = RcAlarms(u);
      info.insert(info.end(), alarms.begin(), alarms.end());
      rc_alarms_ = alarms;
      served_[3] = true;
      break;
    }
    case 0x4241:  // flag, screens; per screen: v, i, m values, n values, p values
      info.push_back(dc_flag());
      Count(info, u.dc.size());
      for (const auto& screen : u.dc) {
        screen.v.Put(info, t);
        screen.i.Put(info, t);
        PutValues(info, screen.m, t);
        PutValues(info, screen.n, t);
        PutValues(info, screen.user, t);
      }
      break;
    case 0x4244: {  // flag, screens; per screen: v state, m fuses, p user states
      info.push_back(dc_flag());
      Count(info, u.dc.size());
      const auto alarms = DcAlarms(u);
      info.insert(info.end(), alarms.begin(), alarms.end());
      dc_alarms_ = alarms;
      served_[4] = true;
      break;
    }
    case 0x4246:  // two parameters, p user parameters
      for (const auto& v : u.dc_params) v.Put(info, t);
      PutValues(info, u.dc_user_params, t);
      break;
    default:
      break;
  }
  return info;
}

std::vector<std::uint8_t> UnitSim::Encode(std::uint8_t cid1, std::uint8_t rtn,
                                          const std::vector<std::uint8_t>& info) const {
  std::vector<std::uint8_t> out;
  yd1363::EncodeRequest(scenario_.unit().version, scenario_.unit().address, cid1, rtn, info.data(),
                        static_cast<unsigned>(info.size()), out);
  return out;
}

std::optional<std::vector<std::uint8_t>> UnitSim::Answer(const yd1363::Frame& request, double t) {
  const Unit& u = scenario_.unit();
  if (request.adr != u.address) return std::nullopt;
  if (request.ver != u.version) return Encode(request.cid1, 0x01, {});
  if (!Known(request.cid1, request.cid2)) return Encode(request.cid1, 0x04, {});
  const bool group = TakesGroup(request.cid1, request.cid2);
  if (request.info.size() > (group ? 1u : 0u)) return Encode(request.cid1, 0x05, {});
  if (!request.info.empty() && request.info[0] != 0xFF) return Encode(request.cid1, 0x06, {});

  // A round begins with its first data request; the phases due then apply.
  const bool begins = u.ac.empty() ? (request.cid1 == 0x41 && request.cid2 == 0x41)
                                   : (request.cid1 == 0x40 && request.cid2 == 0x41);
  if (begins) scenario_.EnterRound(++round_);
  auto info = Info(request.cid1, request.cid2, t);
  if (info.size() > yd1363::kMaxInfoBytes) return Encode(request.cid1, 0x06, {});
  return Encode(request.cid1, 0x00, info);
}

std::optional<std::vector<std::uint8_t>> UnitSim::AnswerBroken(yd1363::Fault fault) const {
  if (fault == yd1363::Fault::kBadChecksum) return Encode(0x40, 0x02, {});
  if (fault == yd1363::Fault::kBadLengthChecksum) return Encode(0x40, 0x03, {});
  return std::nullopt;
}

}  // namespace psma_sim
