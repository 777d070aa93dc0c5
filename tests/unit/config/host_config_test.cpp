// The host configuration: what is read, and every problem named by file,
// line and key.

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>

#include "programs/battery-host/config/host_config.h"

namespace {

TEST(HostConfigTest, CompleteDeviceIsRead) {
  const LoadedConfig loaded = ParseHostConfig("h.json", R"({
  "tick_ms": 250, "plugin": "lib/p.so", "state_dir": "st",
  "ports": {"/dev/ttyUSB0": {"echo": true, "quiet_ms": 20}},
  "devices": [{"data_id": 9, "address": "0x81", "port": "/dev/ttyUSB0",
               "config": {"appSetting": {"version": "2", "current_ratio": 1}},
               "thresholds": {"temperature": {"high": 40, "hysteresis": 1, "level": 3}}}]})");
  ASSERT_TRUE(loaded.Valid()) << FormatProblem(loaded.problems.front());
  const HostConfig& config = loaded.config;
  EXPECT_EQ(config.tick, std::chrono::milliseconds(250));
  EXPECT_TRUE(config.Port("/dev/ttyUSB0").echo);
  EXPECT_FALSE(config.Port("/dev/ttyUSB1").echo);
  EXPECT_EQ(config.Port("/dev/ttyUSB0").quiet, std::chrono::milliseconds(20));
  EXPECT_EQ(config.Port("/dev/ttyUSB1").quiet, std::chrono::milliseconds(0));
  ASSERT_EQ(config.devices.size(), 1u);
  const DeviceConfig& device = config.devices.front();
  EXPECT_EQ(device.address, 0x81);
  EXPECT_EQ(device.sim.address, 0x01);
  EXPECT_EQ(device.sim.version, 2);
  EXPECT_EQ(device.sim.current_encoding, monitor_sim::CurrentEncoding::kOffset);
  EXPECT_EQ(device.plugin_config["appSetting"]["version"].asString(), "2");
  EXPECT_EQ(*device.thresholds.at("temperature").high, 40.0f);
  EXPECT_EQ(device.thresholds.at("temperature").level, 3);
}

struct ProblemCase {
  const char* name;
  std::string device;  // members of the one device, after data_id, address and port
  std::string expected;
  bool warning;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ProblemCase& c, std::ostream* out) {
  *out << c.name;
}

