// Threshold settings: the data id stamp, "b_mode", the "thresholdSetting"
// members with their display names and alarm descriptors, and the
// configuration trace on standard output, compared byte for byte.

#include <gtest/gtest.h>
#include <json/value.h>

#include <map>
#include <ostream>
#include <string>

#include "tests/support/device_harness.h"
#include "tests/support/json_text.h"

namespace {

using Names = std::map<std::string, std::string>;

class ThresholdSettingsTest : public DeviceTest {
 protected:
  // InitSetting with `config_json`; returns what it wrote to standard output.
  std::string Trace(const std::string& config_json) {
    const Json::Value config = ParseJson(config_json);
    testing::internal::CaptureStdout();
    result_ = device.InitSetting(config);
    return testing::internal::GetCapturedStdout();
  }

  // InitSetting that is expected to raise jsoncpp's conversion error.
  std::string TraceOfFailure(const std::string& config_json) {
    const Json::Value config = ParseJson(config_json);
    testing::internal::CaptureStdout();
    bool raised = false;
    try {
      device.InitSetting(config);
    } catch (const Json::LogicError&) {
      raised = true;
    }
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(raised) << "jsoncpp's error leaves InitSetting";
    return output;
  }

  int result_ = 0;
};

struct TraceCase {
  const char* label;
  const char* config;
  const char* output;
  int b_mode;
  Names alarm_desc;
  Names signal_names;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const TraceCase& c, std::ostream* out) {
  *out << c.label;
}

class ThresholdTraceTest : public ThresholdSettingsTest,
                           public ::testing::WithParamInterface<TraceCase> {};

TEST_P(ThresholdTraceTest, LinesAndStoredEntries) {
  const TraceCase& c = GetParam();
  EXPECT_EQ(Trace(c.config), c.output);
  EXPECT_EQ(result_, 1);
  EXPECT_EQ(device.b_mode_, c.b_mode);
  EXPECT_EQ(device.alarm_desc_, c.alarm_desc);
  EXPECT_EQ(device.signal_names_, c.signal_names);
}

std::string CaseName(const ::testing::TestParamInfo<TraceCase>& param_info) {
  return param_info.param.label;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Mode, ThresholdTraceTest,
    ::testing::Values(
        TraceCase{"NoSettings", "{}", "", 1, {}, {}},
        TraceCase{"NoModeKey", R"({"appSetting": {"version": 2}, "thresholdSetting": {"t": {}}})", "", 1, {}, {}},
        TraceCase{"NullMode", R"({"appSetting": {"b_mode": null}, "thresholdSetting": {"t": {}}})", "", 1, {}, {}},
        TraceCase{"ModeOutsideAnObject", R"({"appSetting": [{"b_mode": 3}], "thresholdSetting": {"t": {}}})", "", 1, {}, {}},
        TraceCase{"ModeAsString", R"({"appSetting": {"b_mode": "3"}})", "InitSetting 7 b_mode_:3\nhere 1\n", 3, {}, {}},
        TraceCase{"ModeWithWords", R"({"appSetting": {"b_mode": "3 thresholds"}})", "InitSetting 7 b_mode_:3\nhere 1\n", 3, {}, {}},
        TraceCase{"ModeAsReal", R"({"appSetting": {"b_mode": 3.7}})", "InitSetting 7 b_mode_:3\nhere 1\n", 3, {}, {}},
        TraceCase{"ModeTwo", R"({"appSetting": {"b_mode": 2}, "thresholdSetting": {"t": {}}})", "InitSetting 7 b_mode_:2\n", 2, {}, {}},
        TraceCase{"ModeFour", R"({"appSetting": {"b_mode": 4}, "thresholdSetting": {"t": {}}})", "InitSetting 7 b_mode_:4\n", 4, {}, {}},
        TraceCase{"ModeWithoutNumber", R"({"appSetting": {"b_mode": "three"}, "thresholdSetting": {"t": {}}})", "InitSetting 7 b_mode_:0\n", 0, {}, {}},
        TraceCase{"ModeTrue", R"({"appSetting": {"b_mode": true}, "thresholdSetting": {"t": {}}})", "InitSetting 7 b_mode_:0\n", 0, {}, {}},
        TraceCase{"ModeNegative", R"({"appSetting": {"b_mode": -3}})", "InitSetting 7 b_mode_:-3\n", -3, {}, {}}),
    CaseName);
// clang-format on

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    ThresholdSettingForm, ThresholdTraceTest,
    ::testing::Values(
        TraceCase{"Null", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": null})", "InitSetting 7 b_mode_:3\nhere 1\n", 3, {}, {}},
        TraceCase{"NoMembers", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n", 3, {}, {}},
        TraceCase{"Number", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": 5})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n", 3, {}, {}},
        TraceCase{"String", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": "t"})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n", 3, {}, {}},
        // an array has no keys to look members up by: skipped like no members
        TraceCase{"Array", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [{"SignalName": "x", "ID": 1}, 5]})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n", 3, {}, {}},
        TraceCase{"InsideAppSetting", R"({"appSetting": {"b_mode": 3, "thresholdSetting": {"t": {}}}})", "InitSetting 7 b_mode_:3\nhere 1\n", 3, {}, {}}),
    CaseName);
