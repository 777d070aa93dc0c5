// Parts of the live host: echo filter, threshold hysteresis, gathering until
// the line is quiet, the host configuration and the record line.

#include <gtest/gtest.h>

#include <functional>

#include <boost/asio/io_context.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/line/echo_filter.h"
#include "programs/battery-host/line/quiet_gap_gatherer.h"
#include "programs/battery-host/outputs/json_output.h"
#include "programs/battery-host/state/threshold_monitor.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Echo

struct EchoCase {
  const char* name;
  Bytes sent;
  std::vector<Bytes> chunks;
  std::vector<std::size_t> stripped;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const EchoCase& c, std::ostream* out) {
  *out << c.name;
}

class EchoFilterTest : public ::testing::TestWithParam<EchoCase> {};

TEST_P(EchoFilterTest, StripsOnlyTheEcho) {
  EchoFilter filter;
  filter.Expect(GetParam().sent.data(), GetParam().sent.size());
  std::vector<std::size_t> stripped;
  for (const Bytes& chunk : GetParam().chunks)
    stripped.push_back(filter.Strip(chunk.data(), chunk.size()));
  EXPECT_EQ(stripped, GetParam().stripped);
}

const Bytes kRequest = {0xFE, 0xFE, 0x6B, 0xA2, 0xED};  // checksum 0xED, the answer's lead byte

INSTANTIATE_TEST_SUITE_P(
    Chunks, EchoFilterTest,
    ::testing::Values(
        EchoCase{"whole_then_answer", kRequest, {kRequest, {0xED, 0x6B, 0x01, 0x02, 0x6E}}, {5, 0}},
        EchoCase{
            "echo_and_answer_in_one", kRequest, {{0xFE, 0xFE, 0x6B, 0xA2, 0xED, 0xED, 0x6B}}, {5}},
        EchoCase{"echo_in_pieces", kRequest, {{0xFE, 0xFE}, {0x6B}, {0xA2, 0xED, 0xED}}, {2, 1, 2}},
        EchoCase{"echo_lost", kRequest, {{0xED, 0x6B, 0x01, 0x02, 0x6E}}, {0}},
        EchoCase{"echo_cut", kRequest, {{0xFE, 0xFE, 0xED, 0x6B}, {0xFE}}, {2, 0}}),
    [](const auto& test) { return std::string(test.param.name); });

