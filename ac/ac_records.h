#pragma once
// Records of an AC distribution screen, as published in its data block:
// packed, little-endian, f32 values copied byte for byte from the answers.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// Group record; AIRLOCK: switch-state capacity, P43: user-defined switches.
template <std::uint8_t AIRLOCK, std::uint8_t P43>
struct tele_c_pmbuspower_ac {
  static constexpr std::uint8_t AIRLOCK_MAX() { return AIRLOCK; }
  static constexpr std::uint8_t P40_43_SIZE() { return P43; }

  std::uint32_t data_id;
  float ia;
  float ib;
  float ic;
  std::uint8_t channel_count;
  std::uint8_t airlock_count;
  std::uint8_t airlock_state[AIRLOCK];
  std::uint8_t user_switch_count;
  std::uint8_t user_switch[P43];
  std::uint8_t ia_alert;
  std::uint8_t ib_alert;
  std::uint8_t ic_alert;
  std::uint8_t round_time[7];
};

// Channel record; P41: user-defined analogues, P44: user-defined alarms.
template <std::uint8_t P41, std::uint8_t P44>
struct tele_c_pmbuspower_ac_channel {
  static constexpr std::uint8_t P40_41_SIZE() { return P41; }
  static constexpr std::uint8_t p40_44_SIZE() { return P44; }

  float a;
  float b;
  float c;
  float f;
  std::uint8_t analog_count;
  float user_analog[P41];  // none for this unit: a zero-length field
  std::uint8_t a_alert;
  std::uint8_t b_alert;
  std::uint8_t c_alert;
  std::uint8_t f_alert;
  std::uint8_t alarm_count;
  std::uint8_t user_alarm[P44];
};

#pragma pack(pop)

using tele_c_psma_ac = tele_c_pmbuspower_ac<8, 3>;
using tele_c_psma_ac_channel = tele_c_pmbuspower_ac_channel<0, 8>;

static_assert(sizeof(tele_c_psma_ac) == 40, "AC group record is 40 bytes");
static_assert(offsetof(tele_c_psma_ac, data_id) == 0, "");
static_assert(offsetof(tele_c_psma_ac, ia) == 4, "");
static_assert(offsetof(tele_c_psma_ac, ib) == 8, "");
static_assert(offsetof(tele_c_psma_ac, ic) == 12, "");
static_assert(offsetof(tele_c_psma_ac, channel_count) == 16, "");
static_assert(offsetof(tele_c_psma_ac, airlock_count) == 17, "");
static_assert(offsetof(tele_c_psma_ac, airlock_state) == 18, "");
static_assert(offsetof(tele_c_psma_ac, user_switch_count) == 26, "");
static_assert(offsetof(tele_c_psma_ac, user_switch) == 27, "");
static_assert(offsetof(tele_c_psma_ac, ia_alert) == 30, "");
static_assert(offsetof(tele_c_psma_ac, ib_alert) == 31, "");
static_assert(offsetof(tele_c_psma_ac, ic_alert) == 32, "");
static_assert(offsetof(tele_c_psma_ac, round_time) == 33, "");

static_assert(sizeof(tele_c_psma_ac_channel) == 30, "AC channel record is 30 bytes");
static_assert(offsetof(tele_c_psma_ac_channel, a) == 0, "");
static_assert(offsetof(tele_c_psma_ac_channel, b) == 4, "");
static_assert(offsetof(tele_c_psma_ac_channel, c) == 8, "");
static_assert(offsetof(tele_c_psma_ac_channel, f) == 12, "");
static_assert(offsetof(tele_c_psma_ac_channel, analog_count) == 16, "");
static_assert(offsetof(tele_c_psma_ac_channel, user_analog) == 17, "");
static_assert(offsetof(tele_c_psma_ac_channel, a_alert) == 17, "");
static_assert(offsetof(tele_c_psma_ac_channel, b_alert) == 18, "");
static_assert(offsetof(tele_c_psma_ac_channel, c_alert) == 19, "");
static_assert(offsetof(tele_c_psma_ac_channel, f_alert) == 20, "");
static_assert(offsetof(tele_c_psma_ac_channel, alarm_count) == 21, "");
static_assert(offsetof(tele_c_psma_ac_channel, user_alarm) == 22, "");

static_assert(tele_c_psma_ac::AIRLOCK_MAX() == 8 && tele_c_psma_ac::P40_43_SIZE() == 3, "");
static_assert(tele_c_psma_ac_channel::P40_41_SIZE() == 0 &&
                  tele_c_psma_ac_channel::p40_44_SIZE() == 8,
              "");
