#include "programs/battery-host/config/plugin_settings_check.h"

#include "battery/settings.h"

namespace {

using battery_settings::Conversion;

const battery_settings::SettingConversion* SettingOf(const std::string& key) {
  for (const auto& setting : battery_settings::kAppSettings) {
    if (setting.key == key) return &setting;
  }
  return nullptr;
}

bool IsSingle(const Json::Value& value) {
  return !value.isArray() && !value.isObject();
}

void ExpectSingle(ConfigReader& reader, const Json::Value& value, const std::string& path) {
  if (IsSingle(value)) return;
  reader.Error(value, path,
               std::string("expected a single value (number or string), found ") + TypeName(value) +
                   ": the plug-in's InitSetting would throw");
}

void CheckSingle(ConfigReader& reader, const Json::Value& value, Conversion conversion,
                 const std::string& path) {
  ExpectSingle(reader, value, path);
  if (IsSingle(value) && !value.isNull() &&
      !battery_settings::StartsWithNumber(value, conversion)) {
    reader.Warn(value, path,
                "'" + value.asString() + "' has no leading number: the plug-in reads 0");
  }
}

void CheckList(ConfigReader& reader, const Json::Value& value, Conversion conversion,
               const std::string& path) {
  if (value.isNull()) return;
  if (!value.isArray()) {
    reader.Warn(
        value, path,
        std::string("expected an array, found ") + TypeName(value) + ": the plug-in ignores it");
    return;
  }
  for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
    CheckSingle(reader, value[i], conversion, Element(path, i));
  }
}

void CheckAppSetting(ConfigReader& reader, const Json::Value& settings, const std::string& path) {
  for (auto member = settings.begin(); member != settings.end(); ++member) {
    const std::string key = member.name();
    const std::string at = Member(path, key);
    const auto* setting = SettingOf(key);
    if (setting == nullptr) {
      reader.Warn(*member, at, "not a setting of the plug-in: ignored");
    } else if (setting->list) {
      CheckList(reader, *member, setting->conversion, at);
    } else {
      CheckSingle(reader, *member, setting->conversion, at);
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
  const auto check = [&](const char* part) {
    const Json::Value* value = member.find(part, part + std::char_traits<char>::length(part));
    if (value != nullptr) ExpectSingle(reader, *value, Member(path, part));
  };
  check(battery_settings::kSignalNameMember);
  for (const char* part : battery_settings::kDescriptorParts) check(part);
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
  const Json::Value* mode = battery_settings::Present(app_setting, "b_mode");
  if (mode == nullptr || !IsSingle(*mode)) return 1;
  return battery_settings::ToInt(*mode);
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
  if (ModeOf(*app_setting) != battery_settings::kThresholdMode) {
    reader.Warn(thresholds, at,
                "read only when appSetting.b_mode is " +
                    std::to_string(battery_settings::kThresholdMode) + ": ignored");
    return;
  }
  CheckThresholdSetting(reader, thresholds, at);
}
