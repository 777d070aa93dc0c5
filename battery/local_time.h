#pragma once

#include <boost/date_time/posix_time/ptime.hpp>

#include <ctime>

// Local wall-clock time at second resolution: the time base of every stamp the
// device keeps (last activity, record sample time). The same time point as
// boost::posix_time::second_clock::local_time() gives.
//
// A device reads the clock on every request it sends and every chunk it
// receives, and converting calendar time to local time is costly. So each
// thread converts once per second of calendar time (std::time) and answers
// the other reads in that second from its own copy. A change of the time
// zone (tzset) therefore shows from the next second on; a clock that is set
// back or forward is seen at once, because any other second is converted anew.
boost::posix_time::ptime LocalNow();

// A calendar second as local time, converted as LocalNow converts: the time
// zone's offset at that second, whatever the year.
boost::posix_time::ptime LocalTimeAt(std::time_t calendar_second);