// ---------------------------------------------------------------------------
// Thresholds

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
      EXPECT_FALSE(crossing) << step.value << " reported " << crossing->state;
    } else {
      ASSERT_TRUE(crossing) << step.value;
      EXPECT_STREQ(crossing->state, step.state) << step.value;
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

INSTANTIATE_TEST_SUITE_P(
    Sequences, ThresholdMonitorTest,
    ::testing::Values(ThresholdCase{"high_once",
                                    Limit(58.0f, std::nullopt, 0.0f),
                                    {{57.0f, nullptr},
                                     {58.5f, "high"},
                                     {59.0f, nullptr},
                                     {58.0f, "normal"},
                                     {57.0f, nullptr}}},
                      ThresholdCase{"at_the_limit_is_inside",
                                    Limit(58.0f, 46.0f, 0.0f),
                                    {{58.0f, nullptr}, {46.0f, nullptr}}},
                      ThresholdCase{"hysteresis_holds_the_alarm",
                                    Limit(58.0f, std::nullopt, 0.5f),
                                    {{58.1f, "high"},
                                     {57.9f, nullptr},
                                     {58.2f, nullptr},
                                     {57.5f, "normal"},
                                     {58.1f, "high"}}},
                      ThresholdCase{"low_side",
                                    Limit(std::nullopt, 46.0f, 1.0f),
                                    {{45.0f, "low"}, {46.5f, nullptr}, {47.0f, "normal"}}},
                      ThresholdCase{"straight_across",
                                    Limit(58.0f, 46.0f, 0.0f),
                                    {{60.0f, "high"}, {40.0f, "low"}, {50.0f, "normal"}}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ThresholdMonitorTest, CellsShareTheAnyCellLimitAndKeepOwnState) {
  ThresholdMonitor monitor({{kAnyCellThreshold, Limit(2.4f, std::nullopt, 0.0f)},
                            {"battery_3_value", Limit(2.3f, std::nullopt, 0.0f)}});
  EXPECT_TRUE(monitor.Check("battery_0_value", 2.5f));
  EXPECT_TRUE(monitor.Check("battery_1_value", 2.5f));  // its own state, not cell 0's
  EXPECT_FALSE(monitor.Check("battery_0_value", 2.6f));
  EXPECT_TRUE(monitor.Check("battery_3_value", 2.35f));  // its own limit
  EXPECT_FALSE(monitor.Check("temperature", 99.0f));     // no limit at all
}

// ---------------------------------------------------------------------------
// Gathering until the line is quiet. The gap's timer fires only inside
// io.run(), so bytes added before it always fall within one gap.

class QuietGapGathererTest : public ::testing::Test {
 protected:
  void Add(const Bytes& bytes) { gatherer_.Add(bytes.data(), bytes.size()); }
  void RunUntilQuiet() {
    io_.restart();
    io_.run();
  }

  boost::asio::io_context io_;
  std::vector<Bytes> chunks_;
  QuietGapGatherer gatherer_{
      io_, std::chrono::milliseconds(5),
      [this](std::uint8_t* data, std::size_t size) { chunks_.emplace_back(data, data + size); }};
};

TEST_F(QuietGapGathererTest, PiecesWithinTheGapGoOverAsOneChunk) {
  Add({0xED, 0x01});
  Add({0x02, 0xBF});
  Add({0xC2});
  EXPECT_TRUE(chunks_.empty()) << "the line has not been quiet yet";
  RunUntilQuiet();
  EXPECT_EQ(chunks_, (std::vector<Bytes>{{0xED, 0x01, 0x02, 0xBF, 0xC2}}));
}

TEST_F(QuietGapGathererTest, EightyBytesGoOverAtOnce) {
  Bytes stream(100);
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(i);
  Add(Bytes(stream.begin(), stream.begin() + 30));
  Add(Bytes(stream.begin() + 30, stream.end()));
  ASSERT_EQ(chunks_.size(), 1u);
  EXPECT_EQ(chunks_[0], Bytes(stream.begin(), stream.begin() + QuietGapGatherer::kMaxChunk));
  RunUntilQuiet();
  ASSERT_EQ(chunks_.size(), 2u);
  EXPECT_EQ(chunks_[1], Bytes(stream.begin() + QuietGapGatherer::kMaxChunk, stream.end()));
}

TEST_F(QuietGapGathererTest, FlushHandsOverWhatIsHeldAndEndsTheWait) {
  Add({0xED, 0x01, 0x02});
  gatherer_.Flush();
  EXPECT_EQ(chunks_, (std::vector<Bytes>{{0xED, 0x01, 0x02}}));
  gatherer_.Flush();
  RunUntilQuiet();
  EXPECT_EQ(chunks_.size(), 1u) << "nothing held, nothing handed over";
}

TEST_F(QuietGapGathererTest, BytesAfterAQuietGapStartANewChunk) {
  Add({0xED, 0x01, 0x00, 0x10, 0x11});
  RunUntilQuiet();
  Add({0xED, 0x01});
  RunUntilQuiet();
  EXPECT_EQ(chunks_, (std::vector<Bytes>{{0xED, 0x01, 0x00, 0x10, 0x11}, {0xED, 0x01}}));
}

// ---------------------------------------------------------------------------
// Host configuration

TEST(HostConfigTest, CompleteDeviceIsRead) {
  const LoadedConfig loaded = ParseHostConfig("h.json", R"({
  "poll_interval_ms": 250, "plugin": "lib/p.so", "state_dir": "st",
  "ports": {"/dev/ttyUSB0": {"echo": true, "quiet_ms": 20, "answer_timeout_ms": 120}},
  "devices": [{"data_id": 9, "address": "0x81", "port": "/dev/ttyUSB0", "poll_interval_ms": 0,
               "config": {"appSetting": {"version": "2", "current_ratio": 1}},
               "thresholds": {"temperature": {"high": 40, "hysteresis": 1, "level": 3}}}]})");
  ASSERT_TRUE(loaded.Valid()) << FormatProblem(loaded.problems.front());
  const HostConfig& config = loaded.config;
  EXPECT_EQ(config.poll_interval, std::chrono::milliseconds(250));
  EXPECT_EQ(config.PollInterval(config.devices.at(0)), std::chrono::milliseconds(0));
  EXPECT_EQ(config.Port("/dev/ttyUSB0").answer_timeout, std::chrono::milliseconds(120));
  EXPECT_FALSE(config.Port("/dev/ttyUSB1").answer_timeout.has_value());
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

INSTANTIATE_TEST_SUITE_P(
    Problems, HostConfigProblemTest,
    ::testing::Values(
        ProblemCase{"object_setting", ",\n\"config\": {\"appSetting\": {\"group_a\": {}}}",
                    "h.json:3: devices[0].config.appSetting.group_a: expected a single value",
                    false},
        ProblemCase{
            "array_in_list", ",\n\"config\": {\"appSetting\": {\"active_batteries\": [1, [2]]}}",
            "h.json:3: devices[0].config.appSetting.active_batteries[1]: expected a single", false},
        ProblemCase{"threshold_part",
                    ",\n\"config\": {\"appSetting\": {\"b_mode\": 3}, \"thresholdSetting\": "
                    "{\"temperature\": {\"ID\": [1]}}}",
                    "devices[0].config.thresholdSetting.temperature.ID: expected a single", false},
        ProblemCase{
            "threshold_array",
            ",\n\"config\": {\"appSetting\": {\"b_mode\": \"3\"}, \"thresholdSetting\": []}",
            "thresholdSetting: expected an object keyed by variable name", false},
        ProblemCase{"unknown_device_key", ",\n\"adress\": 1",
                    "h.json:3: devices[0].adress: unknown key", false},
        ProblemCase{"unknown_variable", ",\n\"thresholds\": {\"voltage\": {\"high\": 1}}",
                    "devices[0].thresholds.voltage: not a variable", false},
        ProblemCase{"low_above_high",
                    ",\n\"thresholds\": {\"temperature\": {\"high\": 1, \"low\": 2}}",
                    "expected \"low\" below \"high\"", false},
        ProblemCase{"fault_rates", ",\n\"sim\": {\"faults\": {\"split\": 0.8, \"late\": 0.5}}",
                    "devices[0].sim.faults: expected rates that add up to 0 .. 1", false},
        ProblemCase{"unread_setting", ",\n\"config\": {\"appSetting\": {\"group_A\": 2}}",
                    "warning: devices[0].config.appSetting.group_A: not a setting", true},
        ProblemCase{"text_read_as_zero", ",\n\"config\": {\"appSetting\": {\"version\": \"two\"}}",
                    "warning: devices[0].config.appSetting.version: 'two' has no leading number",
                    true},
        ProblemCase{"threshold_mode", ",\n\"config\": {\"thresholdSetting\": {}}",
                    "warning: devices[0].config.thresholdSetting: read only when", true}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(HostConfigTest, LowAddressIsWarnedAbout) {
  const LoadedConfig loaded =
      ParseHostConfig("h.json", R"({"devices": [{"data_id": 1, "address": 1, "port": "sim"}]})");
  ASSERT_EQ(loaded.problems.size(), 1u);
  EXPECT_TRUE(loaded.problems.front().warning);
  EXPECT_NE(loaded.problems.front().message.find("configured as 129"), std::string::npos);
}

// Decimal or 0x hex, blanks around ignored; never octal.
TEST(HostConfigTest, AddressesAreDecimalOrHex) {
  const std::pair<const char*, int> cases[] = {
      {"\"0200\"", 200}, {"\" 0x81 \"", 129}, {"\"0X7f\"", 127}, {"129", 129},
      {"\"256\"", -1},   {"\"0x\"", -1},      {"\"1e2\"", -1},   {"\"-1\"", -1},
      {"\"+5\"", -1},    {"\"0x1G\"", -1},    {"\"\"", -1},      {"\"0o7\"", -1}};
  for (const auto& [text, address] : cases) {
    const LoadedConfig loaded = ParseHostConfig(
        "h.json",
        std::string(R"({"devices": [{"data_id": 1, "port": "sim", "address": )") + text + "}]}");
    EXPECT_EQ(loaded.Valid(), address >= 0) << text;
    if (address >= 0 && !loaded.config.devices.empty()) {
      EXPECT_EQ(loaded.config.devices.front().address, address) << text;
    }
  }
}

TEST(HostConfigTest, MissingKeysAndBadAddress) {
  const LoadedConfig loaded =
      ParseHostConfig("h.json", "{\"devices\": [{\"address\": \"0x1G0\"}]}");
  std::string all;
  for (const ConfigProblem& problem : loaded.problems) all += FormatProblem(problem) + "\n";
  EXPECT_NE(all.find("devices[0].data_id: missing"), std::string::npos) << all;
  EXPECT_NE(all.find("devices[0].port: missing"), std::string::npos) << all;
  EXPECT_NE(all.find("devices[0].address: expected an integer from 0 to 255"), std::string::npos)
      << all;
}

struct PortCase {
  const char* name;
  std::string port;      // members of the port's settings, as JSON text
  std::string expected;  // part of the one problem; empty: none
  bool warning;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const PortCase& c, std::ostream* out) {
  *out << c.name;
}

class PortSettingsTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortSettingsTest, QuietGapAndAnswerTimeoutAreChecked) {
  const LoadedConfig loaded = ParseHostConfig(
      "h.json", "{\"ports\": {\"/dev/ttyS0\":\n {" + GetParam().port +
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
    Values, PortSettingsTest,
    ::testing::Values(
        PortCase{"quiet", "\"quiet_ms\": 20", "", true},
        PortCase{"quiet_off", "\"quiet_ms\": 0", "", true},
        PortCase{"quiet_fraction", "\"quiet_ms\": 2.5", "h.json:2: ports./dev/ttyS0.quiet_ms: expected an integer from 0 to 1000", false},
        PortCase{"quiet_too_long", "\"quiet_ms\": 1001", "expected an integer from 0 to 1000, found 1001", false},
        PortCase{"quiet_text", "\"quiet_ms\": \"10\"", "expected an integer from 0 to 1000, found a string", false},
        PortCase{"timeout_covers_the_cell_answer", "\"answer_timeout_ms\": 43", "", true},
        PortCase{"timeout_below_the_cell_answer", "\"answer_timeout_ms\": 20", "warning: ports./dev/ttyS0.answer_timeout_ms: below 43 ms", true},
        PortCase{"timeout_below_answer_and_gap", "\"quiet_ms\": 20, \"answer_timeout_ms\": 60", "warning: ports./dev/ttyS0.answer_timeout_ms: below 63 ms", true},
        PortCase{"timeout_zero", "\"answer_timeout_ms\": 0", "expected an integer from 1 to 60000", false},
        PortCase{"paced_on_a_real_port", "\"paced\": false", "warning: ports./dev/ttyS0.paced: used only with a sim port", true}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST(HostConfigTest, TheOldTickNamesItsReplacements) {
  const LoadedConfig loaded =
      ParseHostConfig("h.json",
                      "{\"tick_ms\": 100,\n \"devices\": [{\"data_id\": 1, \"address\": 129, "
                      "\"port\": \"sim\"}]}");
  ASSERT_EQ(loaded.problems.size(), 1u);
  EXPECT_FALSE(loaded.Valid());
  const std::string problem = FormatProblem(loaded.problems.front());
  EXPECT_NE(problem.find("h.json:1: tick_ms: replaced"), std::string::npos) << problem;
  EXPECT_NE(problem.find("poll_interval_ms"), std::string::npos) << problem;
  EXPECT_NE(problem.find("answer_timeout_ms"), std::string::npos) << problem;
}

// ---------------------------------------------------------------------------
// The record line, against what a jsoncpp writer makes of the same values

std::string JsoncppRecordLine(const Battery32_Data_t& record) {
  Json::Value line(Json::objectValue);
  line["type"] = "record";
  line["data_id"] = record.data_id;
  const std::string time = SampleTimeText(record);
  line["sample_time"] = time.empty() ? Json::Value() : Json::Value(time);
  Json::Value& cells = line["cells"] = Json::Value(Json::arrayValue);
  for (std::size_t i = 0; i < battery_link::kCellCount; ++i) {
    cells.append(FloatJson(battery_record::CellVoltage(record, i)));
  }
  using battery_record::Load;
  line["group_voltage"] = FloatJson(Load<float>(record, battery_record::kGroupVoltageOffset));
  line["group_current"] = FloatJson(Load<float>(record, battery_record::kGroupCurrentOffset));
  line["temperature"] = FloatJson(Load<float>(record, battery_record::kTemperatureOffset));
  std::ostringstream out;
  JsonLineWriter(out).Write(line);
  return out.str();
}

std::string HandWrittenRecordLine(const Battery32_Data_t& record) {
  std::string line;
  RecordLine(record, line);
  std::ostringstream out;
  JsonLineWriter(out).Write(line);
  return out.str();
}

void Store(Battery32_Data_t& record, std::size_t offset, float value) {
  std::memcpy(reinterpret_cast<unsigned char*>(&record) + offset, &value, sizeof value);
}

// Values in every notation printf's %g chooses, and the ones JSON cannot hold.
const std::vector<float>& EdgeValues() {
  static const std::vector<float> values = {0.0f,
                                            -0.0f,
                                            1.0f,
                                            2.2f,
                                            2.196f,
                                            25.0f,
                                            70.6f,
                                            -100.0f,
                                            0.1f,
                                            0.0001f,
                                            0.00012345f,
                                            0.00001f,
                                            1.5e-5f,
                                            123456.0f,
                                            12345678.0f,
                                            100000000.0f,
                                            123456792.0f,
                                            999999936.0f,
                                            1e10f,
                                            3.4028235e38f,
                                            1.17549435e-38f,
                                            1e-45f,
                                            -2.5e-7f,
                                            std::numeric_limits<float>::infinity(),
                                            -std::numeric_limits<float>::infinity(),
                                            std::numeric_limits<float>::quiet_NaN()};
  return values;
}

TEST(RecordLineTest, EdgeValuesAreWrittenAsJsoncppWritesThem) {
  for (const float value : EdgeValues()) {
    Battery32_Data_t record{};
    record.data_id = 4294967295u;
    for (std::size_t i = 0; i < battery_link::kCellCount; ++i) {
      Store(record, battery_record::kCellVoltageOffset + 4 * i, value);
    }
    Store(record, battery_record::kGroupVoltageOffset, value);
    Store(record, battery_record::kGroupCurrentOffset, -value);
    Store(record, battery_record::kTemperatureOffset, value * 3.0f);
    EXPECT_EQ(HandWrittenRecordLine(record), JsoncppRecordLine(record)) << value;
  }
}

TEST(RecordLineTest, RandomRecordsAreWrittenAsJsoncppWritesThem) {
  std::mt19937 random(5011);
  std::uniform_int_distribution<std::uint32_t> bits;
  std::uniform_real_distribution<float> volts(1.8f, 2.4f);
  for (int n = 0; n < 2000; ++n) {
    Battery32_Data_t record{};
    record.data_id = bits(random);
    const std::uint8_t time[7] = {0xEA,
                                  0x07,
                                  static_cast<std::uint8_t>(1 + n % 12),
                                  static_cast<std::uint8_t>(1 + n % 28),
                                  12,
                                  0,
                                  5};
    if (n % 3 != 0) std::memcpy(record.sample_time, time, sizeof time);
    for (std::size_t i = 0; i < battery_link::kCellCount; ++i) {
      // Half plausible cell voltages, half any bit pattern at all.
      const std::uint32_t pattern = bits(random);
      float value = volts(random);
      if (i % 2 == 1) std::memcpy(&value, &pattern, sizeof value);
      Store(record, battery_record::kCellVoltageOffset + 4 * i, value);
    }
    Store(record, battery_record::kGroupVoltageOffset, volts(random) * 32.0f);
    Store(record, battery_record::kGroupCurrentOffset, volts(random) - 2.0f);
    Store(record, battery_record::kTemperatureOffset, volts(random) * 11.0f);
    ASSERT_EQ(HandWrittenRecordLine(record), JsoncppRecordLine(record)) << "record " << n;
  }
}

}  // namespace
