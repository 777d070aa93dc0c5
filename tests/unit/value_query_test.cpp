// Value queries by variable name: readiness, age and the cell-name search.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <random>
#include <regex>
#include <string>

#include "battery/local_time.h"
#include "battery2v_32/cell_name.h"
#include "tests/support/device_harness.h"

namespace {

using test_frames::RisingCells;

class ValueQueryTest : public DeviceTest {
 protected:
  // A device with a complete record: cell i holds 2.0 + i / 100 V.
  void MakeReady() {
    testing::internal::CaptureStdout();
    RunCycle(RisingCells(2000, 10), 5350, 125, 2345);
    testing::internal::GetCapturedStdout();
  }

  // Sets the last activity `seconds` ago and queries within the same second
  // of the clock, so that the age the query sees is exactly `seconds`.
  std::string QueryAtAge(long seconds) {
    for (;;) {
      const auto now = LocalNow();
      device.last_update_ = now - boost::posix_time::seconds(seconds);
      const std::string outcome = FailureOf("group_voltage");
      if (LocalNow() == now) return outcome;
    }
  }

  std::string FailureOf(const std::string& name) {
    try {
      const float value = device.Get_Value(kDataId, name);
      return "answered " + std::to_string(value);
    } catch (const std::out_of_range& error) {
      return error.what();
    }
  }
};

TEST_F(ValueQueryTest, NothingIsAnsweredBeforeTheFirstRecord) {
  for (const char* name : {"battery_0_value", "group_voltage", "unsupported"}) {
    EXPECT_EQ(FailureOf(name), "数据未就绪") << name;
  }
  // Live values exist after a group-voltage answer, but the record does not yet.
  device.CallGroupVoltage();
  Rx(test_frames::ShortAnswer(kAddress, 5350));
  EXPECT_EQ(FailureOf("group_voltage"), "数据未就绪");
}

struct NameCase {
  const char* name;
  float value;          // when answered
  const char* failure;  // when not
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const NameCase& c, std::ostream* out) {
  *out << '"' << c.name << '"';
}

class NameTest : public ValueQueryTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NameTest, Answer) {
  const NameCase& c = GetParam();
  MakeReady();
  if (c.failure == nullptr) {
    EXPECT_EQ(device.Get_Value(kDataId, c.name), c.value) << c.name;
  } else {
    EXPECT_EQ(FailureOf(c.name), c.failure) << c.name;
  }
}

constexpr const char* kUnsupported = "不支持变量";

INSTANTIATE_TEST_SUITE_P(
    Names, NameTest,
    ::testing::Values(
        NameCase{"battery_0_value", 2.0f, nullptr}, NameCase{"battery_31_value", 2.31f, nullptr},
        NameCase{"battery_32_value", 0, kUnsupported},
        NameCase{"battery_007_value", 2.07f, nullptr},
        NameCase{"xbattery_3_value_max", 2.03f, nullptr},
        NameCase{"battery_-1_value", 0, kUnsupported}, NameCase{"battery__value", 0, kUnsupported},
        NameCase{"battery_99999999999_value", 0, kUnsupported},
        NameCase{"battery_2147483647_value", 0, kUnsupported},
        NameCase{"battery_00000000000000000005_value", 2.05f, nullptr},
        NameCase{"battery_x_value battery_4_value", 2.04f, nullptr},
        NameCase{"group_voltage battery_1_value", 2.01f, nullptr},
        NameCase{"Battery_1_value", 0, kUnsupported}, NameCase{"group_voltage", 535.0f, nullptr},
        NameCase{"group_current", 12.5f, nullptr}, NameCase{"temperature", 23.45f, nullptr},
        NameCase{"Group_Voltage", 0, kUnsupported}, NameCase{"group_voltage ", 0, kUnsupported},
        NameCase{"", 0, kUnsupported}));

TEST_F(ValueQueryTest, CellCountLimitsTheCellNames) {
  MakeReady();
  device.cell_count_ = 4;
  EXPECT_EQ(device.Get_Value(kDataId, "battery_3_value"), 2.03f);
  EXPECT_EQ(FailureOf("battery_4_value"), kUnsupported);
}

TEST_F(ValueQueryTest, AgeLimitIsSixtySeconds) {
  MakeReady();
  EXPECT_EQ(QueryAtAge(0), "answered " + std::to_string(535.0f));
  EXPECT_EQ(QueryAtAge(60), "answered " + std::to_string(535.0f));
  EXPECT_EQ(QueryAtAge(61), "数据已超时");
  EXPECT_EQ(QueryAtAge(3600), "数据已超时");
  EXPECT_EQ(QueryAtAge(-120), "answered " + std::to_string(535.0f)) << "clock set back";
}

