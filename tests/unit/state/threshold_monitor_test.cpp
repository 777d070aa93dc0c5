// The host's threshold evaluation: crossings and returns reported once each.

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "programs/battery-host/state/threshold_monitor.h"

namespace {

struct Step {
  float value;
  const char* state;  // nullptr: nothing reported
};

struct ThresholdCase {
  const char* name;
  ThresholdLimit limit;
  std::vector<Step> steps;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ThresholdCase& c, std::ostream* out) {
  *out << c.name;
}

class ThresholdMonitorTest : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(ThresholdMonitorTest, ReportsCrossingsAndReturnsOnce) {
  ThresholdMonitor monitor({{"group_voltage", GetParam().limit}});
  for (const Step& step : GetParam().steps) {
    const auto crossing = monitor.Check("group_voltage", step.value);
    if (step.state == nullptr) {
      EXPECT_FALSE(crossing) << step.value << " reported " << ThresholdStateName(crossing->state);
    } else {
      ASSERT_TRUE(crossing) << step.value;
      EXPECT_STREQ(ThresholdStateName(crossing->state), step.state) << step.value;
    }
  }
}

ThresholdLimit Limit(std::optional<float> high, std::optional<float> low, float hysteresis) {
  ThresholdLimit limit;
  limit.high = high;
  limit.low = low;
  limit.hysteresis = hysteresis;
  return limit;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Sequences, ThresholdMonitorTest,
    ::testing::Values(
        ThresholdCase{"high_once", Limit(58.0f, std::nullopt, 0.0f), {{57.0f, nullptr}, {58.5f, "high"}, {59.0f, nullptr}, {58.0f, "normal"}, {57.0f, nullptr}}},
        ThresholdCase{"at_the_limit_is_inside", Limit(58.0f, 46.0f, 0.0f), {{58.0f, nullptr}, {46.0f, nullptr}}},
        ThresholdCase{"hysteresis_holds_the_alarm", Limit(58.0f, std::nullopt, 0.5f), {{58.1f, "high"}, {57.9f, nullptr}, {58.2f, nullptr}, {57.5f, "normal"}, {58.1f, "high"}}},
        ThresholdCase{"low_side", Limit(std::nullopt, 46.0f, 1.0f), {{45.0f, "low"}, {46.5f, nullptr}, {47.0f, "normal"}}},
        ThresholdCase{"straight_across", Limit(58.0f, 46.0f, 0.0f), {{60.0f, "high"}, {40.0f, "low"}, {50.0f, "normal"}}}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST(ThresholdMonitorTest, CellsShareTheAnyCellLimitAndKeepOwnState) {
  ThresholdMonitor monitor({{kAnyCellThreshold, Limit(2.4f, std::nullopt, 0.0f)},
                            {"battery_3_value", Limit(2.3f, std::nullopt, 0.0f)}});
  EXPECT_TRUE(monitor.Check("battery_0_value", 2.5f));
  EXPECT_TRUE(monitor.Check("battery_1_value", 2.5f));  // its own state, not cell 0's
  EXPECT_FALSE(monitor.Check("battery_0_value", 2.6f));
  EXPECT_TRUE(monitor.Check("battery_3_value", 2.35f));  // its own limit
  EXPECT_FALSE(monitor.Check("temperature", 99.0f));     // no limit at all
}

}  // namespace
