#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/time_bits.h"

ttime get_ttime(boost::posix_time::ptime time) {
  ttime out{};
  if (time.is_special()) return out;
  const auto date = time.date();
  const auto clock = time.time_of_day();
  const auto year = static_cast<std::uint16_t>(date.year());
  out[0] = static_cast<std::uint8_t>(year & 0xFFu);
  out[1] = static_cast<std::uint8_t>(year >> 8);
  out[2] = static_cast<std::uint8_t>(date.month().as_number());
  out[3] = static_cast<std::uint8_t>(date.day().as_number());
  out[4] = static_cast<std::uint8_t>(clock.hours());
  out[5] = static_cast<std::uint8_t>(clock.minutes());
  out[6] = static_cast<std::uint8_t>(clock.seconds());
  return out;
}
