#include "programs/battery-host/config/plugin_settings_check.h"

#include <cstdlib>
#include <set>

namespace {

const std::set<std::string>& SingleValueKeys() {
  static const std::set<std::string> keys = {
      "battery_type", "current_ratio", "group_a",   "group_b",       "battery_adjust",
      "version",      "dir",           "r_data_id", "save_interval", "group_index",
      "amount",       "battery_start", "t0",        "t31",           "b_mode"};
  return keys;
}

constexpr const char* kTextKey = "r_current_field";
const std::set<std::string> kListKeys = {"active_batteries", "group_voltage"};
const char* const kDescriptorParts[] = {"SignalName", "NMAlarmID", "ID", "SignalNumber"};
constexpr int kThresholdMode = 3;

bool IsSingle(const Json::Value& value) {
  return !value.isArray() && !value.isObject();
}

// Text the plug-in parses with atoi/atof: does it start with a number?
bool HasLeadingNumber(const Json::Value& value) {
  if (value.isNumeric()) return true;
  const std::string text = value.asString();
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  return end != text.c_str();
}

void ExpectSingle(ConfigReader& reader, const Json::Value& value, const std::string& path) {
  if (IsSingle(value)) return;
  reader.Error(value, path,
               std::string("expected a single value (number or string), found ") + TypeName(value) +
                   ": the plug-in's InitSetting would throw");
}

void CheckNumeric(ConfigReader& reader, const Json::Value& value, const std::string& path) {
  ExpectSingle(reader, value, path);
  if (IsSingle(value) && !value.isNull() && !HasLeadingNumber(value)) {
    reader.Warn(value, path,
                "'" + value.asString() + "' has no leading number: the plug-in reads 0");
  }
}

void CheckList(ConfigReader& reader, const Json::Value& value, const std::string& path) {
  if (value.isNull()) return;
  if (!value.isArray()) {
    reader.Warn(
        value, path,
        std::string("expected an array, found ") + TypeName(value) + ": the plug-in ignores it");
    return;
  }
  for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
    CheckNumeric(reader, value[i], Element(path, i));
  }
}

void CheckAppSetting(ConfigReader& reader, const Json::Value& settings, const std::string& path) {
  for (auto member = settings.begin(); member != settings.end(); ++member) {
    const std::string key = member.name();
    const std::string at = Member(path, key);
    if (SingleValueKeys().count(key) != 0) {
      CheckNumeric(reader, *member, at);
    } else if (key == kTextKey) {
      ExpectSingle(reader, *member, at);
    } else if (kListKeys.count(key) != 0) {
      CheckList(reader, *member, at);
    } else {
      reader.Warn(*member, at, "not a setting of the plug-in: ignored");
    }
  }
}

void CheckThresholdMember(ConfigReader& reader, const Json::Value& member,
                          const std::string& path) {
  if (!member.isObject()) {
    reader.Warn(
        member, path,
        std::string("expected an object, found ") + TypeName(member) + ": the plug-in skips it");
    return;
  }
  for (const char* part : kDescriptorParts) {
    const Json::Value* value = member.find(part, part + std::char_traits<char>::length(part));
    if (value != nullptr) ExpectSingle(reader, *value, Member(path, part));
  }
}

void CheckThresholdSetting(ConfigReader& reader, const Json::Value& thresholds,
                           const std::string& path) {
  if (thresholds.isArray()) {
    reader.Error(thresholds, path, "expected an object keyed by variable name, found an array");
    return;
  }
  if (!thresholds.isObject()) return;
  for (auto member = thresholds.begin(); member != thresholds.end(); ++member) {
    CheckThresholdMember(reader, *member, Member(path, member.name()));
  }
}

int ModeOf(const Json::Value& app_setting) {
  if (!app_setting.isObject()) return 1;
  const Json::Value& mode = app_setting["b_mode"];
  if (mode.isNull() || !IsSingle(mode)) return 1;
  return std::atoi(mode.asString().c_str());
}

}  // namespace

void CheckPluginConfig(ConfigReader& reader, const Json::Value& config, const std::string& path) {
  const Json::Value null_value;
  const Json::Value* app_setting = &null_value;
  for (auto member = config.begin(); member != config.end(); ++member) {
    const std::string key = member.name();
    const std::string at = Member(path, key);
    if (key == "appSetting") {
      app_setting = &*member;
      if (member->isObject())
        CheckAppSetting(reader, *member, at);
      else if (!member->isNull())
        reader.Warn(*member, at, "not an object: the plug-in ignores it");
    } else if (key != "thresholdSetting") {
      reader.Warn(*member, at, "not read by the plug-in: ignored");
    }
  }
  const Json::Value& thresholds = config["thresholdSetting"];
  if (thresholds.isNull()) return;
  const std::string at = Member(path, "thresholdSetting");
  if (ModeOf(*app_setting) != kThresholdMode) {
    reader.Warn(thresholds, at, "read only when appSetting.b_mode is 3: ignored");
    return;
  }
  CheckThresholdSetting(reader, thresholds, at);
}
