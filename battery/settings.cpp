#include "battery/settings.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace battery_settings {

const Json::Value* Present(const Json::Value& object, const char* key) {
  if (!object.isObject()) return nullptr;
  const Json::Value* member = object.find(key, key + std::strlen(key));
  return member != nullptr && !member->isNull() ? member : nullptr;
}

const Json::Value* PresentObject(const Json::Value& object, const char* key) {
  const Json::Value* member = Present(object, key);
  return member != nullptr && member->isObject() ? member : nullptr;
}

const Json::Value* PresentArray(const Json::Value& object, const char* key) {
  const Json::Value* member = Present(object, key);
  return member != nullptr && member->isArray() ? member : nullptr;
}

std::string Text(const Json::Value& value) {
  return value.asString();
}

namespace {

// The leading number of `text`; `end` is where reading stopped (text itself
// when there was no number). strtoll saturates on overflow instead of leaving
// the result undefined; strtod is what atof does.
long long LeadingLong(const std::string& text, const char** end) {
  char* stop = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &stop, 10);
  *end = stop;
  return parsed;
}

double LeadingDouble(const std::string& text, const char** end) {
  char* stop = nullptr;
  const double parsed = std::strtod(text.c_str(), &stop);
  *end = stop;
  return parsed;
}

}  // namespace

long long ToLong(const Json::Value& value) {
  const char* end = nullptr;
  return LeadingLong(Text(value), &end);
}

int ToInt(const Json::Value& value) {
  const long long parsed = ToLong(value);
  if (parsed > INT_MAX) return INT_MAX;
  if (parsed < INT_MIN) return INT_MIN;
  return static_cast<int>(parsed);
}

std::uint32_t ToDataId(const Json::Value& value) {
  const long long parsed = ToLong(value);
  if (parsed > static_cast<long long>(UINT32_MAX)) return UINT32_MAX;
  const long long as_controller_long = parsed < INT32_MIN ? INT32_MIN : parsed;
  return static_cast<std::uint32_t>(as_controller_long);
}

double ToDouble(const Json::Value& value) {
  const char* end = nullptr;
  return LeadingDouble(Text(value), &end);
}

int ToTruncatedInt(const Json::Value& value) {
  const double parsed = std::trunc(ToDouble(value));
  if (std::isnan(parsed)) return 0;
  if (parsed >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (parsed <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(parsed);
}

float ToFloat(const Json::Value& value) {
  return static_cast<float>(ToDouble(value));
}

bool StartsWithNumber(const Json::Value& value, Conversion conversion) {
  const std::string text = Text(value);
  const char* end = text.c_str();
  switch (conversion) {
    case Conversion::kInt:
    case Conversion::kLong:
      LeadingLong(text, &end);
      break;
    case Conversion::kTruncatedInt:
    case Conversion::kFloat:
      LeadingDouble(text, &end);
      break;
    case Conversion::kText:
      return true;
  }
  return end != text.c_str();
}

std::optional<int> BatteryStart(const Json::Value& settings) {
  if (const Json::Value* start = Present(settings, "battery_start")) return ToInt(*start);
  const Json::Value* group = Present(settings, "group_index");
  if (group == nullptr || Present(settings, "amount") == nullptr) return std::nullopt;
  constexpr int kSecondGroupStart = 17;
  switch (ToInt(*group)) {
    case 1:
      return 0;
    case 2:
      return kSecondGroupStart;
    default:
      return std::nullopt;
  }
}

}  // namespace battery_settings
