#include "battery/local_time.h"

#include <boost/date_time/c_time.hpp>
#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_duration.hpp>

#include <ctime>
#include <optional>

#include "host/time_bits.h"

namespace {

struct LocalSecond {
  std::time_t calendar_second = 0;
  std::optional<boost::posix_time::ptime> local;
};

// One per thread: the host may drive devices from several threads.
thread_local LocalSecond last_converted;

}  // namespace

// As second_clock::local_time() converts: localtime_r, failures thrown as
// std::runtime_error, then date and time of day from the fields.
boost::posix_time::ptime LocalTimeAt(std::time_t calendar_second) {
  std::tm fields{};
  boost::date_time::c_time::localtime(&calendar_second, &fields);
  const boost::gregorian::date day(static_cast<unsigned short>(fields.tm_year + 1900),
                                   static_cast<unsigned short>(fields.tm_mon + 1),
                                   static_cast<unsigned short>(fields.tm_mday));
  return boost::posix_time::ptime(
      day, boost::posix_time::time_duration(fields.tm_hour, fields.tm_min, fields.tm_sec));
}

boost::posix_time::ptime LocalNow() {
  const std::time_t now = std::time(nullptr);
  LocalSecond& cache = last_converted;
  if (!cache.local || cache.calendar_second != now) {
    cache.local = LocalTimeAt(now);
    cache.calendar_second = now;
  }
  return *cache.local;
}
