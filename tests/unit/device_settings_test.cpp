// Device settings under "appSetting", the bus-address correction and control
// code 100.

#include <gtest/gtest.h>
#include <json/value.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "battery/settings.h"
#include "tests/support/device_harness.h"
#include "tests/support/json_text.h"

namespace {

using Probe = Battery2V32Probe;

std::string Text(float value) {
  std::ostringstream out;
  out.precision(9);
  out << value;
  return out.str();
}

template <typename T>
std::string Text(const std::vector<T>& list) {
  std::ostringstream out;
  for (std::size_t i = 0; i < list.size(); ++i) out << (i == 0 ? "" : ",") << list[i];
  return out.str();
}

// Every member the device settings write, so that "nothing changed" is one comparison.
std::string AllSettings(const Probe& d) {
  std::ostringstream out;
  out << "battery_type=" << d.battery_type_ << " current_ratio=" << d.current_ratio_
      << " group_a=" << Text(d.group_a_) << " group_b=" << Text(d.group_b_)
      << " battery_adjust=" << Text(d.battery_adjust_) << " version=" << d.version_
      << " dir=" << d.dir_ << " r_data_id=" << d.r_data_id_ << " r_current_field=\""
      << d.r_current_field_ << "\" save_interval=" << d.save_interval_
      << " active_batteries=" << Text(d.active_batteries_) << " battery_start=" << d.battery_start_
      << " group_voltage=" << Text(d.group_voltage_ids_) << " t0=" << Text(d.t0_)
      << " t31=" << Text(d.t31_);
  return out.str();
}

Json::Value WithAppSetting(const std::string& settings_json) {
  return ParseJson(R"({"appSetting": )" + settings_json + "}");
}

class DeviceSettingsTest : public DeviceTest {
 protected:
  // InitSetting on a device whose host stored the address 0x81; returns its result.
  int Apply(const Json::Value& config) {
    device.device_address_ = 0x81;
    return device.InitSetting(config);
  }
  int ApplySettings(const std::string& settings_json) {
    return Apply(WithAppSetting(settings_json));
  }

