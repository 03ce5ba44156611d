#pragma once
// The parse operations of an AC distribution screen's 0x40 answers.
//
// Bounds: every byte is read through ByteReader. A value field (an f32) or a
// group of state bytes copied in one step that would cross the end of the
// portion stores nothing, and the walk goes on over the bytes the counts
// announce, so the overflow line can name the length they require. When a
// count byte itself lies at or beyond the end, the walk stops there and the
// overflow line reports the length up to and including that count byte: the
// bytes known to be required; what lies behind it is unknown.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "ac/pmbus_power_ac.h"
#include "child/byte_reader.h"
#include "child/deferred_output.h"

namespace psma {
namespace ac_parse {

// Takes the next f32 field into `field`; four equal non-zero bytes (the unit
// has no value) are stored as `placeholder`. False when the field crosses
// the end: nothing is stored and the walk steps over it.
inline bool TakeValue(ByteReader& in, void* field, const std::uint8_t* placeholder) {
  std::uint8_t raw[4];
  if (!in.read(raw, 4)) {
    in.skip(4);
    return false;
  }
  std::memcpy(field, IsPlaceholder4(raw) ? placeholder : raw, 4);
  return true;
}

// Takes `n` state bytes in one step, all or none.
inline bool TakeBytes(ByteReader& in, void* dst, std::int64_t n) {
  if (in.read(dst, n)) return true;
  in.skip(n);
  return false;
}

// The walk's required length: where it ended, or one past a count byte that
// lay beyond the end.
inline std::int64_t Required(const ByteReader& in, bool count_missing) {
  return count_missing ? in.pos() + 1 : in.pos();
}

}  // namespace ac_parse
}  // namespace psma

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const std::uint8_t* data, int len) {
  return ParseLocked([&](psma::DeferredOutput& out) { return Parse40_41(data, len, out); });
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const std::uint8_t* data, int len) {
  return ParseLocked([&](psma::DeferredOutput& out) { return Parse40_43(data, len, out); });
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const std::uint8_t* data, int len) {
  return ParseLocked([&](psma::DeferredOutput& out) { return Parse40_44(data, len, out); });
}

// 0x40/0x41 portion:
//   0        N channels (must match an established count)
//   N times  a f32 | b f32 | c f32 | f f32 | p u8 | p × f32 user-defined values
//   then     ia f32 | ib f32 | ic f32
// Voltages and frequency without a value are stored as 0.0, currents and
// user-defined values as -0.1.
//
// A channel whose four values did not all lie within the portion writes no
// trace line: the overflow line follows for it.
template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Parse40_41(const std::uint8_t* data, int len,
                                                           psma::DeferredOutput& out) {
  using psma::ac_parse::TakeValue;
  constexpr std::uint8_t kUserAnalogs = TeleACChannel::P40_41_SIZE();
  const std::uint32_t id = DataId();
  ByteReader in(data, len);
  bool whole = true;
  bool count_missing = false;

  std::uint8_t n = 0;
  if (!in.u8(n)) {
    count_missing = true;
  } else if (channels_.empty()) {
    record_.channel_count = n;
    channels_.assign(n, TeleACChannel{});
  } else if (n != record_.channel_count) {
    return -1;  // another screen layout than the one established: take nothing
  }

  for (std::size_t k = 0; !count_missing && k < channels_.size(); ++k) {
    TeleACChannel& ch = channels_[k];
    bool values = TakeValue(in, &ch.a, kZero4);
    values = TakeValue(in, &ch.b, kZero4) && values;
    values = TakeValue(in, &ch.c, kZero4) && values;
    values = TakeValue(in, &ch.f, kZero4) && values;
    whole = whole && values;
    if (values) {
      // "%g" is what a stream writes for a float by default (six significant
      // digits); a stack buffer keeps the line off the heap.
      char line[128];
      const int written = std::snprintf(line, sizeof line, "a:%g b:%g c:%g f:%g",
                                        static_cast<double>(static_cast<float>(ch.a)),
                                        static_cast<double>(static_cast<float>(ch.b)),
                                        static_cast<double>(static_cast<float>(ch.c)),
                                        static_cast<double>(static_cast<float>(ch.f)));
      if (written > 0) {
        out.Trace(std::string_view(line, std::min<std::size_t>(written, sizeof line - 1)));
      }
    }

    std::uint8_t p = 0;
    if (!in.u8(p)) {
      count_missing = true;
      break;
    }
    ch.analog_count = p;
    if (p != kUserAnalogs) {
      out.Log("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", id, p, kUserAnalogs);
      in.skip(4 * std::int64_t{p});
    } else if constexpr (kUserAnalogs > 0) {
      for (std::uint8_t i = 0; i < p; ++i) {
        whole = TakeValue(in, &ch.user_analog[i], kMinusPointOne) && whole;
      }
    }
  }

  if (!count_missing) {
    whole = TakeValue(in, &record_.ia, kMinusPointOne) && whole;
    whole = TakeValue(in, &record_.ib, kMinusPointOne) && whole;
    whole = TakeValue(in, &record_.ic, kMinusPointOne) && whole;
  }

  const std::int64_t used = psma::ac_parse::Required(in, count_missing);
  if (!whole || count_missing || used > len) {
    out.Log("PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}", id,
            static_cast<int>(used), len);
    return -1;
  }
  return static_cast<int>(used);
}

