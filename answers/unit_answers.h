#pragma once
// Answers of a PSM-A unit, built as the host hands them to process_payload:
// the answer frame header (version, address, CID1, return code, LENID low,
// LENID high) followed by the information field.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "answers/bytes.h"

namespace psma_answers {

inline std::vector<std::uint8_t> Frame(std::uint8_t cid1, const Bytes& info, std::uint8_t rtn = 0) {
  const unsigned lenid = 2u * static_cast<unsigned>(info.size());
  std::vector<std::uint8_t> f(6 + info.vec().size());
  f[0] = 0x20;
  f[1] = 0x01;
  f[2] = cid1;
  f[3] = rtn;
  f[4] = static_cast<std::uint8_t>(lenid & 0xFF);
  f[5] = static_cast<std::uint8_t>(lenid >> 8);
  std::copy(info.vec().begin(), info.vec().end(), f.begin() + 6);
  return f;
}

// One AC screen's portion of the 0x40/0x41 answer: channels of four f32
// (a, b, c, f) with no user-defined values, then the three phase currents.
inline Bytes Ac41Portion(int channels, float base = 230.0f) {
  Bytes b;
  b.u8(static_cast<std::uint8_t>(channels));
  for (int k = 0; k < channels; ++k) {
    const float v = base + static_cast<float>(k);
    b.f32(v).f32(v + 0.5f).f32(v + 1.0f).f32(50.0f).u8(0);
  }
  return b.f32(10.0f).f32(11.0f).f32(12.0f);
}

// One AC screen's portion of the 0x40/0x43 answer: 8 switches, 3 user-defined.
inline Bytes Ac43Portion() { return Bytes().u8(8).rep(1, 8).u8(3).rep(0, 3); }

// One AC screen's portion of the 0x40/0x44 answer: per channel four states,
// m = 0 and eight user-defined states; then the three current states.
inline Bytes Ac44Portion(int channels, std::uint8_t state = 0) {
  Bytes b;
  b.u8(static_cast<std::uint8_t>(channels));
  for (int k = 0; k < channels; ++k) b.rep(state, 4).u8(0).u8(8).rep(0, 8);
  return b.rep(state, 3);
}

// Rectifier answers: the whole information field, data flag first.
inline Bytes Rc41(std::uint8_t flag, int modules) {
  Bytes b;
  b.u8(flag).f32(53.5f).u8(static_cast<std::uint8_t>(modules));
  for (int k = 0; k < modules; ++k)
    b.f32(20.0f + static_cast<float>(k)).u8(4).f32(1).f32(2).f32(3).f32(4);
  return b;
}
inline Bytes Rc43(int modules) {
  Bytes b;
  b.u8(0).u8(static_cast<std::uint8_t>(modules));
  for (int k = 0; k < modules; ++k) b.u8s({0, 1, 0}).u8(1).u8(0);
  return b;
}
inline Bytes Rc44(int modules, std::uint8_t fault = 0) {
  Bytes b;
  b.u8(0).u8(static_cast<std::uint8_t>(modules));
  for (int k = 0; k < modules; ++k) b.u8(fault).u8(4).rep(0, 4);
  return b;
}

// One DC screen's portion of the 0x42/0x41 answer (m = 1, n = 0, p = 0).
inline Bytes Dc41Portion(float v = 53.5f, float i = 120.0f) {
  return Bytes().f32(v).f32(i).u8(1).f32(1.5f).u8(0).u8(0);
}
// One DC screen's portion of the 0x42/0x44 answer: 64 fuses, 13 user states.
inline Bytes Dc44Portion(std::uint8_t v_alert = 0) {
  return Bytes().u8(v_alert).u8(64).rep(0, 64).u8(13).rep(0, 13);
}

// The parameter answers (no data flag).
inline Bytes Ac46() { return Bytes().f32(1).f32(2).f32(3).f32(4).f32(5).u8(0); }
inline Bytes Dc46() { return Bytes().f32(1).f32(2).u8(9).rep(0, 36); }

// The identification answer: the model text in a 20-byte field.
inline Bytes Model(const std::string& text, std::size_t field = 20, std::uint8_t pad = 0) {
  Bytes b;
  for (std::size_t k = 0; k < field; ++k) {
    b.u8(k < text.size() ? static_cast<std::uint8_t>(text[k]) : pad);
  }
  return b;
}

}  // namespace psma_answers
