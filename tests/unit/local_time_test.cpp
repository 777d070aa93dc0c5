// The device clock: LocalNow gives what Boost's second clock gives, on every
// thread, and follows the calendar second and the time zone. Calendar seconds
// past January 2038 (beyond a 32-bit time_t) become the right local time, the
// right seven time bytes of a record and the right UTC offset in the host's
// time stamps.

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "battery/local_time.h"
#include "host/ttime.h"
#include "programs/battery-host/support/text_format.h"
#include "tests/support/scoped_time_zone.h"

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

// A calendar second in a time zone, and what it must become there.
struct LocalCalendar {
  int year, month, day, hour, minute, second;
};
struct CalendarSecondRow {
  const char* name;
  const char* zone;
  std::int64_t seconds_since_epoch;
  LocalCalendar local;
  ttime record_time;
  const char* utc_offset;
  const char* stamp;  // the host's time stamp, 7 ms past the second
};

// Europe/Berlin from the zone files (past 2037 their rule string takes over
// from the listed transitions), the same rules as a POSIX TZ string, and UTC.
const CalendarSecondRow kCalendarSeconds[] = {
    // clang-format off
    {"Berlin2026", "Europe/Berlin", 1772362805,
     {2026, 3, 1, 12, 0, 5}, {0xEA, 0x07, 3, 1, 12, 0, 5},
     "+01:00", "2026-03-01T12:00:05.007+01:00"},
    {"Berlin2038LastSecondOf32Bits", "Europe/Berlin", 2147483647,
     {2038, 1, 19, 4, 14, 7}, {0xF6, 0x07, 1, 19, 4, 14, 7},
     "+01:00", "2038-01-19T04:14:07.007+01:00"},
    {"Berlin2038FirstSecondPast32Bits", "Europe/Berlin", 2147483648,
     {2038, 1, 19, 4, 14, 8}, {0xF6, 0x07, 1, 19, 4, 14, 8},
     "+01:00", "2038-01-19T04:14:08.007+01:00"},
    {"Berlin2040Winter", "Europe/Berlin", 2210225400,
     {2040, 1, 15, 8, 30, 0}, {0xF8, 0x07, 1, 15, 8, 30, 0},
     "+01:00", "2040-01-15T08:30:00.007+01:00"},
    {"Berlin2040LastSecondBeforeSummerTime", "Europe/Berlin", 2216249999,
     {2040, 3, 25, 1, 59, 59}, {0xF8, 0x07, 3, 25, 1, 59, 59},
     "+01:00", "2040-03-25T01:59:59.007+01:00"},
    {"Berlin2040FirstSecondOfSummerTime", "Europe/Berlin", 2216250000,
     {2040, 3, 25, 3, 0, 0}, {0xF8, 0x07, 3, 25, 3, 0, 0},
     "+02:00", "2040-03-25T03:00:00.007+02:00"},
    {"Berlin2040Summer", "Europe/Berlin", 2224749600,
     {2040, 7, 1, 12, 0, 0}, {0xF8, 0x07, 7, 1, 12, 0, 0},
     "+02:00", "2040-07-01T12:00:00.007+02:00"},
    {"Berlin2106PastUnsigned32Bits", "Europe/Berlin", 4294967296,
     {2106, 2, 7, 7, 28, 16}, {0x3A, 0x08, 2, 7, 7, 28, 16},
     "+01:00", "2106-02-07T07:28:16.007+01:00"},
    {"PosixRule2040Summer", "CET-1CEST,M3.5.0,M10.5.0/3", 2224753200,
     {2040, 7, 1, 13, 0, 0}, {0xF8, 0x07, 7, 1, 13, 0, 0},
     "+02:00", "2040-07-01T13:00:00.007+02:00"},
    {"Utc2040LeapDay", "UTC0", 2214172799,
     {2040, 2, 29, 23, 59, 59}, {0xF8, 0x07, 2, 29, 23, 59, 59},
     "+00:00", "2040-02-29T23:59:59.007+00:00"},
    // clang-format on
};

// A failing row is named in GoogleTest's message rather than dumped as bytes.
void PrintTo(const CalendarSecondRow& row, std::ostream* out) {
  *out << row.name;
}

class CalendarSecondTest : public ::testing::TestWithParam<CalendarSecondRow> {};

TEST_P(CalendarSecondTest, BecomesTheLocalTimeTheRecordAndTheOffset) {
  const CalendarSecondRow& row = GetParam();
  const ScopedTimeZone zone(row.zone);
  const auto calendar_second = static_cast<std::time_t>(row.seconds_since_epoch);
  ASSERT_EQ(static_cast<std::int64_t>(calendar_second), row.seconds_since_epoch);

  // The device's clock, as it stamps a record.
  const ptime local = LocalTimeAt(calendar_second);
  const LocalCalendar& want = row.local;
  const ptime expected(boost::gregorian::date(static_cast<unsigned short>(want.year),
                                              static_cast<unsigned short>(want.month),
                                              static_cast<unsigned short>(want.day)),
                       boost::posix_time::time_duration(want.hour, want.minute, want.second));
  EXPECT_EQ(local, expected);
  EXPECT_EQ(get_ttime(local), row.record_time);

  // The host's time stamps: localtime_r's fields, their UTC offset through
  // mktime, the stamp of its lines, and mktime back to the same calendar
  // second.
  std::tm fields{};
  ASSERT_NE(localtime_r(&calendar_second, &fields), nullptr);
  EXPECT_EQ(fields.tm_year + 1900, want.year);
  EXPECT_EQ(fields.tm_mon + 1, want.month);
  EXPECT_EQ(fields.tm_mday, want.day);
  EXPECT_EQ(fields.tm_hour, want.hour);
  EXPECT_EQ(fields.tm_min, want.minute);
  EXPECT_EQ(fields.tm_sec, want.second);
  EXPECT_EQ(host_text::UtcOffset(fields), row.utc_offset);
  EXPECT_EQ(host_text::LocalStamp(calendar_second, 7), row.stamp);
  std::tm placed = fields;
  EXPECT_EQ(std::mktime(&placed), calendar_second);
}

INSTANTIATE_TEST_SUITE_P(PastThe32BitClock, CalendarSecondTest,
                         ::testing::ValuesIn(kCalendarSeconds),
                         [](const auto& test) { return std::string(test.param.name); });

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
