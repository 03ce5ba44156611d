#pragma once
// Records of the rectifier group and its modules (which also carry the AC
// and DC parameter answers), as published in the rectifier's data block:
// packed, little-endian, f32 values copied byte for byte from the answers.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// P46: user-defined DC parameters expected; P46_BYTES: bytes of them kept.
template <std::uint8_t P46, std::uint8_t P46_BYTES>
struct tele_c_pmbuspower_rc {
  static_assert(P46 * 4 == P46_BYTES, "one f32 per user-defined DC parameter");
  static constexpr int P42_46_NUMBER() { return P46; }
  static constexpr int P42_46_SIZE() { return P46_BYTES; }

  std::uint32_t data_id;
  float ac_param[5];
  float dc_param[2];
  std::uint8_t dc_param_count;
  float dc_user_param[P46];  // P46_BYTES bytes
  float group_value;
  std::uint8_t module_count;
  std::uint8_t round_time[7];
};

// P41: user-defined analogues, P43: user-defined switches, P44: user-defined
// alarms per module.
template <std::uint8_t P41, std::uint8_t P43, std::uint8_t P44>
struct tele_c_pmbuspower_rc_channel {
  static constexpr int P41_41_SIZE() { return P41; }
  static constexpr int P41_43_SIZE() { return P43; }
  static constexpr int P41_44_SIZE() { return P44; }

  float module_value;
  std::uint8_t analog_count;
  float user_analog[P41];
  std::uint8_t switch_state[3];
  std::uint8_t switch_count;
  std::uint8_t user_switch[P43];
  std::uint8_t fault_state;
  std::uint8_t alarm_count;
  std::uint8_t user_alarm[P44];
};

#pragma pack(pop)

using tele_c_psma_rc = tele_c_pmbuspower_rc<9, 36>;
using tele_c_psma_rc_channel = tele_c_pmbuspower_rc_channel<4, 1, 4>;

static_assert(sizeof(tele_c_psma_rc) == 81, "rectifier group record is 81 bytes");
static_assert(offsetof(tele_c_psma_rc, data_id) == 0, "");
static_assert(offsetof(tele_c_psma_rc, ac_param) == 4, "");
static_assert(offsetof(tele_c_psma_rc, dc_param) == 24, "");
static_assert(offsetof(tele_c_psma_rc, dc_param_count) == 32, "");
static_assert(offsetof(tele_c_psma_rc, dc_user_param) == 33, "");
static_assert(offsetof(tele_c_psma_rc, group_value) == 69, "");
static_assert(offsetof(tele_c_psma_rc, module_count) == 73, "");
static_assert(offsetof(tele_c_psma_rc, round_time) == 74, "");

static_assert(sizeof(tele_c_psma_rc_channel) == 32, "rectifier module record is 32 bytes");
static_assert(offsetof(tele_c_psma_rc_channel, module_value) == 0, "");
static_assert(offsetof(tele_c_psma_rc_channel, analog_count) == 4, "");
static_assert(offsetof(tele_c_psma_rc_channel, user_analog) == 5, "");
static_assert(offsetof(tele_c_psma_rc_channel, switch_state) == 21, "");
static_assert(offsetof(tele_c_psma_rc_channel, switch_count) == 24, "");
static_assert(offsetof(tele_c_psma_rc_channel, user_switch) == 25, "");
static_assert(offsetof(tele_c_psma_rc_channel, fault_state) == 26, "");
static_assert(offsetof(tele_c_psma_rc_channel, alarm_count) == 27, "");
static_assert(offsetof(tele_c_psma_rc_channel, user_alarm) == 28, "");
static_assert(tele_c_psma_rc::P42_46_NUMBER() == 9 && tele_c_psma_rc::P42_46_SIZE() == 36, "");
static_assert(tele_c_psma_rc_channel::P41_41_SIZE() == 4 &&
                  tele_c_psma_rc_channel::P41_43_SIZE() == 1 &&
                  tele_c_psma_rc_channel::P41_44_SIZE() == 4,
              "");
