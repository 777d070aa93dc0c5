// The plug-in's lines on virtual time: a line that repeats the device's last
// one is counted, and the count is written before the device's next
// different line, at the latest a minute after its last line, and at the end.

#include "programs/battery-host/outputs/plugin_lines.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using std::chrono::seconds;

struct Step {
  int at_s;              // virtual seconds since the start
  unsigned int data_id;  // the device the host is dealing with; 0: Forget(forget) instead
  const char* text;      // what the plug-in writes, its newline included
  unsigned int forget = 0;
};

struct RepeatCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> lines;  // what reaches the target, the end's included
};

void PrintTo(const RepeatCase& row, std::ostream* out) {
  *out << row.name;
}

class PluginLinesTest : public ::testing::TestWithParam<RepeatCase> {};

TEST_P(PluginLinesTest, RepeatsAreCounted) {
  std::stringbuf target;
  std::chrono::steady_clock::time_point now{};
  {
    PluginLines lines(&target, [&now] { return now; });
    for (const Step& step : GetParam().steps) {
      now = std::chrono::steady_clock::time_point(seconds(step.at_s));
      if (step.data_id == 0) {
        lines.Forget(step.forget);
        continue;
      }
      lines.SetSubject(step.data_id);
      std::cout << step.text << std::flush;
    }
  }
  std::vector<std::string> written;
  std::istringstream in(target.str());
  for (std::string line; std::getline(in, line);) written.push_back(line);
  EXPECT_EQ(written, GetParam().lines);
}

// A device that repeats one line for a while, once a second.
std::vector<Step> Repeating(unsigned int data_id, int from_s, int to_s, const char* text) {
  std::vector<Step> steps;
  for (int at = from_s; at <= to_s; ++at) steps.push_back({at, data_id, text});
  return steps;
}

std::vector<Step> Joined(std::vector<Step> first, const std::vector<Step>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

INSTANTIATE_TEST_SUITE_P(
    VirtualTime, PluginLinesTest,
    ::testing::Values(
        RepeatCase{"a_line_once",
                   {{0, 1001, "rvSize is 0\n"}},
                   {"battery-host: 1001 plug-in: rvSize is 0"}},
        RepeatCase{"repeats_until_a_different_line",
                   Joined(Repeating(1001, 0, 3, "rvSize is 0\n"), {{4, 1001, "rvSize is 2\n"}}),
                   {"battery-host: 1001 plug-in: rvSize is 0",
                    "battery-host: 1001 plug-in: last line repeated 3 times",
                    "battery-host: 1001 plug-in: rvSize is 2"}},
        RepeatCase{"a_line_written_in_pieces_is_one_line",
                   {{0, 1001, "rvSize"}, {0, 1001, " is 0\n"}, {1, 1001, "rvSize is 0\n"}},
                   {"battery-host: 1001 plug-in: rvSize is 0",
                    "battery-host: 1001 plug-in: last line repeated 1 times"}},
        RepeatCase{"the_minute_bound",
                   Repeating(1001, 0, 125, "rvSize is 0\n"),
                   {"battery-host: 1001 plug-in: rvSize is 0",
                    "battery-host: 1001 plug-in: last line repeated 60 times",
                    "battery-host: 1001 plug-in: last line repeated 60 times",
                    "battery-host: 1001 plug-in: last line repeated 5 times"}},
        RepeatCase{
            "slower_than_the_minute_each_repeat_is_counted_alone",
            {{0, 1001, "rvSize is 0\n"}, {70, 1001, "rvSize is 0\n"}, {80, 1001, "rvSize is 0\n"}},
            {"battery-host: 1001 plug-in: rvSize is 0",
             "battery-host: 1001 plug-in: last line repeated 1 times",
             "battery-host: 1001 plug-in: last line repeated 1 times"}},
        RepeatCase{
            "two_devices_interleaved",
            {{0, 1001, "rvSize is 0\n"},
             {0, 1002, "rvSize is 0\n"},
             {1, 1001, "rvSize is 0\n"},
             {1, 1002, "rvSize is 0\n"},
             {2, 1001, "rvSize is 0\n"},
             {2, 1002, "InitSetting 1002 b_mode_:3\n"},
             {3, 1001, "rvSize is 0\n"}},
            {"battery-host: 1001 plug-in: rvSize is 0", "battery-host: 1002 plug-in: rvSize is 0",
             "battery-host: 1002 plug-in: last line repeated 1 times",
             "battery-host: 1002 plug-in: InitSetting 1002 b_mode_:3",
             "battery-host: 1001 plug-in: last line repeated 3 times"}},
        RepeatCase{
            "the_same_text_of_another_device_is_no_repeat",
            {{0, 1001, "rvSize is 0\n"}, {0, 1002, "rvSize is 0\n"}},
            {"battery-host: 1001 plug-in: rvSize is 0", "battery-host: 1002 plug-in: rvSize is 0"}},
        RepeatCase{"a_forgotten_device_starts_afresh",
                   {{0, 1001, "rvSize is 0\n"},
                    {1, 1001, "rvSize is 0\n"},
                    {2, 0, "", 1001},
                    {3, 1001, "rvSize is 0\n"}},
                   {"battery-host: 1001 plug-in: rvSize is 0",
                    "battery-host: 1001 plug-in: last line repeated 1 times",
                    "battery-host: 1001 plug-in: rvSize is 0"}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
