#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time.hpp>

ttime get_ttime(const korv::LocalTime& time) {
  ttime stamp{};
  if (time.is_special()) return stamp;
  const auto date = time.date();
  const auto clock = time.time_of_day();
  const unsigned year = date.year();
  stamp[0] = static_cast<std::uint8_t>(year & 0xFF);
  stamp[1] = static_cast<std::uint8_t>(year >> 8);
  stamp[2] = static_cast<std::uint8_t>(date.month().as_number());
  stamp[3] = static_cast<std::uint8_t>(date.day().as_number());
  stamp[4] = static_cast<std::uint8_t>(clock.hours());
  stamp[5] = static_cast<std::uint8_t>(clock.minutes());
  stamp[6] = static_cast<std::uint8_t>(clock.seconds());
  return stamp;
}
