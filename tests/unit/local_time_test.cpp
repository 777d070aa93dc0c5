// The device clock: LocalNow gives what Boost's second clock gives, on every
// thread, and follows the calendar second and the time zone.

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "battery/local_time.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;

// LocalNow beside Boost's local and universal time, all read within one
// calendar second.
struct Reading {
  ptime device;
  ptime boost;
  ptime universal;
};

Reading ReadWithinOneSecond() {
  for (;;) {
    const std::time_t second = std::time(nullptr);
    const Reading reading{LocalNow(), second_clock::local_time(), second_clock::universal_time()};
    if (std::time(nullptr) == second) return reading;
  }
}

// Blocks until the calendar second differs from `second`.
void WaitForSecondAfter(std::time_t second) {
  while (std::time(nullptr) == second) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Sets TZ for the life of the object and restores the previous value.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

TEST(LocalTimeTest, GivesTheTimeOfBoostsSecondClock) {
  const Reading reading = ReadWithinOneSecond();
  EXPECT_FALSE(reading.device.is_special());
  EXPECT_EQ(reading.device, reading.boost);
  EXPECT_EQ(reading.device.time_of_day().fractional_seconds(), 0);
}

TEST(LocalTimeTest, RepeatedReadsInOneSecondAgree) {
  for (;;) {
    const std::time_t second = std::time(nullptr);
    const ptime first = LocalNow();
    const ptime second_read = LocalNow();
    if (std::time(nullptr) != second) continue;  // the second ended in between
    EXPECT_EQ(first, second_read);
    return;
  }
}

TEST(LocalTimeTest, MovesOnWhenTheSecondChanges) {
  const std::time_t start = std::time(nullptr);
  const ptime before = LocalNow();
  WaitForSecondAfter(start);
  const Reading reading = ReadWithinOneSecond();
  EXPECT_GT(reading.device, before);
  EXPECT_EQ(reading.device, reading.boost);
}

TEST(LocalTimeTest, GivesBoostsTimeOnEveryThread) {
  constexpr int kReadsPerThread = 2000;
  const auto read_repeatedly = [](int& mismatches) {
    for (int i = 0; i < kReadsPerThread; ++i) {
      const Reading reading = ReadWithinOneSecond();
      if (reading.device != reading.boost) ++mismatches;
    }
  };
  int first_mismatches = 0;
  int second_mismatches = 0;
  std::thread first(read_repeatedly, std::ref(first_mismatches));
  std::thread second(read_repeatedly, std::ref(second_mismatches));
  first.join();
  second.join();
  EXPECT_EQ(first_mismatches, 0);
  EXPECT_EQ(second_mismatches, 0);
}

TEST(LocalTimeTest, FollowsATimeZoneChangeFromTheNextSecond) {
  const ScopedTimeZone utc("UTC0");
  WaitForSecondAfter(std::time(nullptr));
  const Reading in_utc = ReadWithinOneSecond();
  EXPECT_EQ(in_utc.device, in_utc.universal);

  // Five hours east of UTC (POSIX offsets count west).
  const ScopedTimeZone east("EAST-5");
  WaitForSecondAfter(std::time(nullptr));
  const Reading in_east = ReadWithinOneSecond();
  EXPECT_EQ(in_east.device, in_east.boost);
  EXPECT_EQ(in_east.device - in_east.universal, boost::posix_time::hours(5));
}

}  // namespace