// 0x40/0x43 portion:
//   0        m switch count (at most AIRLOCK_MAX)
//   1        m switch states
//   1+m      p user-defined switch count (P40_43_SIZE expected)
//   2+m      p user-defined switch states
template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Parse40_43(const std::uint8_t* data, int len,
                                                           psma::DeferredOutput& out) {
  using psma::ac_parse::TakeBytes;
  constexpr std::uint8_t kSwitches = TeleAC::AIRLOCK_MAX();
  constexpr std::uint8_t kUserSwitches = TeleAC::P40_43_SIZE();
  const std::uint32_t id = DataId();
  ByteReader in(data, len);
  bool whole = true;
  bool count_missing = false;

  std::uint8_t m = 0;
  if (!in.u8(m)) {
    count_missing = true;
  } else {
    record_.airlock_count = m;
    if (m > kSwitches) {
      out.Log("PMBusPowerAC:ProcotolError {} read 40_43 m is {} max {}", id, m, kSwitches);
      return -1;
    }
    whole = TakeBytes(in, record_.airlock_state, m);

    std::uint8_t p = 0;
    if (!in.u8(p)) {
      count_missing = true;
    } else {
      record_.user_switch_count = p;
      if (p != kUserSwitches) {
        // The root's exactness check on the whole answer catches a wrong total.
        out.Log("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", id, p, kUserSwitches);
        return 2 + m + p;
      }
      whole = TakeBytes(in, record_.user_switch, kUserSwitches) && whole;
    }
  }

  const std::int64_t used = psma::ac_parse::Required(in, count_missing);
  if (!whole || count_missing || used > len) {
    out.Log("PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}", id,
            static_cast<int>(used), len);
    return -1;
  }
  return static_cast<int>(used);
}

// 0x40/0x44 portion (as many alarm blocks as the established channel count):
//   0                 channel count as sent; not read
//   per channel       a | b | c | f alarm states | m u8 (0 expected) | m bytes
//                     | p u8 (p40_44_SIZE expected) | p user-defined alarm states
//   then              ia | ib | ic alarm states
template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Parse40_44(const std::uint8_t* data, int len,
                                                           psma::DeferredOutput& out) {
  using psma::ac_parse::TakeBytes;
  constexpr std::uint8_t kUserAlarms = TeleACChannel::p40_44_SIZE();
  const std::uint32_t id = DataId();
  ByteReader in(data, len);
  bool whole = true;
  bool count_missing = false;

  in.skip(1);
  for (auto& ch : channels_) {
    std::uint8_t states[4];
    if (TakeBytes(in, states, sizeof states)) {
      ch.a_alert = states[0];
      ch.b_alert = states[1];
      ch.c_alert = states[2];
      ch.f_alert = states[3];
    } else {
      whole = false;
    }

    std::uint8_t m = 0;
    if (!in.u8(m)) {
      count_missing = true;
      break;
    }
    if (m != 0) {
      out.Log("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", id, static_cast<int>(m));
      in.skip(m);
    }

    std::uint8_t p = 0;
    if (!in.u8(p)) {
      count_missing = true;
      break;
    }
    ch.alarm_count = p;
    if (p != kUserAlarms) {
      out.Log("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", id, p, kUserAlarms);
      in.skip(p);
    } else {
      whole = TakeBytes(in, ch.user_alarm, kUserAlarms) && whole;
    }
  }

  if (!count_missing) {
    std::uint8_t states[3];
    if (TakeBytes(in, states, sizeof states)) {
      record_.ia_alert = states[0];
      record_.ib_alert = states[1];
      record_.ic_alert = states[2];
    } else {
      whole = false;
    }
  }

  const std::int64_t used = psma::ac_parse::Required(in, count_missing);
  if (!whole || count_missing || used > len) {
    out.Log("PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}", id,
            static_cast<int>(used), len);
    return -1;
  }
  return static_cast<int>(used);
}
