#include "host/local_clock.h"

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>

namespace korv {
namespace {

const LocalTime kEpoch(boost::gregorian::date(1970, 1, 1));

std::atomic<bool> g_fixed{false};
std::atomic<std::int64_t> g_fixed_seconds{0};

}  // namespace

std::int64_t ToEpochSeconds(const LocalTime& t) { return (t - kEpoch).total_seconds(); }

LocalTime FromEpochSeconds(std::int64_t s) { return kEpoch + boost::posix_time::seconds(s); }

LocalTime LocalNow() {
  if (g_fixed.load(std::memory_order_acquire)) {
    return FromEpochSeconds(g_fixed_seconds.load(std::memory_order_acquire));
  }
  // The fine clock, cut to the second: second_clock reads time(), whose
  // coarse clock may still show the old second a tick after it turned, when
  // the polling engine wakes to start the rounds due at that turn.
  const LocalTime fine = boost::posix_time::microsec_clock::local_time();
  return fine - boost::posix_time::time_duration(0, 0, 0, fine.time_of_day().fractional_seconds());
}

void SetLocalNow(const LocalTime& t) {
  g_fixed_seconds.store(ToEpochSeconds(t), std::memory_order_release);
  g_fixed.store(true, std::memory_order_release);
}

void AdvanceLocalNow(std::int64_t seconds) {
  if (!g_fixed.load(std::memory_order_acquire)) SetLocalNow(LocalNow());
  g_fixed_seconds.fetch_add(seconds, std::memory_order_acq_rel);
}

void UseSystemClock() { g_fixed.store(false, std::memory_order_release); }

std::int64_t SecondsBetween(const LocalTime& from, const LocalTime& to) {
  return ToEpochSeconds(to) - ToEpochSeconds(from);
}

}  // namespace korv
