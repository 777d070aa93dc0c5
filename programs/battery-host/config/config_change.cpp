#include "programs/battery-host/config/config_change.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

// The keys that the event loop cannot take over while it runs: the plug-in
// is loaded once, its lines go to one file, the state directory is locked.
constexpr const char* kStartKeys[] = {"plugin", "plugin_log", "state_dir", "open_timeout_s"};
// Sections every device's polling depends on.
constexpr const char* kDeviceWideKeys[] = {"poll_interval_ms", "history", "silent_after_periods"};

// Everything that decides how one device is polled, as one value.
Json::Value DeviceSettings(const HostConfig& config, const DeviceConfig& device,
                           const Json::Value& section) {
  Json::Value settings(Json::objectValue);
  settings["device"] = section;
  for (const char* key : kDeviceWideKeys) settings[key] = config.document[key];
  settings["port"] = config.document["ports"][device.port];
  return settings;
}

std::map<unsigned int, Json::Value> DevicesOf(const HostConfig& config) {
  std::map<unsigned int, Json::Value> devices;
  const Json::Value& sections = config.document["devices"];
  for (Json::ArrayIndex index = 0; index < sections.size() && index < config.devices.size();
       ++index) {
    const DeviceConfig& device = config.devices[index];
    devices[device.data_id] = DeviceSettings(config, device, sections[index]);
  }
  return devices;
}

// The simulated lines on which some device is added, removed or changed.
std::set<std::string> TouchedSimLines(const HostConfig& running, const HostConfig& next,
                                      const std::set<unsigned int>& touched) {
  std::set<std::string> lines;
  for (const HostConfig* config : {&running, &next}) {
    for (const DeviceConfig& device : config->devices) {
      if (IsSimPort(device.port) && device.port != kSimPort && touched.count(device.data_id) != 0)
        lines.insert(device.port);
    }
  }
  return lines;
}

void AppendIds(std::string& text, const char* what, const std::vector<unsigned int>& ids) {
  if (ids.empty()) return;
  text += text.empty() ? "" : "; ";
  text += std::string(ids.size() == 1 ? "device " : "devices ");
  for (std::size_t k = 0; k < ids.size(); ++k) text += (k ? ", " : "") + std::to_string(ids[k]);
  text += std::string(" ") + what;
}

}  // namespace

ConfigChange CompareConfigs(const HostConfig& running, const HostConfig& next) {
  ConfigChange change;
  const auto before = DevicesOf(running);
  const auto after = DevicesOf(next);
  std::set<unsigned int> touched;
  for (const auto& [id, settings] : before) {
    const auto found = after.find(id);
    if (found == after.end()) {
      change.removed.push_back(id);
    } else if (found->second != settings) {
      change.recreated.push_back(id);
    }
  }
  for (const auto& [id, settings] : after) {
    if (before.count(id) == 0) change.added.push_back(id);
  }
  touched.insert(change.removed.begin(), change.removed.end());
  touched.insert(change.added.begin(), change.added.end());
  touched.insert(change.recreated.begin(), change.recreated.end());
  const std::set<std::string> sim_lines = TouchedSimLines(running, next, touched);
  for (const DeviceConfig& device : next.devices) {
    const bool kept = before.count(device.data_id) != 0 && touched.count(device.data_id) == 0;
    if (kept && sim_lines.count(device.port) != 0) change.recreated.push_back(device.data_id);
  }
  std::sort(change.recreated.begin(), change.recreated.end());
  change.mqtt = running.document["mqtt"] != next.document["mqtt"];
  change.http = running.document["http"] != next.document["http"];
  if (running.output.records != next.output.records) change.records = next.output.records;
  for (const char* key : kStartKeys) {
    if (running.document[key] != next.document[key]) change.at_next_start.push_back(key);
  }
  return change;
}

std::string DescribeChange(const ConfigChange& change) {
  std::string text;
  AppendIds(text, "added", change.added);
  AppendIds(text, "removed (history kept)", change.removed);
  AppendIds(text, "re-created", change.recreated);
  if (change.mqtt) text += std::string(text.empty() ? "" : "; ") + "mqtt restarted";
  if (change.http) text += std::string(text.empty() ? "" : "; ") + "http restarted";
  if (change.records) {
    text += std::string(text.empty() ? "" : "; ") + "record lines on standard output " +
            (*change.records ? "on" : "off");
  }
  for (const std::string& key : change.at_next_start) {
    text += (text.empty() ? "" : "; ") + key + " changed: takes effect at the next start";
  }
  return text.empty() ? "nothing changed" : text;
}