// clang-format on

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Members, ThresholdTraceTest,
    ::testing::Values(
        TraceCase{"NumberMember", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"temperature": 5}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere temperature\n", 3, {}, {}},
        TraceCase{"ArrayAndNullMembers", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"a": [{"ID": 1}], "b": null, "c": "x"}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere a\nhere b\nhere c\n", 3, {}, {}},
        TraceCase{"EmptyObjectMember", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"temperature": {}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere temperature\n7 NMAlarmID is missing\n7 ID is missing\n7 SignalNumber is missing\nmobile:temperature:;;; level:0 value:0\n", 3, {{"temperature", ";;;"}}, {}},
        TraceCase{"FullMember", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"battery_0_value": {"SignalName": "第1节电池电压", "NMAlarmID": 12, "ID": "A1", "SignalNumber": 3, "Level": 2}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere battery_0_value\nmobile:battery_0_value:12;A1;3; level:0 value:0\n", 3, {{"battery_0_value", "12;A1;3;"}}, {{"battery_0_value", "第1节电池电压"}}},
        TraceCase{"OnePartEach", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": { "a": {"NMAlarmID": "x"}, "b": {"ID": true}, "c": {"SignalNumber": 1.5}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere a\n7 ID is missing\n7 SignalNumber is missing\nmobile:a:x;;; level:0 value:0\nhere b\n7 NMAlarmID is missing\n7 SignalNumber is missing\nmobile:b:;true;; level:0 value:0\nhere c\n7 NMAlarmID is missing\n7 ID is missing\nmobile:c:;;1.5; level:0 value:0\n", 3, {{"a", "x;;;"}, {"b", ";true;;"}, {"c", ";;1.5;"}}, {}},
        // present but empty is not missing; null is
        TraceCase{"EmptyAndNullParts", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"t": {"SignalName": null, "NMAlarmID": "", "ID": null, "SignalNumber": ""}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere t\n7 ID is missing\nmobile:t:;;; level:0 value:0\n", 3, {{"t", ";;;"}}, {}},
        TraceCase{"SignalNameTextForm", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"t": {"SignalName": 5, "NMAlarmID": 1, "ID": 2, "SignalNumber": 3}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere t\nmobile:t:1;2;3; level:0 value:0\n", 3, {{"t", "1;2;3;"}}, {{"t", "5"}}},
        // visited in ascending order of the key bytes, whatever the text order
        TraceCase{"KeyOrder", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"温度": 1, "temperature": 2, "group_voltage": 3, "battery_9_value": 4, "battery_10_value": 5, "Temperature": 6}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere Temperature\nhere battery_10_value\nhere battery_9_value\nhere group_voltage\nhere temperature\nhere 温度\n", 3, {}, {}}),
    CaseName);
// clang-format on

TEST_F(ThresholdSettingsTest, DataIdIsStampedIntoTheRecordOnEveryCall) {
  EXPECT_EQ(Trace("{}"), "");
  EXPECT_EQ(result_, 1);
  EXPECT_EQ(device.data_.data_id, kDataId);

  device.Init(host, 4294967295u, Json::Value(Json::objectValue));
  Trace(R"({"appSetting": "not an object"})");
  EXPECT_EQ(device.data_.data_id, 4294967295u);
  const unsigned char* record = battery_record::Bytes(device.data_);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(record[i], 0xFF);
  for (int i = 4; i < 152; ++i) EXPECT_EQ(record[i], 0) << "byte " << i;
}

TEST_F(ThresholdSettingsTest, DataIdIsWrittenUnsigned) {
  device.Init(host, 4294967295u, Json::Value(Json::objectValue));
  EXPECT_EQ(Trace(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"t": {"ID": 1}}})"),
            "InitSetting 4294967295 b_mode_:3\nhere 1\nhere 2\nhere t\n"
            "4294967295 NMAlarmID is missing\n4294967295 SignalNumber is missing\n"
            "mobile:t:;1;; level:0 value:0\n");
}

TEST_F(ThresholdSettingsTest, LevelAndValueComeFromTheHostMaps) {
  device.level_map_["group_voltage"] = 2;
  device.value_map_["group_voltage"] = 45.5f;
  device.value_map_["temperature"] = 1234567.0f;
  device.level_map_["unrelated"] = 4;
  EXPECT_EQ(Trace(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {
                  "group_voltage": {"NMAlarmID": 1, "ID": 2, "SignalNumber": 3},
                  "temperature": {"NMAlarmID": 1, "ID": 2, "SignalNumber": 3},
                  "battery_3_value": {"NMAlarmID": 1, "ID": 2, "SignalNumber": 3}}})"),
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n"
            "here battery_3_value\nmobile:battery_3_value:1;2;3; level:0 value:0\n"
            "here group_voltage\nmobile:group_voltage:1;2;3; level:2 value:45.5\n"
            // six significant digits, the stream's default notation
            "here temperature\nmobile:temperature:1;2;3; level:0 value:1.23457e+06\n");
  // Looked up with insert-on-miss: every visited key now has an entry in both maps.
  EXPECT_EQ(
      device.level_map_,
      (std::map<std::string, int>{
          {"battery_3_value", 0}, {"group_voltage", 2}, {"temperature", 0}, {"unrelated", 4}}));
  EXPECT_EQ(device.value_map_,
            (std::map<std::string, float>{
                {"battery_3_value", 0.0f}, {"group_voltage", 45.5f}, {"temperature", 1234567.0f}}));
}

TEST_F(ThresholdSettingsTest, MembersThatAreNotObjectsTouchNoHostMap) {
  Trace(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"a": 1, "b": [2], "c": "x"}})");
  EXPECT_TRUE(device.level_map_.empty());
  EXPECT_TRUE(device.value_map_.empty());
}