  // Values that differ from every constructor value.
  void PresetEverySetting() {
    device.battery_type_ = 11;
    device.current_ratio_ = 12;
    device.group_a_ = 1.25f;
    device.group_b_ = 0.5f;
    device.battery_adjust_ = -0.125f;
    device.version_ = 14;
    device.dir_ = 15;
    device.r_data_id_ = 16;
    device.r_current_field_ = "preset";
    device.save_interval_ = 1234;
    device.active_batteries_ = {30};
    device.battery_start_ = 20;
    device.group_voltage_ids_ = {500};
    device.t0_ = 2.5f;
    device.t31_ = 3.25f;
  }
};

// ---------------------------------------------------------------------------
// Every key: default, null, conversion of a sample value, and read order

struct KeyCase {
  const char* name;
  // Members giving the key a value other than its default, in reading order.
  std::vector<std::pair<std::string, std::string>> sample;
  std::string (*render)(const Probe&);
  const char* default_text;
  const char* sample_text;
  // Whether the sample shows in a device configured with every sample at once,
  // where some members are written by two keys; empty: render gives sample_text.
  bool (*applied_with_all)(const Probe&);
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const KeyCase& c, std::ostream* out) {
  *out << c.name;
}

bool ListStartsWithSplitCells(const Probe& d) {
  return d.active_batteries_.size() >= 2 && d.active_batteries_[0] == 0 &&
         d.active_batteries_[1] == 1;
}
bool ListHoldsFive(const Probe& d) {
  for (const int cell : d.active_batteries_) {
    if (cell == 5) return true;
  }
  return false;
}

// The keys of "appSetting", in the order in which they are read.
const std::vector<KeyCase>& KeysInReadingOrder() {
  // clang-format off
  static const std::vector<KeyCase> keys = {
      {"battery_type", {{"battery_type", "\"3.9\""}}, [](const Probe& d) { return std::to_string(d.battery_type_); }, "0", "3", nullptr},
      {"current_ratio", {{"current_ratio", "2.5"}}, [](const Probe& d) { return std::to_string(d.current_ratio_); }, "0", "2", nullptr},
      {"group_a", {{"group_a", "1.5"}}, [](const Probe& d) { return Text(d.group_a_); }, "1", "1.5", nullptr},
      {"group_b", {{"group_b", "\"-0.25\""}}, [](const Probe& d) { return Text(d.group_b_); }, "0", "-0.25", nullptr},
      {"battery_adjust", {{"battery_adjust", "0.125"}}, [](const Probe& d) { return Text(d.battery_adjust_); }, "0", "0.125", nullptr},
      {"version", {{"version", "2"}}, [](const Probe& d) { return std::to_string(d.version_); }, "1", "2", nullptr},
      {"dir", {{"dir", "\"1\""}}, [](const Probe& d) { return std::to_string(d.dir_); }, "0", "1", nullptr},
      {"r_data_id", {{"r_data_id", "1001"}}, [](const Probe& d) { return std::to_string(d.r_data_id_); }, "0", "1001", nullptr},
      {"r_current_field", {{"r_current_field", "\"ia\""}}, [](const Probe& d) { return d.r_current_field_; }, "", "ia", nullptr},
      {"save_interval", {{"save_interval", "10"}}, [](const Probe& d) { return std::to_string(d.save_interval_); }, "28800", "600", nullptr},
      {"group_index_and_amount", {{"group_index", "2"}, {"amount", "2"}}, [](const Probe& d) { return std::to_string(d.battery_start_) + " " + Text(d.active_batteries_); }, "0 ", "17 0,1", ListStartsWithSplitCells},
      {"active_batteries", {{"active_batteries", "[5]"}}, [](const Probe& d) { return Text(d.active_batteries_); }, "", "5", ListHoldsFive},
      {"battery_start", {{"battery_start", "9"}}, [](const Probe& d) { return std::to_string(d.battery_start_); }, "0", "9", [](const Probe& d) { return d.battery_start_ == 9; }},
      {"group_voltage", {{"group_voltage", "[1001]"}}, [](const Probe& d) { return Text(d.group_voltage_ids_); }, "", "1001", nullptr},
      {"t0", {{"t0", "25"}}, [](const Probe& d) { return Text(d.t0_); }, "0", "25", nullptr},
      {"t31", {{"t31", "\"3.5\""}}, [](const Probe& d) { return Text(d.t31_); }, "0", "3.5", nullptr}
  };
  // clang-format on
  return keys;
}

bool Applied(const KeyCase& key, const Probe& d) {
  return key.applied_with_all != nullptr ? key.applied_with_all(d)
                                         : key.render(d) == key.sample_text;
}

Json::Value SettingsWith(const KeyCase& key, bool as_null) {
  Json::Value settings(Json::objectValue);
  for (const auto& [name, value] : key.sample) {
    settings[name] = as_null ? Json::Value() : ParseJson(value);
  }
  return settings;
}

class SettingKeyTest : public DeviceSettingsTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(SettingKeyTest, AbsentKeyKeepsTheConstructorValue) {
  EXPECT_EQ(ApplySettings(R"({"unrelated": 4})"), 1);
  EXPECT_EQ(GetParam().render(device), GetParam().default_text);
}

TEST_P(SettingKeyTest, NullKeyCountsAsAbsent) {
  Json::Value config(Json::objectValue);
  config["appSetting"] = SettingsWith(GetParam(), true);
  EXPECT_EQ(Apply(config), 1);
  EXPECT_EQ(GetParam().render(device), GetParam().default_text);
}

TEST_P(SettingKeyTest, SampleIsConverted) {
  Json::Value config(Json::objectValue);
  config["appSetting"] = SettingsWith(GetParam(), false);
  EXPECT_EQ(Apply(config), 1);
  EXPECT_EQ(GetParam().render(device), GetParam().sample_text);
}

TEST_P(SettingKeyTest, LaterCallWithoutTheKeyKeepsItsValue) {
  Json::Value config(Json::objectValue);
  config["appSetting"] = SettingsWith(GetParam(), false);
  Apply(config);
  config["appSetting"] = SettingsWith(GetParam(), true);
  Apply(config);
  ApplySettings("{}");
  Apply(Json::Value(Json::objectValue));
  EXPECT_EQ(GetParam().render(device), GetParam().sample_text);
}

// An array has no text form: jsoncpp's error leaves InitSetting at the key
// that holds one. Every key before it has its new value, none after it is read.
TEST_P(SettingKeyTest, ArrayWhereAValueIsReadStopsTheReadingThere) {
  const auto& keys = KeysInReadingOrder();
  Json::Value settings(Json::objectValue);
  for (const KeyCase& key : keys) {
    for (const auto& [name, value] : key.sample) settings[name] = ParseJson(value);
  }
  const auto& [failing_key, failing_value] = GetParam().sample.front();
  settings[failing_key] = ParseJson("[" + failing_value + "]");
  Json::Value config(Json::objectValue);
  config["appSetting"] = settings;

  EXPECT_THROW(Apply(config), Json::LogicError);
  EXPECT_EQ(device.device_address_, 0x01) << "the address is corrected before any key is read";
  bool before_failing_key = true;
  for (const KeyCase& key : keys) {
    if (std::string(key.name) == GetParam().name) before_failing_key = false;
    EXPECT_EQ(Applied(key, device), before_failing_key) << key.name;
  }
}

INSTANTIATE_TEST_SUITE_P(AppSetting, SettingKeyTest, ::testing::ValuesIn(KeysInReadingOrder()),
                         [](const ::testing::TestParamInfo<KeyCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// The table through which the host's configuration check reads these
// settings names the conversion InitSetting really applies to each key:
// "2.9e1" reads as 2 through an integer conversion and as 29 through a
// truncating or floating one. group_index and amount act only together.
TEST(SettingConversionTableTest, AgreesWithInitSetting) {
  using battery_settings::Conversion;
  const auto& keys = KeysInReadingOrder();
  for (const auto& setting : battery_settings::kAppSettings) {
    const auto key = std::find_if(keys.begin(), keys.end(),
                                  [&](const KeyCase& k) { return k.name == setting.key; });
    auto render = key != keys.end() ? key->render : nullptr;
    if (setting.key == "b_mode") render = [](const Probe& d) { return std::to_string(d.b_mode_); };
    if (render == nullptr || setting.conversion == Conversion::kText) continue;
    const bool integer =
        setting.conversion == Conversion::kInt || setting.conversion == Conversion::kLong;
    const auto configured = [&setting](const std::string& value) {
      const std::string name(setting.key);
      return WithAppSetting("{\"" + name + "\": " + (setting.list ? "[" + value + "]" : value) +
                            "}");
    };
    Probe read;
    Probe plain;
    read.InitSetting(configured("\"2.9e1\""));
    plain.InitSetting(configured(integer ? "2" : "29"));
    EXPECT_EQ(render(read), render(plain)) << setting.key;
  }
}

TEST_F(DeviceSettingsTest, EveryKeyAbsentOrNullLeavesEveryMember) {
  PresetEverySetting();
  const std::string preset = AllSettings(device);
  ApplySettings("{}");
  EXPECT_EQ(AllSettings(device), preset);
  ApplySettings(R"({"battery_type": null, "current_ratio": null, "group_a": null,
                    "group_b": null, "battery_adjust": null, "version": null, "dir": null,
                    "r_data_id": null, "r_current_field": null, "save_interval": null,
                    "group_index": null, "amount": null, "active_batteries": null,
                    "battery_start": null, "group_voltage": null, "t0": null, "t31": null})");
  EXPECT_EQ(AllSettings(device), preset);
}

// ---------------------------------------------------------------------------
// Conversions: jsoncpp's text form, then atoi, atof (truncated) or atof

struct IntCase {
  const char* key;
  const char* value;  // JSON
  int Battery::*member;
  int expected;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const IntCase& c, std::ostream* out) {
  *out << c.key;
}

class IntSettingTest : public DeviceSettingsTest, public ::testing::WithParamInterface<IntCase> {};

TEST_P(IntSettingTest, ConvertedFromTheTextForm) {
  const IntCase& c = GetParam();
  ApplySettings(std::string("{\"") + c.key + "\": " + c.value + "}");
  EXPECT_EQ(device.*c.member, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Atoi, IntSettingTest,
    ::testing::Values(IntCase{"version", "2", &Probe::version_, 2},
                      IntCase{"version", R"("2")", &Probe::version_, 2},
                      IntCase{"version", R"("2 cells")", &Probe::version_, 2},
                      IntCase{"version", R"("  +7")", &Probe::version_, 7},
                      IntCase{"version", "true", &Probe::version_, 0},
                      IntCase{"version", "false", &Probe::version_, 0},
                      IntCase{"version", R"("abc")", &Probe::version_, 0},
                      IntCase{"version", R"("")", &Probe::version_, 0},
                      IntCase{"version", R"("0x10")", &Probe::version_, 0},
                      // jsoncpp writes 2.9 as 2.8999999999999999: cut at the point
                      IntCase{"version", "2.9", &Probe::version_, 2},
                      IntCase{"version", "-2.9", &Probe::version_, -2},
                      // ... and 1e20 as 1e+20, of which atoi reads the 1
                      IntCase{"version", "1e20", &Probe::version_, 1},
                      // beyond int: saturated as by atoi on a 32-bit long
                      IntCase{"version", "3000000000", &Probe::version_, INT_MAX},
                      IntCase{"version", R"("-3000000000")", &Probe::version_, INT_MIN},
                      IntCase{"dir", "-1", &Probe::dir_, -1},
                      IntCase{"dir", R"(" 1 reversed")", &Probe::dir_, 1},
                      IntCase{"r_data_id", R"("1001x")", &Probe::r_data_id_, 1001},
                      IntCase{"r_data_id", "2147483647", &Probe::r_data_id_, INT_MAX}));

INSTANTIATE_TEST_SUITE_P(
    AtofTruncated, IntSettingTest,
    ::testing::Values(IntCase{"battery_type", R"("3.9")", &Probe::battery_type_, 3},
                      IntCase{"battery_type", "-2.5", &Probe::battery_type_, -2},
                      IntCase{"battery_type", R"("  -0.5")", &Probe::battery_type_, 0},
                      IntCase{"battery_type", R"("1e3")", &Probe::battery_type_, 1000},
                      IntCase{"battery_type", "1e20", &Probe::battery_type_, INT_MAX},
                      IntCase{"battery_type", "-1e20", &Probe::battery_type_, INT_MIN},
                      IntCase{"battery_type", R"("inf")", &Probe::battery_type_, INT_MAX},
                      IntCase{"battery_type", R"("nan")", &Probe::battery_type_, 0},
                      IntCase{"battery_type", "true", &Probe::battery_type_, 0},
                      IntCase{"current_ratio", "0.5", &Probe::current_ratio_, 0},
                      IntCase{"current_ratio", R"("2.99 A")", &Probe::current_ratio_, 2},
                      IntCase{"current_ratio", "7", &Probe::current_ratio_, 7}));

struct FloatCase {
  const char* key;
  const char* value;  // JSON
  float Battery::*member;
  float expected;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const FloatCase& c, std::ostream* out) {
  *out << c.key;
}

class FloatSettingTest : public DeviceSettingsTest,
                         public ::testing::WithParamInterface<FloatCase> {};

TEST_P(FloatSettingTest, AtofRoundedToFloat) {
  const FloatCase& c = GetParam();
  ApplySettings(std::string("{\"") + c.key + "\": " + c.value + "}");
  EXPECT_EQ(device.*c.member, c.expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Atof, FloatSettingTest,
    ::testing::Values(
        FloatCase{"group_a", "1.5", &Probe::group_a_, 1.5f},
        FloatCase{"group_a", "0.1", &Probe::group_a_, static_cast<float>(0.1)},
        FloatCase{"group_a", R"("0.1")", &Probe::group_a_, static_cast<float>(0.1)},
        FloatCase{"group_a", R"("2 x")", &Probe::group_a_, 2.0f},
        FloatCase{"group_a", "true", &Probe::group_a_, 0.0f},
        FloatCase{"group_a", R"("gain")", &Probe::group_a_, 0.0f},
        FloatCase{"group_b", "-0.25", &Probe::group_b_, -0.25f},
        FloatCase{"group_b", R"("1e-2")", &Probe::group_b_, static_cast<float>(0.01)},
        FloatCase{"battery_adjust", R"("-0.005 V")", &Probe::battery_adjust_, static_cast<float>(-0.005)},
        FloatCase{"t0", "25", &Probe::t0_, 25.0f},
        FloatCase{"t31", R"(" 3.5")", &Probe::t31_, 3.5f}));
// clang-format on

struct TextCase {
  const char* value;  // JSON
  const char* expected;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const TextCase& c, std::ostream* out) {
  *out << c.value;
}

class CurrentFieldTest : public DeviceSettingsTest,
                         public ::testing::WithParamInterface<TextCase> {};

TEST_P(CurrentFieldTest, TakenWholeInItsTextForm) {
  ApplySettings(std::string(R"({"r_current_field": )") + GetParam().value + "}");
  EXPECT_EQ(device.r_current_field_, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(TextForm, CurrentFieldTest,
                         ::testing::Values(TextCase{R"("ia")", "ia"},
                                           TextCase{R"(" i a ")", " i a "}, TextCase{R"("")", ""},
                                           TextCase{"5", "5"}, TextCase{"true", "true"},
                                           TextCase{"1.5", "1.5"}));

struct SaveIntervalCase {
  const char* value;  // JSON, minutes
  int expected_seconds;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const SaveIntervalCase& c, std::ostream* out) {
  *out << c.value;
}

class SaveIntervalTest : public DeviceSettingsTest,
                         public ::testing::WithParamInterface<SaveIntervalCase> {};

TEST_P(SaveIntervalTest, MinutesTimesSixtyAndNothingBelowOneSecond) {
  ApplySettings(std::string(R"({"save_interval": )") + GetParam().value + "}");
  EXPECT_EQ(device.save_interval_, GetParam().expected_seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Minutes, SaveIntervalTest,
    ::testing::Values(
        SaveIntervalCase{"10", 600}, SaveIntervalCase{R"("10")", 600},
        SaveIntervalCase{R"("10 min")", 600}, SaveIntervalCase{"1", 60},
        SaveIntervalCase{"2.9", 120}, SaveIntervalCase{"0", 28800}, SaveIntervalCase{"-5", 28800},
        SaveIntervalCase{R"("abc")", 28800}, SaveIntervalCase{"true", 28800},
        // computed wide: 35791394 * 60 still fits, one minute more does not
        SaveIntervalCase{"35791394", 2147483640}, SaveIntervalCase{"35791395", INT_MAX},
        SaveIntervalCase{"3000000000", INT_MAX}, SaveIntervalCase{"-3000000000", 28800}));

// ---------------------------------------------------------------------------
// "appSetting" itself and the address correction

struct AddressCase {
  std::uint8_t stored;
  std::uint8_t corrected;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const AddressCase& c, std::ostream* out) {
  *out << static_cast<int>(c.stored);
}

class AddressCorrectionTest
    : public DeviceSettingsTest,
      public ::testing::WithParamInterface<std::tuple<AddressCase, const char* /* config JSON */>> {
};

TEST_P(AddressCorrectionTest, TopBitInvertedOnEveryCall) {
  const auto& [address, config_json] = GetParam();
  const Json::Value config = ParseJson(config_json);
  device.device_address_ = address.stored;
  EXPECT_EQ(device.InitSetting(config), 1);
  EXPECT_EQ(device.device_address_, address.corrected);
  // The host has not set the address again: a second call turns it back.
  EXPECT_EQ(device.InitSetting(config), 1);
  EXPECT_EQ(device.device_address_, address.stored);
}

INSTANTIATE_TEST_SUITE_P(
    WithAndWithoutAppSetting, AddressCorrectionTest,
    ::testing::Combine(::testing::Values(AddressCase{0x81, 0x01}, AddressCase{0x01, 0x81},
                                         AddressCase{0x80, 0x00}, AddressCase{0x00, 0x80},
                                         AddressCase{0xFF, 0x7F}, AddressCase{0x7F, 0xFF}),
                       ::testing::Values("{}", R"({"appSetting": {"version": 2}})",
                                         R"({"appSetting": "version"})", "null")));

class UnreadAppSettingTest : public DeviceSettingsTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(UnreadAppSettingTest, NothingIsReadAndTheResultIsOne) {
  const std::string fresh = AllSettings(device);
  EXPECT_EQ(Apply(ParseJson(GetParam())), 1);
  EXPECT_EQ(AllSettings(device), fresh);
  EXPECT_EQ(device.device_address_, 0x01);
}

INSTANTIATE_TEST_SUITE_P(AbsentOrNotAnObject, UnreadAppSettingTest,
                         ::testing::Values("{}", R"({"version": 2})", R"({"appSetting": null})",
                                           R"({"appSetting": "{\"version\": 2}"})",
                                           R"({"appSetting": [{"version": 2}]})",
                                           R"({"appSetting": 2})", "null", "[1, 2]"));

// ---------------------------------------------------------------------------
// "group_index" with "amount"

struct SplitCase {
  const char* settings;  // JSON of "appSetting"
  int battery_start;
  std::vector<int> active_batteries;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const SplitCase& c, std::ostream* out) {
  *out << c.settings;
}

// The device already shows its cells from 6 and checks cell 1.
class GroupSplitTest : public DeviceSettingsTest, public ::testing::WithParamInterface<SplitCase> {
 protected:
  void SetUp() override {
    device.battery_start_ = 5;
    device.active_batteries_ = {1};
  }
};

TEST_P(GroupSplitTest, StartAndAppendedCells) {
  ApplySettings(GetParam().settings);
  EXPECT_EQ(device.battery_start_, GetParam().battery_start);
  EXPECT_EQ(device.active_batteries_, GetParam().active_batteries);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    BothKeys, GroupSplitTest,
    ::testing::Values(
        // the appended cells are not checked for duplicates
        SplitCase{R"({"group_index": 1, "amount": 2})", 0, {1, 0, 1}},
        SplitCase{R"({"group_index": 2, "amount": 3})", 17, {1, 0, 1, 2}},
        SplitCase{R"({"group_index": "2", "amount": "3 cells"})", 17, {1, 0, 1, 2}},
        SplitCase{R"({"group_index": 1.9, "amount": 2.9})", 0, {1, 0, 1}},
        SplitCase{R"({"group_index": 1, "amount": 0})", 0, {1}},
        SplitCase{R"({"group_index": 2, "amount": -4})", 17, {1}},
        SplitCase{R"({"group_index": 3, "amount": 4})", 5, {1}},
        SplitCase{R"({"group_index": 0, "amount": 4})", 5, {1}},
        SplitCase{R"({"group_index": true, "amount": 4})", 5, {1}},
        SplitCase{R"({"group_index": -1, "amount": 4})", 5, {1}}));
// clang-format on

INSTANTIATE_TEST_SUITE_P(
    OneKeyMissing, GroupSplitTest,
    ::testing::Values(SplitCase{R"({"group_index": 1})", 5, {1}},
                      SplitCase{R"({"amount": 3})", 5, {1}},
                      SplitCase{R"({"group_index": 1, "amount": null})", 5, {1}},
                      SplitCase{R"({"group_index": null, "amount": 3})", 5, {1}}));

TEST_F(DeviceSettingsTest, BatteryStartOverridesTheGroupStart) {
  ApplySettings(R"({"group_index": 2, "amount": 3})");
  EXPECT_EQ(device.battery_start_, 17);
  EXPECT_EQ(device.active_batteries_, (std::vector<int>{0, 1, 2}));
  ApplySettings(R"({"battery_start": 5, "group_index": 2, "amount": 3})");
  EXPECT_EQ(device.battery_start_, 5);
  EXPECT_EQ(device.active_batteries_, (std::vector<int>{0, 1, 2, 0, 1, 2}));
}

// A mistyped amount appends at most Battery::kMaxGroupAmount cells.
TEST_F(DeviceSettingsTest, HugeAmountIsBounded) {
  ApplySettings(R"({"group_index": 1, "amount": 2000000000})");
  ASSERT_EQ(device.active_batteries_.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(device.active_batteries_[static_cast<std::size_t>(i)], i);
  ApplySettings(R"({"group_index": 1, "amount": 257})");
  EXPECT_EQ(device.active_batteries_.size(), 512u);
  ApplySettings(R"({"group_index": 1, "amount": 255})");
  EXPECT_EQ(device.active_batteries_.size(), 767u);
  EXPECT_EQ(device.active_batteries_.back(), 254);
}

TEST_F(DeviceSettingsTest, AmountGivenAsArrayRaisesBeforeAnythingIsSet) {
  device.battery_start_ = 5;
  EXPECT_THROW(ApplySettings(R"({"group_index": 2, "amount": [3], "battery_start": 9})"),
               Json::Exception);
  EXPECT_EQ(device.battery_start_, 5);
  EXPECT_TRUE(device.active_batteries_.empty());
}

TEST_F(DeviceSettingsTest, AmountIsConvertedEvenForAnUnknownGroup) {
  EXPECT_THROW(ApplySettings(R"({"group_index": 3, "amount": {"n": 3}})"), Json::Exception);
}

// ---------------------------------------------------------------------------
// The two lists: appended without duplicates, never cleared

struct ListCase {
  const char* settings;  // JSON of "appSetting"
  std::vector<int> active_batteries;
  std::vector<unsigned int> group_voltage_ids;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ListCase& c, std::ostream* out) {
  *out << c.settings;
}

class ListSettingTest : public DeviceSettingsTest,
                        public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListSettingTest, AppendedWithoutDuplicates) {
  ApplySettings(GetParam().settings);
  EXPECT_EQ(device.active_batteries_, GetParam().active_batteries);
  EXPECT_EQ(device.group_voltage_ids_, GetParam().group_voltage_ids);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    ActiveBatteries, ListSettingTest,
    ::testing::Values(
        ListCase{R"({"group_index": 1, "amount": 2, "active_batteries": [1, "1", 5]})", {0, 1, 5}, {}},
        ListCase{R"({"active_batteries": [3, 3, 40, -1]})", {3, 40, -1}, {}},
        ListCase{R"({"active_batteries": [true]})", {0}, {}},
        ListCase{R"({"active_batteries": ["7 cells", 2.9, null, "x", 0]})", {7, 2, 0}, {}},
        ListCase{R"({"active_batteries": ["3000000000"]})", {INT_MAX}, {}},
        ListCase{R"({"active_batteries": []})", {}, {}},
        ListCase{R"({"active_batteries": 5})", {}, {}},
        ListCase{R"({"active_batteries": "1,2"})", {}, {}},
        ListCase{R"({"active_batteries": {"0": 1}})", {}, {}}));
// clang-format on

INSTANTIATE_TEST_SUITE_P(
    GroupVoltage, ListSettingTest,
    ::testing::Values(
        ListCase{R"({"group_voltage": [1001, "1001", 1002]})", {}, {1001, 1002}},
        ListCase{R"({"group_voltage": 1001})", {}, {}},
        ListCase{R"({"group_voltage": "1001"})", {}, {}},
        ListCase{R"({"group_voltage": {"a": 1001}})", {}, {}},
        ListCase{R"({"group_voltage": ["12 peers", 2.9, true]})", {}, {12, 2, 0}},
        // atol, then taken as an unsigned 32-bit data id
        ListCase{R"({"group_voltage": [3000000000, -1]})", {}, {3000000000u, 4294967295u}}));

TEST_F(DeviceSettingsTest, RepeatedCallsAppendToTheListsAndKeepOtherMembers) {
  const std::string settings =
      R"({"group_index": 1, "amount": 2, "active_batteries": [5, 0], "group_voltage": [1001],
          "version": 2})";
  ApplySettings(settings);
  ApplySettings(settings);
  // The group cells go in again; 5 and 0 are already there.
  EXPECT_EQ(device.active_batteries_, (std::vector<int>{0, 1, 5, 0, 1}));
  EXPECT_EQ(device.group_voltage_ids_, (std::vector<unsigned int>{1001}));

  ApplySettings(R"({"active_batteries": [], "group_voltage": [1002, 1001], "dir": 1})");
  EXPECT_EQ(device.active_batteries_, (std::vector<int>{0, 1, 5, 0, 1}));
  EXPECT_EQ(device.group_voltage_ids_, (std::vector<unsigned int>{1001, 1002}));
  EXPECT_EQ(device.version_, 2);
  EXPECT_EQ(device.dir_, 1);
}

// The walk over a configured list is not bounded by a 16-bit index: an entry
// after the first 65,536 still counts. Repeated values keep the unique-append
// walk short.
TEST_F(DeviceSettingsTest, LongListsAreWalkedToTheirEnd) {
  constexpr Json::ArrayIndex kEntries = 70000;
  Json::Value settings(Json::objectValue);
  Json::Value& cells = settings["active_batteries"] = Json::Value(Json::arrayValue);
  Json::Value& peers = settings["group_voltage"] = Json::Value(Json::arrayValue);
  cells.resize(kEntries);
  peers.resize(kEntries);
  for (Json::ArrayIndex i = 0; i < kEntries; ++i) {
    cells[i] = 7;
    peers[i] = 1001;
  }
  cells[kEntries - 1] = 8;
  peers[65536] = 1002;
  Json::Value config(Json::objectValue);
  config["appSetting"] = settings;
  Apply(config);
  EXPECT_EQ(device.active_batteries_, (std::vector<int>{7, 8}));
  EXPECT_EQ(device.group_voltage_ids_, (std::vector<unsigned int>{1001, 1002}));
}

// A host on which every peer has a group voltage of 1 V.
class OneVoltPeers : public PXHController {
 public:
  float Get_SP_Value(PXHVDevice&, unsigned int, const std::string&) override {
    ++lookups;
    return 1.0f;
  }
  int lookups = 0;
};

TEST_F(DeviceSettingsTest, LongPeerListIsSummedToItsEnd) {
  auto peers = std::make_shared<OneVoltPeers>();
  device.Init(peers, kDataId, Json::Value(Json::objectValue));
  Configure();
  for (unsigned int id = 1; id <= 70000; ++id) device.group_voltage_ids_.push_back(id);
  RunCycle(test_frames::RisingCells(), 5200, 125, 2345);
  EXPECT_EQ(peers->lookups, 70000);
  EXPECT_EQ(device.group_voltage_, 520.0f + 70000.0f);
  EXPECT_TRUE(device.group_voltage_valid_);
}

// ---------------------------------------------------------------------------
// The configuration is only read

TEST_F(DeviceSettingsTest, LookupsAddNothingToTheConfiguration) {
  const Json::Value config = ParseJson(R"({
    "appSetting": {"b_mode": 3, "version": null, "group_index": 1, "amount": null,
                   "active_batteries": [1, null], "group_voltage": [], "t31": 2},
    "thresholdSetting": {"group_voltage": {"SignalName": null}, "temperature": {"ID": 4},
                         "battery_0_value": 5}
  })");
  const Json::Value copy = config;
  testing::internal::CaptureStdout();
  device.InitSetting(config);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(config, copy);
  EXPECT_EQ(config["appSetting"].size(), 7u);  // nothing was added under "appSetting"
}

TEST_F(DeviceSettingsTest, DeviceSettingsWriteNothingToStandardOutput) {
  testing::internal::CaptureStdout();
  ApplySettings(R"({"version": 2, "group_index": 2, "amount": 3, "active_batteries": [1],
                    "group_voltage": [4], "save_interval": 0})");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---------------------------------------------------------------------------
// Control code 100

struct ControlCase {
  int code;
  bool with_input;
  std::uint16_t minutes;
  int in_length;
  int expected_seconds;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ControlCase& c, std::ostream* out) {
  *out << c.code;
}

class DeviceIoControlTest : public DeviceSettingsTest,
                            public ::testing::WithParamInterface<ControlCase> {};

TEST_P(DeviceIoControlTest, SetsTheSaveIntervalAndAlwaysAnswersZero) {
  const ControlCase& c = GetParam();
  device.save_interval_ = 1234;
  unsigned char out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  int result = -77;
  EXPECT_EQ(device.DeviceIoControl(c.code, c.with_input ? &c.minutes : nullptr, c.in_length, out,
                                   sizeof out, result),
            0);
  EXPECT_EQ(device.save_interval_, c.expected_seconds);
  EXPECT_EQ(result, -77);
  for (const unsigned char byte : out) EXPECT_EQ(byte, 0xAA);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, DeviceIoControlTest,
    ::testing::Values(ControlCase{100, true, 10, 2, 600}, ControlCase{100, true, 1, 2, 60},
                      ControlCase{100, true, 0, 2, 28800},
                      ControlCase{100, true, 65535, 2, 65535 * 60},
                      // the input length is not consulted
                      ControlCase{100, true, 10, 0, 600}, ControlCase{100, true, 10, -7, 600},
                      // no input: nothing to read, nothing changes
                      ControlCase{100, false, 0, 2, 1234},
                      // other codes change nothing
                      ControlCase{101, true, 10, 2, 1234}, ControlCase{0, true, 10, 2, 1234},
                      ControlCase{-100, true, 10, 2, 1234}));

}  // namespace