TEST_F(ValueQueryTest, ReadinessThenAgeThenName) {
  MakeReady();
  device.last_update_ = LocalNow() - boost::posix_time::minutes(5);
  EXPECT_EQ(FailureOf("unsupported"), "数据已超时");
  device.data_ready_ = false;
  EXPECT_EQ(FailureOf("unsupported"), "数据未就绪");
}

TEST_F(ValueQueryTest, GroupValuesAreLiveWhileCellsWaitForTheRecord) {
  MakeReady();
  Tick();
  Rx(test_frames::CellAnswer(kAddress, RisingCells(3000, 10)));
  Rx(test_frames::ShortAnswer(kAddress, 4800));
  EXPECT_EQ(device.Get_Value(kDataId, "group_voltage"), 480.0f);
  EXPECT_EQ(device.Get_Value(kDataId, "battery_0_value"), 2.0f);
  Rx(test_frames::ShortAnswer(kAddress, 125));
  testing::internal::CaptureStdout();
  Rx(test_frames::ShortAnswer(kAddress, 2345));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(device.Get_Value(kDataId, "battery_0_value"), 3.0f);
}

TEST_F(ValueQueryTest, QueriesChangeNothing) {
  MakeReady();
  TakeEvents();
  const Battery32_Data_t before = device.data_;
  const auto update = device.last_update_;
  for (int i = 0; i < 3; ++i) FailureOf("battery_" + std::to_string(i) + "_value");
  EXPECT_EQ(std::memcmp(&before, &device.data_, sizeof before), 0);
  EXPECT_EQ(device.last_update_, update);
  EXPECT_TRUE(TakeEvents().empty());
}

// ---------------------------------------------------------------------------
// The hand-written cell-name search against std::regex_search

std::optional<std::int32_t> RegexCellNumber(const std::string& name) {
  static const std::regex pattern("battery_(\\d+)_value");
  std::smatch match;
  if (!std::regex_search(name, match, pattern)) return std::nullopt;
  const std::string digits = match[1].str();
  const std::size_t significant = digits.find_first_not_of('0');
  if (significant == std::string::npos) return 0;
  if (digits.size() - significant > 10) return std::nullopt;
  const long long value = std::stoll(digits.substr(significant));
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::string RandomName(std::mt19937& random) {
  static const char* const kPieces[] = {"battery_",
                                        "battery_",
                                        "battery",
                                        "_value",
                                        "_value",
                                        "_valu",
                                        "value",
                                        "BATTERY_",
                                        "Battery_",
                                        "_VALUE",
                                        " ",
                                        "_",
                                        "-",
                                        "x",
                                        "9",
                                        "\xE7\xAC\xAC",
                                        "group_voltage",
                                        "\t",
                                        "battery__value",
                                        "0"};
  std::uniform_int_distribution<int> piece_count(0, 8);
  // One past the pieces: a digit run; two past: a whole cell name around one.
  std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) + 1);
  std::uniform_int_distribution<int> digit_count(1, 12);
  std::uniform_int_distribution<int> digit(0, 9);
  std::string name;
  for (int n = piece_count(random); n > 0; --n) {
    const std::size_t chosen = piece(random);
    if (chosen < std::size(kPieces)) {
      name += kPieces[chosen];
      continue;
    }
    const bool whole_name = chosen > std::size(kPieces);
    if (whole_name) name += "battery_";
    for (int d = digit_count(random); d > 0; --d) name += static_cast<char>('0' + digit(random));
    if (whole_name) name += "_value";
  }
  return name;
}

TEST(CellNameSearchTest, AgreesWithRegexSearchOnGeneratedNames) {
  std::mt19937 random(20261208);
  int matched = 0;
  for (int i = 0; i < 30000; ++i) {
    const std::string name = RandomName(random);
    const auto expected = RegexCellNumber(name);
    ASSERT_EQ(battery2v_32::FindCellNumber(name), expected) << '"' << name << '"';
    matched += expected.has_value();
  }
  EXPECT_GT(matched, 1000) << "the generator should produce plenty of matching names";
}

TEST(CellNameSearchTest, AgreesWithRegexSearchOnEdgeNames) {
  const std::string names[] = {"battery_1_value",
                               "battery_1_valuebattery_2_value",
                               "battery_battery_3_value",
                               "battery_12battery_4_value",
                               "battery_2147483647_value",
                               "battery_2147483648_value",
                               "battery_4294967301_value",
                               std::string("battery_\0_value", 15),
                               std::string("a\0battery_6_value", 17),
                               "battery_6_value\n"};
  for (const std::string& name : names) {
    EXPECT_EQ(battery2v_32::FindCellNumber(name), RegexCellNumber(name)) << name;
  }
}

}  // namespace
