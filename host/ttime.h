#pragma once
// The host's 7-byte time stamp of a local time, as it travels in the records
// (`round_time`) and so in every data block:
//
//   byte 0-1  year, unsigned 16-bit, low byte first
//   byte 2    month 1..12
//   byte 3    day 1..31
//   byte 4    hour 0..23
//   byte 5    minute 0..59
//   byte 6    second 0..59
//
// A time that is not a date (not-a-date-time, infinities) gives 7 zero bytes.

#include <array>
#include <cstdint>

#include "host/local_clock.h"

using ttime = std::array<std::uint8_t, 7>;

ttime get_ttime(const korv::LocalTime& time);
