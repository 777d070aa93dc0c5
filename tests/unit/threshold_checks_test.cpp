// End of a polling cycle: change detection against the record, the record
// update and the threshold checks with their variable names, display names
// and indices.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/device_harness.h"
#include "tests/support/json_text.h"

namespace {

namespace record = battery_record;
using test_frames::CellRaw;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

std::string ThresholdLine(const std::string& name, const std::string& display,
                          const std::string& value, int index) {
  return "threshold \"" + name + "\" \"" + display + "\" " + value + " " + std::to_string(index);
}

// Cells hold i + 0.5 V in these tests, written "0.5", "1.5", ... in the trace.
std::string CellLine(int cell, long long shown) {
  return ThresholdLine("battery_" + std::to_string(cell) + "_value",
                       "第" + std::to_string(shown) + "节电池", std::to_string(cell) + ".5",
                       cell + 1);
}

const std::vector<std::string> kGroupLines = {
    ThresholdLine("group_voltage", "整组电压", "52.5", 1),
    ThresholdLine("group_current", "电流", "12.5", 1),
    ThresholdLine("temperature", "温度", "23.5", 1),
};

class EndOfCycleTest : public DeviceTest {
 protected:
  void SetUp() override {
    for (std::size_t i = 0; i < device.cells_.size(); ++i) {
      device.cells_[i] = static_cast<float>(i) + 0.5f;
    }
    device.group_voltage_ = 52.5f;
    device.group_current_ = 12.5f;
    device.temperature_ = 23.5f;
  }

  std::vector<std::string> Run() {
    device.RunCheckThreshold();
    return TakeEvents();
  }

  void SetRecordCell(std::size_t cell, float volts) {
    record::Store(device.data_, record::kCellVoltageOffset + cell * sizeof(float), volts);
  }
  void SetRecordGroupVoltage(float volts) {
    record::Store(device.data_, record::kGroupVoltageOffset, volts);
  }
};

// ---------------------------------------------------------------------------
// Change detection

struct ChangeCase {
  const char* label;
  float record_group;
  float fresh_group;
  int cell;  // the one cell that may differ; all others hold 2 V in both
  float record_cell;
  float fresh_cell;
  bool changed;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ChangeCase& c, std::ostream* out) {
  *out << c.label;
}

class ChangeDetectionTest : public EndOfCycleTest,
                            public ::testing::WithParamInterface<ChangeCase> {
 protected:
  void SetUp() override {
    EndOfCycleTest::SetUp();
    const ChangeCase& c = GetParam();
    for (std::size_t i = 0; i < device.cells_.size(); ++i) {
      device.cells_[i] = 2.0f;
      SetRecordCell(i, 2.0f);
    }
    SetRecordGroupVoltage(c.record_group);
    device.group_voltage_ = c.fresh_group;
    SetRecordCell(static_cast<std::size_t>(c.cell), c.record_cell);
    device.cells_[static_cast<std::size_t>(c.cell)] = c.fresh_cell;
  }
};

TEST_P(ChangeDetectionTest, SetsChangedForANoticeableDifference) {
  device.changed_ = false;
  Run();
  EXPECT_EQ(device.changed_, GetParam().changed);
}

TEST_P(ChangeDetectionTest, NeverClearsChanged) {
  device.changed_ = true;
  Run();
  EXPECT_TRUE(device.changed_);
}

std::string ChangeCaseName(const ::testing::TestParamInfo<ChangeCase>& param_info) {
  return param_info.param.label;
}

// Each value is formed in single precision, the way the decoder forms it.
INSTANTIATE_TEST_SUITE_P(
    GroupVoltage, ChangeDetectionTest,
    ::testing::Values(
        // 52.01f - 52.00f is 0.0099983, below 0.01
        ChangeCase{"OneHundredthUp", 52.00f, 52.01f, 0, 2.0f, 2.0f, false},
        ChangeCase{"TwoHundredthsUp", 52.00f, 52.02f, 0, 2.0f, 2.0f, true},
        ChangeCase{"OneHundredthDown", 52.01f, 52.00f, 0, 2.0f, 2.0f, false},
        ChangeCase{"TwoHundredthsDown", 52.02f, 52.00f, 0, 2.0f, 2.0f, true},
        ChangeCase{"FromDividedRaw", 5200.0f / 100.0f, 5202.0f / 100.0f, 0, 2.0f, 2.0f, true},
        // the float nearest 0.01 lies just below the double 0.01
        ChangeCase{"FloatNearestStepFromZero", 0.0f, 0.01f, 0, 2.0f, 2.0f, false},
        ChangeCase{"NegativeFromZero", 0.0f, -0.02f, 0, 2.0f, 2.0f, true},
        ChangeCase{"Equal", 52.5f, 52.5f, 0, 2.0f, 2.0f, false},
        ChangeCase{"ToInfinity", 52.0f, kInfinity, 0, 2.0f, 2.0f, true},
        // differences that are not a number count as no change
        ChangeCase{"InfinityToInfinity", kInfinity, kInfinity, 0, 2.0f, 2.0f, false},
        ChangeCase{"NotANumber", 52.0f, kNaN, 0, 2.0f, 2.0f, false},
        ChangeCase{"NotANumberThenChangedCell", 52.0f, kNaN, 3, 2.0f, 2.01f, true}),
    ChangeCaseName);

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cells, ChangeDetectionTest,
    ::testing::Values(
        // 2005/1000 - 2000/1000 is 0.0050001 in single precision
        ChangeCase{"FiveMillivoltsAtTwoVolts", 52.0f, 52.0f, 7, 2000.0f / 1000.0f, 2005.0f / 1000.0f, true},
        // 2205/1000 - 2200/1000 is 0.0049999
        ChangeCase{"FiveMillivoltsAtTwoPointTwoVolts", 52.0f, 52.0f, 7, 2200.0f / 1000.0f, 2205.0f / 1000.0f, false},
        ChangeCase{"FiveMillivoltsDown", 52.0f, 52.0f, 7, 2005.0f / 1000.0f, 2000.0f / 1000.0f, true},
        ChangeCase{"FourMillivolts", 52.0f, 52.0f, 7, 2000.0f / 1000.0f, 2004.0f / 1000.0f, false},
        ChangeCase{"FirstCell", 52.0f, 52.0f, 0, 2.0f, 2.01f, true},
        ChangeCase{"LastCell", 52.0f, 52.0f, 31, 2.0f, 2.01f, true},
        ChangeCase{"CellToZero", 52.0f, 52.0f, 12, 2.0f, 0.0f, true},
        ChangeCase{"CellNotANumber", 52.0f, 52.0f, 4, 2.0f, kNaN, false},
        ChangeCase{"RecordCellNotANumber", 52.0f, 52.0f, 4, kNaN, 2.0f, false}),
    ChangeCaseName);
