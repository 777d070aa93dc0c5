#pragma once

// Reading device settings from the configuration. A key counts as present when
// it exists and is not null; looking a key up never adds it. Every value is
// taken through jsoncpp's string conversion and then parsed as a decimal
// number from its leading characters, so 2, "2" and "2 cells" are the same
// setting and text without a leading number is 0. Arrays and objects have no
// string form: jsoncpp's exception for them is left to the caller.

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace battery_settings {

// How a setting's text form is read.
enum class Conversion {
  kInt,           // ToInt
  kLong,          // ToLong
  kTruncatedInt,  // ToTruncatedInt
  kFloat,         // ToFloat
  kText,          // Text, taken as it is
};

struct SettingConversion {
  std::string_view key;
  Conversion conversion;
  bool list;  // an array of values, each read with `conversion`
};

// Every member of "appSetting" that InitSetting reads (Battery::InitSetting
// and b_mode in UniDataDevice), with the conversion it applies. Checks of a
// configuration read the settings through this table and the conversions
// below, so that they see what the plug-in sees.
inline constexpr SettingConversion kAppSettings[] = {
    {"battery_type", Conversion::kTruncatedInt, false},
    {"current_ratio", Conversion::kTruncatedInt, false},
    {"group_a", Conversion::kFloat, false},
    {"group_b", Conversion::kFloat, false},
    {"battery_adjust", Conversion::kFloat, false},
    {"version", Conversion::kInt, false},
    {"dir", Conversion::kInt, false},
    {"r_data_id", Conversion::kInt, false},
    {"r_current_field", Conversion::kText, false},
    {"save_interval", Conversion::kInt, false},
    {"group_index", Conversion::kInt, false},
    {"amount", Conversion::kInt, false},
    {"active_batteries", Conversion::kInt, true},
    {"battery_start", Conversion::kInt, false},
    {"group_voltage", Conversion::kLong, true},
    {"t0", Conversion::kFloat, false},
    {"t31", Conversion::kFloat, false},
    {"b_mode", Conversion::kInt, false},
};

// The "b_mode" under which InitSetting reads "thresholdSetting".
inline constexpr int kThresholdMode = 3;
// The members of a "thresholdSetting" entry that InitSetting reads: the
// signal's display name, and the parts of its alarm descriptor in the order
// they are joined ("NMAlarmID;ID;SignalNumber;", a missing part left empty).
inline constexpr const char* kSignalNameMember = "SignalName";
inline constexpr const char* kDescriptorParts[] = {"NMAlarmID", "ID", "SignalNumber"};

// The member `key` of `object` when `object` is an object and the member is
// present (exists and is not null); nullptr otherwise.
const Json::Value* Present(const Json::Value& object, const char* key);

// `Present` narrowed to objects and arrays: other forms count as absent.
const Json::Value* PresentObject(const Json::Value& object, const char* key);
const Json::Value* PresentArray(const Json::Value& object, const char* key);

std::string Text(const Json::Value& value);

// Leading integer of the text form, saturated to the range of int (as atoi
// does on a controller whose long is 32 bits wide).
int ToInt(const Json::Value& value);
// Leading integer of the text form as a 64-bit number (atol on a 64-bit long).
long long ToLong(const Json::Value& value);
// Leading integer of the text form as an unsigned 32-bit data id. 0 to
// 4294967295 are taken as written; a larger value saturates to 4294967295
// rather than wrap onto a smaller id (another device's). A negative value
// gives what atol on the controller (a 32-bit long) gives as a data id: the
// value saturated to the long's range, then taken modulo 2^32, so -1 gives
// 4294967295 and anything from -2147483648 down gives 2147483648; a negative
// value never gives an id below that.
std::uint32_t ToDataId(const Json::Value& value);
// Leading floating-point number of the text form (atof).
double ToDouble(const Json::Value& value);
// ToDouble truncated toward zero, saturated to the range of int (NaN gives 0).
int ToTruncatedInt(const Json::Value& value);
// ToDouble rounded to single precision.
float ToFloat(const Json::Value& value);

// Whether the text form starts with a number that `conversion` reads; when it
// does not, the setting reads as 0. Text is always taken.
bool StartsWithNumber(const Json::Value& value, Conversion conversion);

// Where the cells' display numbers start (cell i is shown as start + i + 1):
// "battery_start" when present, else 0 for group 1 and 17 for group 2 of a
// string split over two monitors ("group_index" with "amount"); empty when
// `settings` (the "appSetting" object) says nothing of it.
std::optional<int> BatteryStart(const Json::Value& settings);

}  // namespace battery_settings
