#include "programs/battery-host/config/config_reader.h"

#include <algorithm>
#include <cmath>

ConfigReader::ConfigReader(std::string file, const std::string& text,
                           std::vector<ConfigProblem>& problems)
    : file_(std::move(file)), problems_(problems) {
  line_starts_.push_back(0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') line_starts_.push_back(i + 1);
  }
}

int ConfigReader::LineOf(const Json::Value& value) const {
  const auto offset = static_cast<std::size_t>(std::max<std::ptrdiff_t>(value.getOffsetStart(), 0));
  const auto after = std::upper_bound(line_starts_.begin(), line_starts_.end(), offset);
  return static_cast<int>(after - line_starts_.begin());
}

void ConfigReader::Error(const Json::Value& at, const std::string& key,
                         const std::string& message) {
  Add(at, key, message, false);
}

void ConfigReader::Warn(const Json::Value& at, const std::string& key, const std::string& message) {
  Add(at, key, message, true);
}

void ConfigReader::Add(const Json::Value& at, const std::string& key, const std::string& message,
                       bool warning) {
  problems_.push_back(ConfigProblem{file_, LineOf(at), key, message, warning});
}

void ConfigReader::RejectUnknownKeys(const Json::Value& object, const std::string& path,
                                     std::initializer_list<const char*> known) {
  RejectUnknownKeysBy(object, path, [known](const std::string& key) {
    return std::any_of(known.begin(), known.end(),
                       [&key](const char* name) { return key == name; });
  });
}

void ConfigReader::RejectUnknownKeysBy(const Json::Value& object, const std::string& path,
                                       const std::function<bool(const std::string& key)>& known) {
  for (auto member = object.begin(); member != object.end(); ++member) {
    const std::string key = member.name();
    if (!known(key)) Error(*member, Member(path, key), "unknown key");
  }
}

bool ConfigReader::IsObject(const Json::Value& value, const std::string& path) {
  if (value.isObject()) return true;
  Error(value, path, std::string("expected an object, found ") + TypeName(value));
  return false;
}

std::optional<long long> ConfigReader::Integer(const Json::Value& value, const std::string& path,
                                               long long min, long long max) {
  const bool whole = value.isNumeric() && value.isConvertibleTo(Json::realValue) &&
                     std::trunc(value.asDouble()) == value.asDouble();
  if (!whole || value.asDouble() < static_cast<double>(min) ||
      value.asDouble() > static_cast<double>(max)) {
    Error(value, path,
          "expected an integer from " + std::to_string(min) + " to " + std::to_string(max) +
              ", found " + (value.isNumeric() ? value.asString() : TypeName(value)));
    return std::nullopt;
  }
  return static_cast<long long>(value.asDouble());
}

std::optional<double> ConfigReader::Number(const Json::Value& value, const std::string& path) {
  if (value.isNumeric()) return value.asDouble();
  Error(value, path, std::string("expected a number, found ") + TypeName(value));
  return std::nullopt;
}

std::optional<bool> ConfigReader::Bool(const Json::Value& value, const std::string& path) {
  if (value.isBool()) return value.asBool();
  Error(value, path, std::string("expected true or false, found ") + TypeName(value));
  return std::nullopt;
}

std::optional<std::string> ConfigReader::String(const Json::Value& value, const std::string& path) {
  if (value.isString()) return value.asString();
  Error(value, path, std::string("expected a string, found ") + TypeName(value));
  return std::nullopt;
}

const char* TypeName(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
      return "null";
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
      return "a number";
    case Json::stringValue:
      return "a string";
    case Json::booleanValue:
      return "a boolean";
    case Json::arrayValue:
      return "an array";
    case Json::objectValue:
      return "an object";
  }
  return "a value";
}

std::string Member(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

std::string Element(const std::string& path, Json::ArrayIndex index) {
  return path + "[" + std::to_string(index) + "]";
}
