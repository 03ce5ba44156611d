#pragma once
// The rectifier group's parse operations: the 0x41 analogue, switch and alarm
// answers, and the AC (0x40/0x46) and DC (0x42/0x46) parameter answers that
// the unit keeps with the rectifier group.
//
// Counts are kept as the unit announces them, but nothing is read past the
// field: a step that would cross its end stores nothing, notes the position
// it would have reached and ends the parse with -1; what earlier steps wrote
// stays.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "child/byte_reader.h"
#include "child/deferred_output.h"
#include "rc/pmbus_power_rc.h"

namespace psma_rc_log {
constexpr char kCount41_41[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}";
constexpr char kInChannel41_41[] =
    "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
constexpr char kRead41_41[] = "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
constexpr char kCount41_43[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}";
constexpr char kRead41_43[] = "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
constexpr char kModules41_44[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not "
    "equal {} != {} ";
constexpr char kCount41_44[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}";
constexpr char kRead41_44[] = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
constexpr char kRead40_46[] = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
constexpr char kCount42_46[] = "VLM27K:ProcotolError parse42_46 {} p:{} != {}";
constexpr char kRead42_46[] = "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";
}  // namespace psma_rc_log

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Overflow(psma::DeferredOutput& log,
                                                         const char* format, std::int64_t pos,
                                                         int len) const {
  log.Log(format, DataId(), static_cast<int>(pos), len);
  return -1;
}

// Analogue values.
//   0      1                 5   6
//   | flag | group value f32 | M | M module groups ...
// Module group:
//   0                  4   5
//   | module value f32 | P | P x f32 user-defined values (kept when P = 4)
// The first answer fixes the module count; later ones must repeat it.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_41(const std::uint8_t* data, int len) {
  using namespace psma_rc_log;
  constexpr int kValues = TeleRCChannel::P41_41_SIZE();
  return ParseLocked([&](psma::DeferredOutput& log) {
    ByteReader in(data, len);
    in.skip(1);  // the data flag is the root's
    if (!in.read(&record_.group_value, 4)) return Overflow(log, kRead41_41, in.pos() + 4, len);
    std::uint8_t m = 0;
    if (!in.u8(m)) return Overflow(log, kRead41_41, in.pos() + 1, len);
    if (modules_.empty()) {
      record_.module_count = m;
      modules_.assign(m, TeleRCChannel{});
    } else if (m != record_.module_count) {
      return -1;
    }
    for (auto& module : modules_) {
      if (!in.has(5)) return Overflow(log, kRead41_41, in.pos() + 5, len);
      in.read(&module.module_value, 4);
      in.u8(module.analog_count);
      const std::uint8_t p = module.analog_count;
      if (p != kValues) {
        log.Log(kCount41_41, DataId(), p, static_cast<std::uint8_t>(kValues));
        in.skip(4 * std::int64_t{p});
        continue;
      }
      if (!in.has(std::int64_t{4} * kValues)) {
        return Overflow(log, kInChannel41_41, in.pos() + std::int64_t{4} * kValues, len);
      }
      auto* out = reinterpret_cast<std::uint8_t*>(&module.user_analog);
      for (int k = 0; k < kValues; ++k, out += 4) {
        // Four equal bytes: the unit has no such value; keep 0.0.
        const std::uint8_t* value = in.peek(4);
        std::memcpy(out, AllEqual4(value) ? kZero4 : value, 4);
        in.skip(4);
      }
    }
    if (in.pos() > len) return Overflow(log, kRead41_41, in.pos(), len);
    return static_cast<int>(in.pos());
  });
}

// Switch states; may cover fewer modules than the group has.
//   0      1   2
//   | flag | M | M module groups ...
// Module group:
//   0              3   4
//   | switches[3]  | P | P user-defined switch bytes (kept when P = 1)
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_43(const std::uint8_t* data, int len) {
  using namespace psma_rc_log;
  constexpr int kSwitches = TeleRCChannel::P41_43_SIZE();
  return ParseLocked([&](psma::DeferredOutput& log) {
    ByteReader in(data, len);
    in.skip(1);  // the data flag is the root's
    std::uint8_t m = 0;
    if (!in.u8(m)) return Overflow(log, kRead41_43, in.pos() + 1, len);
    if (m > record_.module_count) return -1;
    for (int i = 0; i < m; ++i) {
      auto& module = modules_[i];
      if (!in.has(4)) return Overflow(log, kRead41_43, in.pos() + 4, len);
      in.read(module.switch_state, 3);
      in.u8(module.switch_count);
      const std::uint8_t p = module.switch_count;
      if (p != kSwitches) {
        log.Log(kCount41_43, DataId(), p, static_cast<std::uint8_t>(kSwitches));
        in.skip(p);
        continue;
      }
      if (!in.read(&module.user_switch, kSwitches)) {
        return Overflow(log, kRead41_43, in.pos() + kSwitches, len);
      }
    }
    if (in.pos() > len) return Overflow(log, kRead41_43, in.pos(), len);
    return static_cast<int>(in.pos());
  });
}

