#pragma once

// Checks a device's plug-in configuration object the way the plug-in's
// InitSetting reads it: "appSetting" keys that take a single value must not be
// arrays or objects (InitSetting would throw), list keys must be arrays of
// single values, and "thresholdSetting" is read only in b_mode 3. Keys that
// the plug-in does not read and values it reads as 0 are warnings.

#include <json/value.h>

#include <string>

#include "programs/battery-host/config/config_reader.h"

void CheckPluginConfig(ConfigReader& reader, const Json::Value& config, const std::string& path);
