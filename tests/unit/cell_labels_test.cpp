// Names of the cell threshold checks: the variable name counts cells from 0,
// the display name from 1 plus the configured start, which may change between
// cycles.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "battery2v_32/cell_labels.h"
#include "tests/support/device_harness.h"

namespace {

using battery2v_32::CellLabels;
using test_frames::RisingCells;
using ::testing::HasSubstr;

TEST(CellLabelsTest, VariableNamesCountCellsFromZero) {
  const CellLabels::Names& names = CellLabels::VariableNames();
  for (std::size_t cell = 0; cell < CellLabels::kCells; ++cell) {
    EXPECT_EQ(names[cell], "battery_" + std::to_string(cell) + "_value");
  }
}

TEST(CellLabelsTest, DisplayNamesCountFromOnePlusTheStart) {
  CellLabels labels;
  const CellLabels::Names& from_one = labels.DisplayNames(0);
  EXPECT_EQ(from_one[0], "第1节电池");
  EXPECT_EQ(from_one[31], "第32节电池");
  const CellLabels::Names& from_eighteen = labels.DisplayNames(17);
  EXPECT_EQ(from_eighteen[0], "第18节电池");
  EXPECT_EQ(from_eighteen[31], "第49节电池");
}

TEST(CellLabelsTest, DisplayNamesFollowEveryChangeOfTheStart) {
  CellLabels labels;
  for (const int start : {0, 5, 5, -3, 0, 2147483600}) {
    const CellLabels::Names& names = labels.DisplayNames(start);
    for (std::size_t cell = 0; cell < CellLabels::kCells; ++cell) {
      const long long shown = static_cast<long long>(start) + static_cast<long long>(cell) + 1;
      EXPECT_EQ(names[cell], "第" + std::to_string(shown) + "节电池") << start << " " << cell;
    }
  }
}

class CellThresholdNamesTest : public DeviceTest {
 protected:
  std::vector<std::string> CellChecksOfOneCycle() {
    testing::internal::CaptureStdout();
    RunCycle(RisingCells(2000, 10), 5350, 125, 2345);
    testing::internal::GetCapturedStdout();
    std::vector<std::string> checks;
    for (const std::string& event : TakeEvents()) {
      if (event.rfind("threshold \"battery_", 0) == 0) checks.push_back(event);
    }
    return checks;
  }
};

TEST_F(CellThresholdNamesTest, EveryCellIsCheckedUnderItsNames) {
  Configure();
  const std::vector<std::string> checks = CellChecksOfOneCycle();
  ASSERT_EQ(checks.size(), 32u);
  EXPECT_EQ(checks[0], "threshold \"battery_0_value\" \"第1节电池\" 2 1");
  EXPECT_EQ(checks[31], "threshold \"battery_31_value\" \"第32节电池\" 2.31 32");
}

TEST_F(CellThresholdNamesTest, AChangedStartShowsInTheNextCycle) {
  const auto with_start = [](int start) {
    Json::Value config(Json::objectValue);
    config["appSetting"]["battery_start"] = start;
    return config;
  };
  Configure(with_start(32));
  std::vector<std::string> checks = CellChecksOfOneCycle();
  ASSERT_EQ(checks.size(), 32u);
  EXPECT_EQ(checks[0], "threshold \"battery_0_value\" \"第33节电池\" 2 1");

  Configure(with_start(17));
  checks = CellChecksOfOneCycle();
  ASSERT_EQ(checks.size(), 32u);
  EXPECT_EQ(checks[0], "threshold \"battery_0_value\" \"第18节电池\" 2 1");
  EXPECT_THAT(checks[31], HasSubstr("\"battery_31_value\" \"第49节电池\""));
}

}  // namespace