// Alarm states; may cover fewer modules than the group has.
//   0      1   2
//   | flag | M | M module groups ...
// Module group:
//   0       1   2
//   | fault | P | P user-defined alarm bytes (kept when P = 4)
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_44(const std::uint8_t* data, int len) {
  using namespace psma_rc_log;
  return ParseLocked([&](psma::DeferredOutput& log) {
    ByteReader in(data, len);
    in.skip(1);  // the data flag is the root's
    std::uint8_t m = 0;
    if (!in.u8(m)) return Overflow(log, kRead41_44, in.pos() + 1, len);
    if (m > record_.module_count) {
      // Taken as nothing rather than refused: the root's length check decides.
      log.Log(kModules41_44, DataId(), m, record_.module_count);
      return 0;
    }
    for (int i = 0; i < m; ++i) {
      auto& module = modules_[i];
      if (!in.has(2)) return Overflow(log, kRead41_44, in.pos() + 2, len);
      in.u8(module.fault_state);
      in.u8(module.alarm_count);
      const std::uint8_t p = module.alarm_count;
      if (p != kAlarmBytes) {
        log.Log(kCount41_44, DataId(), p, static_cast<std::uint8_t>(kAlarmBytes));
        in.skip(p);
        continue;
      }
      if (!in.read(module.user_alarm, kAlarmBytes)) {
        return Overflow(log, kRead41_44, in.pos() + kAlarmBytes, len);
      }
    }
    if (in.pos() > len) return Overflow(log, kRead41_44, in.pos(), len);
    return static_cast<int>(in.pos());
  });
}

// AC-distribution parameters (no data flag).
//   0                    20  21
//   | 5 x f32 parameters | P | P x f32 user-defined (not read)
// With P > 0 the result covers the user-defined values unread; the root's
// length check catches a short answer.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse40_46(const std::uint8_t* data, int len) {
  using namespace psma_rc_log;
  constexpr int kFixed = static_cast<int>(sizeof(record_.ac_param)) + 1;
  return ParseLocked([&](psma::DeferredOutput& log) {
    ByteReader in(data, len);
    if (!in.has(kFixed)) return Overflow(log, kRead40_46, kFixed, len);
    in.read(&record_.ac_param, sizeof(record_.ac_param));
    std::uint8_t p = 0;
    in.u8(p);
    return kFixed + 4 * p;
  });
}

// DC-distribution parameters (no data flag).
//   0           4           8   9
//   | f32 param | f32 param | P | P x f32 user-defined (kept when P = 9, at
//   most 36 bytes; a shorter field fills the front with whole values)
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse42_46(const std::uint8_t* data, int len) {
  using namespace psma_rc_log;
  constexpr int kFixed = static_cast<int>(sizeof(record_.dc_param)) + 1;
  constexpr int kUserNumber = TeleRC::P42_46_NUMBER();
  constexpr int kUserBytes = TeleRC::P42_46_SIZE();
  return ParseLocked([&](psma::DeferredOutput& log) {
    ByteReader in(data, len);
    if (!in.has(kFixed)) return Overflow(log, kRead42_46, kFixed, len);
    in.read(&record_.dc_param, sizeof(record_.dc_param));
    in.u8(record_.dc_param_count);
    const std::uint8_t p = record_.dc_param_count;
    if (p != kUserNumber) {
      log.Log(kCount42_46, DataId(), p, static_cast<std::uint8_t>(kUserNumber));
      return kFixed + 4 * p;
    }
    const std::int64_t n = std::min<std::int64_t>(kUserBytes, in.len() - in.pos());
    // Whole values only: a value the field ends inside keeps its previous
    // bytes, so the published block never carries half of a new one.
    const std::int64_t whole = n / 4 * 4;
    in.read(&record_.dc_user_param, whole);
    in.skip(n - whole);
    if (in.pos() > len) return Overflow(log, kRead42_46, in.pos(), len);
    return static_cast<int>(in.pos());
  });
}
