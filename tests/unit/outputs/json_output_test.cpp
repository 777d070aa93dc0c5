// JSON lines, against what jsoncpp's writer made of the same values before
// they were written without it.

#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "programs/battery-host/outputs/json_output.h"
#include "programs/battery-host/support/text_format.h"
#include "tests/support/scoped_time_zone.h"

namespace {

// A float as the live host handed it to jsoncpp: the double that its shortest
// text reads back as; null when not finite.
Json::Value FloatJson(float value) {
  if (!std::isfinite(value)) return Json::Value();
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text - 1, value).ptr;
  *end = '\0';
  return std::strtod(text, nullptr);
}

// `line` as jsoncpp's writer wrote it, with the live host's settings.
std::string JsoncppLine(const Json::Value& line) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["precision"] = 9;
  builder["emitUTF8"] = true;
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  std::ostringstream out;
  writer->write(line, &out);
  out << '\n';
  return out.str();
}

std::string JsoncppRecordLine(const Battery32_Data_t& record, const RecordContext& context = {}) {
  Json::Value line(Json::objectValue);
  line["type"] = "record";
  line["data_id"] = record.data_id;
  const std::string time = SampleTimeText(record, std::nullopt);
  line["sample_time"] = time.empty() ? Json::Value() : Json::Value(time);
  Json::Value& cells = line["cells"] = Json::Value(Json::arrayValue);
  for (std::size_t i = 0; i < battery_link::kCellCount; ++i) {
    cells.append(FloatJson(battery_record::CellVoltage(record, i)));
  }
  using battery_record::Load;
  line["group_voltage"] = context.group_voltage_valid
                              ? FloatJson(Load<float>(record, battery_record::kGroupVoltageOffset))
                              : Json::Value();
  line["group_current"] = FloatJson(Load<float>(record, battery_record::kGroupCurrentOffset));
  line["temperature"] = FloatJson(Load<float>(record, battery_record::kTemperatureOffset));
  return JsoncppLine(line);
}

std::string Written(JsonLine& line) {
  return std::string(line.Finish());
}

std::string WrittenRecordLine(const Battery32_Data_t& record, const RecordContext& context = {}) {
  JsonLine line;
  RecordLine(HostRecord{record, context}, line);
  return Written(line);
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
    EXPECT_EQ(WrittenRecordLine(record), JsoncppRecordLine(record)) << value;
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
    // Now and then a group voltage that is no measurement: null, whatever the bytes hold.
    RecordContext context;
    context.group_voltage_valid = n % 5 != 0;
    ASSERT_EQ(WrittenRecordLine(record, context), JsoncppRecordLine(record, context))
        << "record " << n;
  }
}

TEST(JsonLineTest, ThresholdAndSummaryLinesAreWrittenAsJsoncppWroteThem) {
  // Names as the plug-in gives them, and one with every character that needs escaping.
  for (const std::string name : {"group_voltage", "第18节电池", "q\"b\\s/\x01\x1f\b\f\n\r\t\x7f"}) {
    JsonLine threshold;
    threshold.String("type", "threshold")
        .Integer("data_id", 4294967295)
        .String("name", name)
        .String("display_name", name)
        .Number("value", 2.41f)
        .Number("limit", 2.4f)
        .String("state", "high")
        .Integer("level", 2);
    Json::Value expected(Json::objectValue);
    expected["type"] = "threshold";
    expected["data_id"] = 4294967295u;
    expected["name"] = name;
    expected["display_name"] = name;
    expected["value"] = FloatJson(2.41f);
    expected["limit"] = FloatJson(2.4f);
    expected["state"] = "high";
    expected["level"] = 2;
    EXPECT_EQ(Written(threshold), JsoncppLine(expected)) << name;
  }
  JsonLine summary;
  summary.String("type", "summary")
      .Integer("data_id", 1001)
      .Integer("cycles_started", 25273)
      .Integer("cycles_completed", 20000)
      .Integer("cycles_given_up", 5272);
  Json::Value expected(Json::objectValue);
  expected["type"] = "summary";
  expected["data_id"] = 1001;
  expected["cycles_started"] = Json::Int64{25273};
  expected["cycles_completed"] = Json::Int64{20000};
  expected["cycles_given_up"] = Json::Int64{5272};
  EXPECT_EQ(Written(summary), JsoncppLine(expected));
}

// A number as the line promises it, from std::to_chars alone: the float's
// shortest text read back as a double and written with 9 significant digits
// ("%.9g"), ".0" added to a whole number; null when not finite.
std::string ToCharsNumber(float value) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  double read_back = 0.0;
  std::from_chars(text, std::to_chars(text, text + sizeof text, value).ptr, read_back);
  std::string written(
      text, std::to_chars(text, text + sizeof text, read_back, std::chars_format::general, 9).ptr);
  if (written.find_first_of(".e") == std::string::npos) written += ".0";
  return written;
}

// The value's text in a line {"v":...}, the line reused as the host reuses it.
std::string NumberText(JsonLine& line, float value) {
  const std::string_view object = line.Number("v", value).FinishObject();
  return std::string(object.substr(5, object.size() - 6));
}

