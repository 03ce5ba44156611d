#pragma once
// The parse operations of a DC distribution screen: its portions of the
// 0x42/0x41 (analogue values) and 0x42/0x44 (alarm states) answers.
//
// Every byte comes from the line: counts are kept as announced, but nothing
// is read at or past len and no array is written past its capacity. A field
// or group that would cross the end stores nothing; the overflow line then
// names the length the counts known so far require (a count that lies beyond
// len counts as 0, so the figure is the least the portion could need).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "child/byte_reader.h"
#include "child/deferred_output.h"
#include "dc/pmbus_power_dc.h"

namespace psma_dc {

constexpr const char* kDcMTooLarge =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}";
constexpr const char* kDcNTooLarge =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}";
constexpr const char* kUserPTooLarge =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}";
constexpr const char* kAlertPTooLarge =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}";
constexpr const char* kOverflow41 =
    "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
constexpr const char* kOverflow44 =
    "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";

// Trace of every analogue portion: its first four bytes in hexadecimal. A
// portion shorter than four bytes shows the bytes it has.
struct Answer41Trace {
  Answer41Trace(const std::uint8_t* data, int len) {
    static const char kHex[] = "0123456789abcdef";
    const int shown = data == nullptr ? 0 : std::max(0, std::min(len, 4));
    static constexpr char kHead[] = "parse 42 41:";
    for (const char c : std::string_view(kHead)) text[size++] = c;
    for (int k = 0; k < shown; ++k) {
      text[size++] = ' ';
      if (data[k] > 0xF) text[size++] = kHex[data[k] >> 4];
      text[size++] = kHex[data[k] & 0xF];
    }
  }
  std::string_view View() const { return {text, size}; }

  char text[32] = {};  // the heading and at most four bytes: no heap
  std::size_t size = 0;
};

}  // namespace psma_dc

template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_41(const std::uint8_t* data, int len) {
  const psma_dc::Answer41Trace trace(data, len);
  return ParseLocked([&](psma::DeferredOutput& out) {
    out.Trace(trace.View());
    return Take42_41(data, len, out);
  });
}

// One screen's portion of the 0x42/0x41 answer (m, n, p read at their places):
//
//   0       4       8   9          9+4m  10+4m      10+4m+4n  11+4m+4n
//   | v f32 | i f32 | m | m x f32  | n   | n x f32  | p       | p x f32 |
//
// 11 + 4(m + n + p) bytes. A group whose count exceeds its capacity is
// stepped over unread; a p above its capacity takes the rest of the field.
template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::Take42_41(const std::uint8_t* data, int len,
                                           psma::DeferredOutput& log) {
  ByteReader in(data, len);
  std::int64_t need = 11;
  const std::uint32_t id = DataId();
  const auto overflow = [&] {
    log.Log(psma_dc::kOverflow41, id, static_cast<int>(need), len);
    return -1;
  };

  if (!in.read(RecordBytes(offsetof(TeleDC, v)), 4)) return overflow();
  if (!in.read(RecordBytes(offsetof(TeleDC, i)), 4)) return overflow();

  // The two value groups differ only in where they go and their capacity.
  const struct {
    std::size_t count_at;
    std::size_t values_at;
    unsigned capacity;
    const char* too_large;
  } groups[] = {
      {offsetof(TeleDC, dc_m), offsetof(TeleDC, m_value), TeleDC::M_SIZE(), psma_dc::kDcMTooLarge},
      {offsetof(TeleDC, dc_n), offsetof(TeleDC, n_value), TeleDC::N_SIZE(), psma_dc::kDcNTooLarge},
  };
  for (const auto& g : groups) {
    std::uint8_t count;
    if (!in.u8(count)) return overflow();
    *RecordBytes(g.count_at) = count;
    need += 4 * std::int64_t{count};
    if (count > g.capacity) {
      log.Log(g.too_large, id, count, static_cast<std::uint8_t>(g.capacity));
      in.skip(4 * std::int64_t{count});
    } else if (!in.read(RecordBytes(g.values_at), 4 * std::int64_t{count})) {
      return overflow();
    }
  }

  std::uint8_t p;
  if (!in.u8(p)) return overflow();
  record_.p_count = p;
  need += 4 * std::int64_t{p};
  if (p > TeleDC::P_SIZE()) {
    log.Log(psma_dc::kUserPTooLarge, id, p, static_cast<std::uint8_t>(TeleDC::P_SIZE()));
    return len;
  }
  if (!in.has(4 * std::int64_t{p})) return overflow();
  // Four equal non-zero bytes: the unit has no value there.
  const std::uint8_t* values = in.peek(4 * std::int64_t{p});
  for (unsigned k = 0; k < p; ++k) {
    const std::uint8_t* b = values + std::size_t{4} * k;
    std::memcpy(RecordBytes(offsetof(TeleDC, user_p) + std::size_t{4} * k),
                IsPlaceholder4(b) ? kMinusPointOne : b, 4);
  }
  in.skip(4 * std::int64_t{p});
  return static_cast<int>(in.pos());
}

template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_44(const std::uint8_t* data, int len) {
  return ParseLocked([&](psma::DeferredOutput& out) { return Take42_44(data, len, out); });
}

// One screen's portion of the 0x42/0x44 answer, one byte per state:
//
//   0            1   2           2+m  3+m
//   | dc_v_alert | m | m states  | p  | p states |
//
// 3 + m + p bytes. States beyond an array's capacity are stepped over.
template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::Take42_44(const std::uint8_t* data, int len,
                                           psma::DeferredOutput& log) {
  ByteReader in(data, len);
  std::int64_t need = 3;
  const std::uint32_t id = DataId();
  const auto overflow = [&] {
    log.Log(psma_dc::kOverflow44, id, static_cast<int>(need), len);
    return -1;
  };

  if (!in.u8(record_.dc_v_alert)) return overflow();

  const struct {
    std::size_t count_at;
    std::size_t states_at;
    unsigned capacity;
    const char* too_large;  // nullptr: an over-long fuse list is not reported
  } groups[] = {
      {offsetof(TeleDC, alert_m_count), offsetof(TeleDC, alert_m_state), TeleDC::ALERT_M_SIZE(),
       nullptr},
      {offsetof(TeleDC, alert_p_count), offsetof(TeleDC, alert_p_state), TeleDC::ALERT_P_SIZE(),
       psma_dc::kAlertPTooLarge},
  };
  for (const auto& g : groups) {
    std::uint8_t count;
    if (!in.u8(count)) return overflow();
    *RecordBytes(g.count_at) = count;
    need += count;
    if (count > g.capacity && g.too_large != nullptr)
      log.Log(g.too_large, id, count, static_cast<std::uint8_t>(g.capacity));
    if (!in.has(count)) return overflow();
    const unsigned kept = std::min<unsigned>(count, g.capacity);
    if (kept > 0) std::memcpy(RecordBytes(g.states_at), in.peek(count), kept);
    in.skip(count);
  }
  return static_cast<int>(in.pos());
}