TEST_F(ThresholdSettingsTest, RepeatedCallsReplaceEntriesAndKeepTheRest) {
  Trace(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {
            "a": {"SignalName": "A", "NMAlarmID": 1, "ID": 1, "SignalNumber": 1},
            "b": {"SignalName": "B", "NMAlarmID": 2, "ID": 2, "SignalNumber": 2}}})");

  // No "appSetting": the mode stays 3, so "thresholdSetting" is read again.
  EXPECT_EQ(Trace(R"({"thresholdSetting": {"a": {"NMAlarmID": 9, "ID": 9, "SignalNumber": 9},
                                           "c": {"SignalName": "C"}}})"),
            "here 1\nhere 2\nhere a\nmobile:a:9;9;9; level:0 value:0\n"
            "here c\n7 NMAlarmID is missing\n7 ID is missing\n7 SignalNumber is missing\n"
            "mobile:c:;;; level:0 value:0\n");
  EXPECT_EQ(device.b_mode_, 3);
  EXPECT_EQ(device.alarm_desc_, (Names{{"a", "9;9;9;"}, {"b", "2;2;2;"}, {"c", ";;;"}}));
  EXPECT_EQ(device.signal_names_, (Names{{"a", "A"}, {"b", "B"}, {"c", "C"}}));

  // Mode 1: the threshold settings are no longer read; nothing is removed.
  EXPECT_EQ(Trace(R"({"appSetting": {"b_mode": 1},
                      "thresholdSetting": {"a": {"SignalName": "Z"}}})"),
            "InitSetting 7 b_mode_:1\n");
  EXPECT_EQ(device.alarm_desc_, (Names{{"a", "9;9;9;"}, {"b", "2;2;2;"}, {"c", ";;;"}}));
  EXPECT_EQ(device.signal_names_, (Names{{"a", "A"}, {"b", "B"}, {"c", "C"}}));
}