// clang-format on

TEST_F(EndOfCycleTest, CurrentAndTemperatureTakeNoPartInTheComparison) {
  SetRecordGroupVoltage(52.5f);
  for (std::size_t i = 0; i < device.cells_.size(); ++i) SetRecordCell(i, device.cells_[i]);
  record::Store(device.data_, record::kGroupCurrentOffset, -80.0f);
  record::Store(device.data_, record::kTemperatureOffset, 90.0f);
  device.changed_ = false;
  Run();
  EXPECT_FALSE(device.changed_);
}

TEST_F(EndOfCycleTest, OnlyTheCountedCellsAreCompared) {
  device.cell_count_ = 10;
  SetRecordGroupVoltage(52.5f);
  for (std::size_t i = 0; i < device.cells_.size(); ++i) SetRecordCell(i, device.cells_[i]);
  SetRecordCell(10, 9.0f);
  device.changed_ = false;
  Run();
  EXPECT_FALSE(device.changed_);

  SetRecordCell(9, 9.0f);
  Run();
  EXPECT_TRUE(device.changed_);
}

// ---------------------------------------------------------------------------
// Record update

TEST_F(EndOfCycleTest, FreshValuesReplaceTheRecordMeasurements) {
  device.cell_count_ = 10;  // all 32 cells are copied whatever the count
  device.cells_[3] = -0.0f;
  device.cells_[30] = kNaN;
  device.group_voltage_ = 52.01f;
  device.group_current_ = -3.25f;
  device.temperature_ = 23.45f;
  unsigned char* bytes = record::Bytes(device.data_);
  std::memset(bytes, 0xAB, record::kSize);
  unsigned char before[record::kSize];
  std::memcpy(before, bytes, sizeof before);
  device.retry_count_ = 3;

  Run();

  EXPECT_EQ(device.retry_count_, 0);
  EXPECT_EQ(std::memcmp(bytes + 4, device.cells_.data(), 128), 0) << "bytes 4 to 131";
  float value = 0.0f;
  std::memcpy(&value, bytes + 132, 4);
  EXPECT_EQ(value, 52.01f);
  std::memcpy(&value, bytes + 136, 4);
  EXPECT_EQ(value, -3.25f);
  EXPECT_EQ(bytes[140], 0);
  std::memcpy(&value, bytes + 141, 4);  // unaligned
  EXPECT_EQ(value, 23.45f);
  EXPECT_EQ(std::memcmp(bytes, before, 4), 0) << "the data id is left as it was";
  EXPECT_EQ(std::memcmp(bytes + 145, before + 145, 7), 0) << "the time is left as it was";
}

TEST_F(EndOfCycleTest, ChecksRunOnTheUpdatedRecord) {
  SetRecordCell(0, 9.0f);
  device.active_batteries_ = {0};
  const std::vector<std::string> events = Run();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[3], CellLine(0, 1));
}

