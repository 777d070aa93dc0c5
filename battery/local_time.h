#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

// Local wall-clock time at second resolution: the time base of every stamp the
// device keeps (last activity, record sample time).
inline boost::posix_time::ptime LocalNow() {
  return boost::posix_time::second_clock::local_time();
}