TEST_F(ThresholdSettingsTest, DeviceSettingsAreReadAfterTheThresholdSettings) {
  device.device_address_ = 0x81;
  EXPECT_EQ(Trace(R"({"appSetting": {"b_mode": 3, "version": 2}, "thresholdSetting": {}})"),
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n");
  EXPECT_EQ(result_, 1);
  EXPECT_EQ(device.version_, 2);
  EXPECT_EQ(device.device_address_, 0x01);
}

// ---------------------------------------------------------------------------
// jsoncpp's error for an array or an object where a single value is read

struct FailureCase {
  const char* label;
  const char* config;
  const char* output;  // written before the error
  Names alarm_desc;    // stored before the error
  Names signal_names;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << c.label;
}

class ThresholdFailureTest : public ThresholdSettingsTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ThresholdFailureTest, LeavesInitSettingAndKeepsWhatWasStored) {
  const FailureCase& c = GetParam();
  device.device_address_ = 0x81;
  EXPECT_EQ(TraceOfFailure(c.config), c.output);
  EXPECT_EQ(device.data_.data_id, kDataId) << "the stamp comes first";
  EXPECT_EQ(device.alarm_desc_, c.alarm_desc);
  EXPECT_EQ(device.signal_names_, c.signal_names);
  // The device settings are not read, and the address stays as the host stored it.
  EXPECT_EQ(device.version_, 1);
  EXPECT_EQ(device.device_address_, 0x81);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    ArrayOrObject, ThresholdFailureTest,
    ::testing::Values(
        FailureCase{"ModeAsArray", R"({"appSetting": {"b_mode": [3], "version": 2}})", "", {}, {}},
        FailureCase{"ModeAsObject", R"({"appSetting": {"b_mode": {"v": 3}, "version": 2}})", "", {}, {}},
        FailureCase{"SignalNameOfSecondMember", R"({"appSetting": {"b_mode": 3, "version": 2}, "thresholdSetting": { "a": {"SignalName": "A", "NMAlarmID": 1, "ID": 2, "SignalNumber": 3}, "b": {"SignalName": ["B"]}, "c": {"SignalName": "C"}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere a\nmobile:a:1;2;3; level:0 value:0\nhere b\n", {{"a", "1;2;3;"}}, {{"a", "A"}}},
        FailureCase{"AlarmId", R"({"appSetting": {"b_mode": 3, "version": 2}, "thresholdSetting": { "t": {"SignalName": "T", "NMAlarmID": {"x": 1}}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere t\n", {}, {{"t", "T"}}},
        FailureCase{"IdAfterMissingAlarmId", R"({"appSetting": {"b_mode": 3, "version": 2}, "thresholdSetting": { "t": {"ID": [1]}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere t\n7 NMAlarmID is missing\n", {}, {}},
        FailureCase{"SignalNumber", R"({"appSetting": {"b_mode": 3, "version": 2}, "thresholdSetting": { "t": {"NMAlarmID": 1, "ID": 2, "SignalNumber": []}}})", "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere t\n", {}, {}}),
    [](const ::testing::TestParamInfo<FailureCase>& param_info) { return std::string(param_info.param.label); });
// clang-format on

TEST_F(ThresholdSettingsTest, ErrorIsAJsonException) {
  const Json::Value config = ParseJson(R"({"appSetting": {"b_mode": [3]}})");
  EXPECT_THROW(device.InitSetting(config), Json::Exception);
}

}  // namespace