class HostConfigProblemTest : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(HostConfigProblemTest, NamesLineAndKey) {
  const std::string text = "{\"devices\": [\n{\"data_id\": 1, \"address\": 129, \"port\": \"sim\"" +
                           GetParam().device + "}]}";
  const LoadedConfig loaded = ParseHostConfig("h.json", text);
  std::string all;
  for (const ConfigProblem& problem : loaded.problems) all += FormatProblem(problem) + "\n";
  EXPECT_NE(all.find(GetParam().expected), std::string::npos) << all;
  EXPECT_EQ(loaded.Valid(), GetParam().warning) << all;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Problems, HostConfigProblemTest,
    ::testing::Values(
        ProblemCase{"object_setting", ",\n\"config\": {\"appSetting\": {\"group_a\": {}}}", "h.json:3: devices[0].config.appSetting.group_a: expected a single value", false},
        ProblemCase{"array_in_list", ",\n\"config\": {\"appSetting\": {\"active_batteries\": [1, [2]]}}", "h.json:3: devices[0].config.appSetting.active_batteries[1]: expected a single", false},
        ProblemCase{"threshold_part", ",\n\"config\": {\"appSetting\": {\"b_mode\": 3}, \"thresholdSetting\": {\"temperature\": {\"ID\": [1]}}}", "devices[0].config.thresholdSetting.temperature.ID: expected a single", false},
        ProblemCase{"threshold_array", ",\n\"config\": {\"appSetting\": {\"b_mode\": \"3\"}, \"thresholdSetting\": []}", "thresholdSetting: expected an object keyed by variable name", false},
        ProblemCase{"unknown_device_key", ",\n\"adress\": 1", "h.json:3: devices[0].adress: unknown key", false},
        ProblemCase{"unknown_variable", ",\n\"thresholds\": {\"voltage\": {\"high\": 1}}", "devices[0].thresholds.voltage: not a variable", false},
        ProblemCase{"cell_with_leading_zero", ",\n\"thresholds\": {\"battery_07_value\": {\"high\": 1}}", "devices[0].thresholds.battery_07_value: not a variable", false},
        ProblemCase{"cell_past_the_last", ",\n\"thresholds\": {\"battery_32_value\": {\"high\": 1}}", "devices[0].thresholds.battery_32_value: not a variable", false},
        ProblemCase{"low_above_high", ",\n\"thresholds\": {\"temperature\": {\"high\": 1, \"low\": 2}}", "expected \"low\" below \"high\"", false},
        ProblemCase{"fault_rates", ",\n\"sim\": {\"faults\": {\"split\": 0.8, \"late\": 0.5}}", "devices[0].sim.faults: expected rates that add up to 0 .. 1", false},
        ProblemCase{"unread_setting", ",\n\"config\": {\"appSetting\": {\"group_A\": 2}}", "warning: devices[0].config.appSetting.group_A: not a setting", true},
        ProblemCase{"text_read_as_zero", ",\n\"config\": {\"appSetting\": {\"version\": \"two\"}}", "warning: devices[0].config.appSetting.version: 'two' has no leading number", true},
        ProblemCase{"threshold_mode", ",\n\"config\": {\"thresholdSetting\": {}}", "warning: devices[0].config.thresholdSetting: read only when", true}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST(HostConfigTest, LowAddressIsWarnedAbout) {
  const LoadedConfig loaded =
      ParseHostConfig("h.json", R"({"devices": [{"data_id": 1, "address": 1, "port": "sim"}]})");
  ASSERT_EQ(loaded.problems.size(), 1u);
  EXPECT_TRUE(loaded.problems.front().warning);
  EXPECT_NE(loaded.problems.front().message.find("configured as 129"), std::string::npos);
}

TEST(HostConfigTest, MissingKeysAndBadAddress) {
  const LoadedConfig loaded =
      ParseHostConfig("h.json", "{\"devices\": [{\"address\": \"0x1G0\"}]}");
  std::string all;
  for (const ConfigProblem& problem : loaded.problems) all += FormatProblem(problem) + "\n";
  EXPECT_NE(all.find("devices[0].data_id: missing"), std::string::npos) << all;
  EXPECT_NE(all.find("devices[0].port: missing"), std::string::npos) << all;
  EXPECT_NE(all.find("devices[0].address: expected an address"), std::string::npos) << all;
}

struct QuietCase {
  const char* name;
  std::string quiet;     // the value of quiet_ms, as JSON text
  std::string expected;  // part of the one problem; empty: none
  bool warning;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const QuietCase& c, std::ostream* out) {
  *out << c.name;
}

class QuietGapConfigTest : public ::testing::TestWithParam<QuietCase> {};

TEST_P(QuietGapConfigTest, IsCheckedLikeTheOtherPortKeys) {
  const LoadedConfig loaded = ParseHostConfig(
      "h.json",
      "{\"tick_ms\": 100, \"ports\": {\"/dev/ttyS0\":\n {\"quiet_ms\": " + GetParam().quiet +
          "}},\n \"devices\": [{\"data_id\": 1, \"address\": 129, \"port\": "
          "\"/dev/ttyS0\"}]}");
  if (GetParam().expected.empty()) {
    EXPECT_TRUE(loaded.problems.empty()) << FormatProblem(loaded.problems.front());
    return;
  }
  ASSERT_EQ(loaded.problems.size(), 1u);
  EXPECT_NE(FormatProblem(loaded.problems.front()).find(GetParam().expected), std::string::npos)
      << FormatProblem(loaded.problems.front());
  EXPECT_EQ(loaded.Valid(), GetParam().warning);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Values, QuietGapConfigTest,
    ::testing::Values(
        QuietCase{"fits_the_tick", "20", "", true},
        QuietCase{"off", "0", "", true},
        QuietCase{"fraction", "2.5", "h.json:2: ports./dev/ttyS0.quiet_ms: expected an integer from 0 to 1000", false},
        QuietCase{"too_long", "1001", "expected an integer from 0 to 1000, found 1001", false},
        QuietCase{"text", "\"10\"", "expected an integer from 0 to 1000, found a string", false},
        QuietCase{"four_gaps_reach_the_tick", "25", "warning: ports./dev/ttyS0.quiet_ms: 4 x quiet_ms reaches tick_ms (100)", true}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

}  // namespace