// ---------------------------------------------------------------------------
// Threshold checks

struct SelectionCase {
  const char* label;
  std::vector<int> active_batteries;
  int battery_start;
  int cell_count;
  // (cell, number shown) in the order of the checks
  std::vector<std::pair<int, long long>> checks;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const SelectionCase& c, std::ostream* out) {
  *out << c.label;
}

class CellSelectionTest : public EndOfCycleTest,
                          public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(CellSelectionTest, GroupChecksThenTheSelectedCells) {
  const SelectionCase& c = GetParam();
  device.active_batteries_ = c.active_batteries;
  device.battery_start_ = c.battery_start;
  device.cell_count_ = c.cell_count;
  std::vector<std::string> expected = kGroupLines;
  for (const auto& [cell, shown] : c.checks) expected.push_back(CellLine(cell, shown));
  EXPECT_EQ(Run(), expected);
}

std::vector<std::pair<int, long long>> EveryCell(int count, long long first_shown) {
  std::vector<std::pair<int, long long>> checks;
  for (int i = 0; i < count; ++i) checks.emplace_back(i, first_shown + i);
  return checks;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Selection, CellSelectionTest,
    ::testing::Values(
        SelectionCase{"EmptyListChecksEveryCell", {}, 0, 32, EveryCell(32, 1)},
        SelectionCase{"RepeatedAndOutOfRange", {3, 3, 40, -1}, 0, 32, {{3, 4}, {3, 4}}},
        SelectionCase{"ListOrder", {31, 0, 5}, 0, 32, {{31, 32}, {0, 1}, {5, 6}}},
        SelectionCase{"OnlyOutOfRange", {32, 100, -1, INT_MIN}, 0, 32, {}},
        SelectionCase{"CountedCellsOnly", {9, 10}, 0, 10, {{9, 10}}},
        SelectionCase{"EmptyListWithFewerCells", {}, 0, 10, EveryCell(10, 1)}),
    [](const ::testing::TestParamInfo<SelectionCase>& param_info) { return std::string(param_info.param.label); });
// clang-format on

INSTANTIATE_TEST_SUITE_P(
    DisplayNumbers, CellSelectionTest,
    ::testing::Values(
        SelectionCase{"StartShiftsEveryCell", {}, 32, 32, EveryCell(32, 33)},
        SelectionCase{"SecondGroup", {0, 1, 2}, 17, 32, {{0, 18}, {1, 19}, {2, 20}}},
        SelectionCase{"NegativeStart", {0, 4, 5}, -5, 32, {{0, -4}, {4, 0}, {5, 1}}},
        // beyond int the number is formed wide instead of overflowing
        SelectionCase{"LargestStart", {0, 1}, INT_MAX, 32, {{0, 2147483648LL}, {1, 2147483649LL}}},
        SelectionCase{"SmallestStart", {0}, INT_MIN, 32, {{0, -2147483647LL}}}),
    [](const ::testing::TestParamInfo<SelectionCase>& param_info) {
      return std::string(param_info.param.label);
    });

TEST_F(EndOfCycleTest, DisplayNamesFollowAChangedStart) {
  device.active_batteries_ = {0, 31};
  Run();
  device.battery_start_ = 32;
  std::vector<std::string> expected = kGroupLines;
  expected.push_back(CellLine(0, 33));
  expected.push_back(CellLine(31, 64));
  EXPECT_EQ(Run(), expected);
  device.battery_start_ = 0;
  expected.resize(3);
  expected.push_back(CellLine(0, 1));
  expected.push_back(CellLine(31, 32));
  EXPECT_EQ(Run(), expected);
}

TEST_F(EndOfCycleTest, InvalidGroupVoltageIsNotCheckedButStillComparedAndStored) {
  device.group_voltage_valid_ = false;
  device.active_batteries_ = {-1};
  device.changed_ = false;
  // Only the group voltage differs from the record (all zero).
  for (std::size_t i = 0; i < device.cells_.size(); ++i) device.cells_[i] = 0.0f;
  EXPECT_EQ(Run(), (std::vector<std::string>{kGroupLines[1], kGroupLines[2]}));
  EXPECT_TRUE(device.changed_);
  EXPECT_EQ(record::Load<float>(device.data_, record::kGroupVoltageOffset), 52.5f);
}

// A list of more entries than a 16-bit index reaches is walked to its end.
TEST_F(EndOfCycleTest, LongSelectionIsWalkedToItsEnd) {
  device.active_batteries_.assign(70000, -1);
  device.active_batteries_[65536] = 5;
  device.active_batteries_.back() = 6;
  std::vector<std::string> expected = kGroupLines;
  expected.push_back(CellLine(5, 6));
  expected.push_back(CellLine(6, 7));
  EXPECT_EQ(Run(), expected);
}

