// When a device is called silent: each row a fixed sequence of cycle ends
// (C completed, G given up) and the reports it must draw. The time limit is
// far off, so only the count of given-up cycles decides.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "programs/battery-host/state/silence_watch.h"

namespace {

struct SilenceCase {
  const char* name;
  int missed_limit;
  std::string cycles;
  std::string reports;  // S silent, A answering again
};

// Rows print by name: the bytes of the struct include padding.
void PrintTo(const SilenceCase& row, std::ostream* out) {
  *out << row.name;
}

class SilenceWatchTest : public ::testing::TestWithParam<SilenceCase> {};

TEST_P(SilenceWatchTest, CountsCyclesGivenUpInARow) {
  const SilenceCase& row = GetParam();
  boost::asio::io_context io;
  std::string reports;
  SilenceWatch watch(io, std::chrono::hours(1), row.missed_limit,
                     [&reports](bool silent) { reports += silent ? 'S' : 'A'; });
  for (const char cycle : row.cycles) {
    if (cycle == 'C') watch.CycleCompleted();
    if (cycle == 'G') watch.CycleGivenUp();
  }
  EXPECT_EQ(reports, row.reports) << row.cycles;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, SilenceWatchTest,
    ::testing::Values(SilenceCase{"two_given_up_are_not_silence", 3, "CGGC", ""},
                      SilenceCase{"three_given_up_are", 3, "CGGG", "S"},
                      SilenceCase{"said_once", 3, "GGGGGG", "S"},
                      SilenceCase{"a_record_starts_the_count_again", 3, "GGCGGCGG", ""},
                      SilenceCase{"and_ends_the_silence", 3, "GGGCGGG", "SAS"},
                      SilenceCase{"one_period", 1, "CGCGC", "SASA"},
                      // 12% bad checksums: a lost answer now and then.
                      SilenceCase{"scattered_faults", 3, "CGCCGGCGCCGGC", ""}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
