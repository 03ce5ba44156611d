#pragma once
// Record of a DC distribution screen, as published in its data block:
// packed, little-endian, f32 values copied byte for byte from the answers.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// M, N: value groups of the 0x41 answer; P: user-defined values;
// ALERT_M: fuse alarm states; ALERT_P: user-defined alarm states.
template <std::uint8_t M, std::uint8_t N, std::uint8_t P, std::uint8_t ALERT_M,
          std::uint8_t ALERT_P>
struct tele_c_pmbuspower_dc {
  static constexpr unsigned M_SIZE() { return M; }
  static constexpr unsigned N_SIZE() { return N; }
  static constexpr unsigned P_SIZE() { return P; }
  static constexpr unsigned ALERT_M_SIZE() { return ALERT_M; }
  static constexpr unsigned ALERT_P_SIZE() { return ALERT_P; }

  std::uint32_t data_id;
  float v;
  float i;
  std::uint8_t dc_m;
  float m_value[M];
  std::uint8_t dc_n;
  float n_value[N];
  std::uint8_t p_count;
  float user_p[P];
  std::uint8_t dc_v_alert;
  std::uint8_t alert_m_count;
  std::uint8_t alert_m_state[ALERT_M];
  std::uint8_t alert_p_count;
  std::uint8_t alert_p_state[ALERT_P];
  std::uint8_t round_time[7];
};

#pragma pack(pop)

using tele_c_psma_dc = tele_c_pmbuspower_dc<3, 6, 5, 64, 13>;

static_assert(sizeof(tele_c_psma_dc) == 158, "DC record is 158 bytes");
static_assert(offsetof(tele_c_psma_dc, data_id) == 0, "");
static_assert(offsetof(tele_c_psma_dc, v) == 4, "");
static_assert(offsetof(tele_c_psma_dc, i) == 8, "");
static_assert(offsetof(tele_c_psma_dc, dc_m) == 12, "");
static_assert(offsetof(tele_c_psma_dc, m_value) == 13, "");
static_assert(offsetof(tele_c_psma_dc, dc_n) == 25, "");
static_assert(offsetof(tele_c_psma_dc, n_value) == 26, "");
static_assert(offsetof(tele_c_psma_dc, p_count) == 50, "");
static_assert(offsetof(tele_c_psma_dc, user_p) == 51, "");
static_assert(offsetof(tele_c_psma_dc, dc_v_alert) == 71, "");
static_assert(offsetof(tele_c_psma_dc, alert_m_count) == 72, "");
static_assert(offsetof(tele_c_psma_dc, alert_m_state) == 73, "");
static_assert(offsetof(tele_c_psma_dc, alert_p_count) == 137, "");
static_assert(offsetof(tele_c_psma_dc, alert_p_state) == 138, "");
static_assert(offsetof(tele_c_psma_dc, round_time) == 151, "");
static_assert(tele_c_psma_dc::M_SIZE() == 3 && tele_c_psma_dc::N_SIZE() == 6 &&
                  tele_c_psma_dc::P_SIZE() == 5 && tele_c_psma_dc::ALERT_M_SIZE() == 64 &&
                  tele_c_psma_dc::ALERT_P_SIZE() == 13,
              "");