// A host whose threshold check fails on one variable.
class FailingThresholdHost : public RecordingController {
 public:
  bool CheckThreshold(PXHVDevice& device, const std::string& name, const std::string& display,
                      const float& value, int index) override {
    RecordingController::CheckThreshold(device, name, display, value, index);
    if (name == "temperature") throw std::runtime_error("host failure");
    return false;
  }
};

TEST_F(EndOfCycleTest, HostErrorLeavesTheRemainingChecksUndone) {
  auto failing = std::make_shared<FailingThresholdHost>();
  device.Init(failing, kDataId, Json::Value(Json::objectValue));
  EXPECT_THROW(device.RunCheckThreshold(), std::runtime_error);
  EXPECT_EQ(failing->events, kGroupLines);
  EXPECT_EQ(record::CellVoltage(device.data_, 31), 31.5f) << "the record was updated first";
}

// ---------------------------------------------------------------------------
// Whole polling cycles

class CycleChangeTest : public DeviceTest {
 protected:
  void SetUp() override { Configure(ParseJson(R"({"appSetting": {"version": 2}})")); }
};

TEST_F(CycleChangeTest, FirstCycleComparesWithTheZeroRecord) {
  RunCycle(CellRaw{}, 1, 0, 2345);  // cells out of window give 0; group 0.01 V
  EXPECT_FALSE(device.changed_) << "0.01f is below 0.01";
  RunCycle(CellRaw{}, 3, 0, 2345);  // 0.03f - 0.01f is 0.02
  EXPECT_TRUE(device.changed_);
  RunCycle(CellRaw{}, 3, 900, 3000);  // current and temperature only
  EXPECT_FALSE(device.changed_);
}

struct CycleCase {
  const char* label;
  CellRaw first_cells;
  std::uint16_t first_group;
  CellRaw second_cells;
  std::uint16_t second_group;
  bool changed;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const CycleCase& c, std::ostream* out) {
  *out << c.label;
}

class CycleChangeCaseTest : public CycleChangeTest,
                            public ::testing::WithParamInterface<CycleCase> {};

TEST_P(CycleChangeCaseTest, SecondCycleAgainstTheFirst) {
  const CycleCase& c = GetParam();
  RunCycle(c.first_cells, c.first_group, 125, 2345);
  EXPECT_TRUE(device.changed_) << "the first cycle starts from a zero record";
  RunCycle(c.second_cells, c.second_group, 125, 2345);
  EXPECT_EQ(device.changed_, c.changed);
}

CellRaw WithCell(CellRaw cells, std::size_t cell, std::uint16_t raw) {
  cells[cell] = raw;
  return cells;
}

const CellRaw kTwoVolts = test_frames::RisingCells(2000, 0);
const CellRaw kTwoPointTwoVolts = test_frames::RisingCells(2200, 0);

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Decoded, CycleChangeCaseTest,
    ::testing::Values(
        CycleCase{"Same", kTwoVolts, 5200, kTwoVolts, 5200, false},
        CycleCase{"GroupOneHundredth", kTwoVolts, 5200, kTwoVolts, 5201, false},
        CycleCase{"GroupTwoHundredths", kTwoVolts, 5200, kTwoVolts, 5202, true},
        CycleCase{"CellFiveMillivolts", kTwoVolts, 5200, WithCell(kTwoVolts, 20, 2005), 5200, true},
        CycleCase{"CellFiveMillivoltsHigher", kTwoPointTwoVolts, 5200, WithCell(kTwoPointTwoVolts, 20, 2205), 5200, false}),
    [](const ::testing::TestParamInfo<CycleCase>& param_info) { return std::string(param_info.param.label); });
// clang-format on

TEST_F(DeviceTest, ConfiguredCellsAreCheckedUnderTheirDisplayNames) {
  Configure(
      ParseJson(R"({"appSetting": {"group_index": 2, "amount": 2, "active_batteries": [31]}})"));
  RunCycle(test_frames::RisingCells(2000, 10), 5200, 125, 2345);
  std::vector<std::string> thresholds;
  for (const std::string& line : TakeEvents()) {
    if (line.rfind("threshold ", 0) == 0) thresholds.push_back(line);
  }
  EXPECT_EQ(thresholds, (std::vector<std::string>{
                            ThresholdLine("group_voltage", "整组电压", "520", 1),
                            ThresholdLine("group_current", "电流", "12.5", 1),
                            ThresholdLine("temperature", "温度", "23.45", 1),
                            ThresholdLine("battery_0_value", "第18节电池", "2", 1),
                            ThresholdLine("battery_1_value", "第19节电池", "2.01", 2),
                            ThresholdLine("battery_31_value", "第49节电池", "2.31", 32),
                        }));
}

}  // namespace
