#pragma once

// Typed access to a parsed JSON document that reports every problem with the
// file, the line and the path of the key. Lines come from the offsets that
// jsoncpp keeps for every parsed value.

#include <json/value.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "programs/battery-host/config/config_problem.h"

class ConfigReader {
 public:
  ConfigReader(std::string file, const std::string& text, std::vector<ConfigProblem>& problems);

  int LineOf(const Json::Value& value) const;
  void Error(const Json::Value& at, const std::string& key, const std::string& message);
  void Warn(const Json::Value& at, const std::string& key, const std::string& message);

  // Reports every member of `object` whose key is not in `known`.
  void RejectUnknownKeys(const Json::Value& object, const std::string& path,
                         std::initializer_list<const char*> known);
  // The same, with the keys that are known told by `known`.
  void RejectUnknownKeysBy(const Json::Value& object, const std::string& path,
                           const std::function<bool(const std::string& key)>& known);
  bool IsObject(const Json::Value& value, const std::string& path);
  std::optional<long long> Integer(const Json::Value& value, const std::string& path, long long min,
                                   long long max);
  std::optional<double> Number(const Json::Value& value, const std::string& path);
  std::optional<bool> Bool(const Json::Value& value, const std::string& path);
  std::optional<std::string> String(const Json::Value& value, const std::string& path);

 private:
  void Add(const Json::Value& at, const std::string& key, const std::string& message, bool warning);

  std::string file_;
  std::vector<std::size_t> line_starts_;
  std::vector<ConfigProblem>& problems_;
};

// Describes the JSON type of `value` for messages: "an array", "a string", ...
const char* TypeName(const Json::Value& value);
std::string Member(const std::string& path, const std::string& key);
std::string Element(const std::string& path, Json::ArrayIndex index);