// The monitor's values are counts of millivolts, tenths and hundredths scaled
// in single precision; they and their neighbours, at the edges of the range
// written with integer arithmetic and beyond it, come out as std::to_chars
// gives them.
TEST(JsonLineTest, NumbersAreWrittenAsToCharsWritesThem) {
  const float table[] = {0.0f,
                         -0.0f,
                         0.001f,
                         -0.001f,
                         0.0005f,
                         0.002f,
                         0.009f,
                         0.01f,
                         0.05f,
                         0.1f,
                         0.999f,
                         1.0f,
                         1.001f,
                         1.01f,
                         1.1f,
                         2.196f,
                         2.2f,
                         9.999f,
                         10.0f,
                         25.0f,
                         65.535f,
                         70.4f,
                         -100.0f,
                         655.35f,
                         999.999f,
                         1000.0f,
                         6553.5f,
                         8191.999f,
                         8192.0f,
                         8192.001f,
                         9999.999f,
                         -9999.999f,
                         10000.0f,
                         10000.001f,
                         12345.678f,
                         16383.999f,
                         16384.0f,
                         99999.0f,
                         100000.0f,
                         123456.0f,
                         16777216.0f,
                         1e10f,
                         3.4028235e38f,
                         1e-30f,
                         1.17549435e-38f,
                         1e-45f,
                         -2.5e-7f,
                         std::nextafter(2.2f, 3.0f),
                         std::nextafter(2.2f, 0.0f),
                         std::nextafter(0.001f, 0.0f),
                         std::nextafter(0.0f, 1.0f),
                         std::nextafter(10000.0f, 0.0f),
                         ((2345.0f / 10.0f) / 125.0f - 2.0f) * 50.0f,
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()};
  JsonLine line;
  for (const float value : table) {
    EXPECT_EQ(NumberText(line, value), ToCharsNumber(value)) << std::hexfloat << value;
  }
  EXPECT_EQ(NumberText(line, 0.001f), "0.001");
  EXPECT_EQ(NumberText(line, -0.0f), "-0.0");
  EXPECT_EQ(NumberText(line, 2.05f), "2.05");
  EXPECT_EQ(NumberText(line, 9999.999f), "9999.999");
  EXPECT_EQ(NumberText(line, 25.0f), "25.0");
  EXPECT_EQ(NumberText(line, 100000.0f), "100000.0");

  std::vector<float> values;
  for (int count = -20000; count <= 70000; ++count) {
    values.push_back(static_cast<float>(count) / 1000.0f);
  }
  // Every 16-bit count as the plug-in scales it.
  for (int count = 0; count <= 65535; ++count) {
    const auto raw = static_cast<float>(count);
    values.push_back(raw / 10.0f);
    values.push_back(raw / 100.0f);
    values.push_back(((raw / 10.0f) / 125.0f - 2.0f) * 50.0f);
  }
  for (int count = -20000000; count <= 20000000; count += 997) {
    const float value = static_cast<float>(count) / 1000.0f;
    values.push_back(value);
    values.push_back(std::nextafter(value, 1e9f));
    values.push_back(std::nextafter(value, -1e9f));
  }
  for (const float value : values) {
    ASSERT_EQ(NumberText(line, value), ToCharsNumber(value)) << std::hexfloat << value;
  }
}

// Daylight saving ends in Berlin at 2026-10-25 01:00:00 UTC: 02:59:59 CEST is
// followed by 02:00:00 CET, and the hour from 02:00 is lived twice. Records
// stamped every 5 s across it, each seen by the host up to 2 s later, say the
// offset in force when they were stamped, and their times never run back.
TEST(SampleTimeTest, OffsetIsTheOneInForceAcrossTheEndOfDaylightSaving) {
  const ScopedTimeZone berlin("Europe/Berlin");
  const std::time_t change = 1792890000;  // 2026-10-25T01:00:00Z
  std::time_t previous = 0;
  for (std::time_t stamped = change - 3600; stamped <= change + 3600; stamped += 5) {
    std::tm local{};
    ASSERT_NE(localtime_r(&stamped, &local), nullptr);
    Battery32_Data_t record{};
    const std::uint16_t year = static_cast<std::uint16_t>(local.tm_year + 1900);
    const std::uint8_t time[7] = {
        static_cast<std::uint8_t>(year & 0xFF),      static_cast<std::uint8_t>(year >> 8),
        static_cast<std::uint8_t>(local.tm_mon + 1), static_cast<std::uint8_t>(local.tm_mday),
        static_cast<std::uint8_t>(local.tm_hour),    static_cast<std::uint8_t>(local.tm_min),
        static_cast<std::uint8_t>(local.tm_sec)};
    std::memcpy(record.sample_time, time, sizeof time);
    const auto offset =
        host_text::UtcOffsetWhenRecent(*SampleLocalTime(record), stamped + stamped % 3);
    ASSERT_EQ(offset, std::optional<int>(stamped < change ? 120 : 60)) << stamped;
    const std::string text = SampleTimeText(record, offset);
    // Read back as an instant: "YYYY-MM-DDTHH:MM:SS+HH:MM".
    std::tm read{};
    ASSERT_NE(strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &read), nullptr) << text;
    const int sign = text[19] == '-' ? -1 : 1;
    const int minutes = sign * (std::stoi(text.substr(20, 2)) * 60 + std::stoi(text.substr(23, 2)));
    const std::time_t instant = timegm(&read) - minutes * 60;
    EXPECT_EQ(instant, stamped) << text;
    EXPECT_GT(instant, previous) << text;
    previous = instant;
  }
  // Without the noted offset, the repeated hour is guessed as one of the two.
  Battery32_Data_t record{};
  const std::uint8_t repeated[7] = {0xEA, 0x07, 10, 25, 2, 59, 55};
  std::memcpy(record.sample_time, repeated, sizeof repeated);
  EXPECT_EQ(SampleTimeText(record, 120), "2026-10-25T02:59:55+02:00");
  EXPECT_EQ(SampleTimeText(record, 60), "2026-10-25T02:59:55+01:00");
}

}  // namespace
