#pragma once
// The one clock of the host and the plug-in: the current local time with
// one-second resolution. Staleness of values, the pacing of rounds and the
// round time stamps all read it, so a test can set it and move it instead of
// waiting.

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>

namespace korv {

using LocalTime = boost::posix_time::ptime;

// Current local time, whole seconds, turning with the wall clock's second
// (not a clock tick later). Safe to call from any thread.
LocalTime LocalNow();

// Fixes the clock at `t` (truncated to whole seconds) until UseSystemClock().
void SetLocalNow(const LocalTime& t);

// Moves a fixed clock by `seconds` (may be negative). Fixes the clock at the
// current local time first when it was not fixed.
void AdvanceLocalNow(std::int64_t seconds);

// Back to the system's local time (read from the fine clock, cut to whole
// seconds, so that it turns with the wall clock's second).
void UseSystemClock();

// Whole seconds from `from` to `to` (negative when `to` lies before `from`).
std::int64_t SecondsBetween(const LocalTime& from, const LocalTime& to);

// Whole seconds since 1970-01-01 00:00:00 of the local time scale, and back;
// lets a local time live in one atomic word.
std::int64_t ToEpochSeconds(const LocalTime& t);
LocalTime FromEpochSeconds(std::int64_t s);

}  // namespace korv
