#pragma once

// The host configuration of `battery-host run` and `check-config`: the poll
// intervals, the plug-in, the ports and the devices with the plug-in's own
// configuration object and the host's threshold limits. Loading validates
// everything that can be checked without opening a port, and names the file,
// the line and the key of every problem.

#include <json/value.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "programs/battery-host/config/config_problem.h"
#include "programs/battery-host/config/listen_address.h"
#include "programs/battery-host/config/mqtt_config.h"
#include "programs/battery-host/line/port_settings.h"
#include "programs/battery-host/line/sim_settings.h"
#include "programs/battery-host/state/history_settings.h"
#include "programs/battery-host/state/threshold_limit.h"

// Port name that attaches a device to a simulated monitor inside the host;
// "sim:NAME" puts every device naming it on one simulated line.
inline constexpr const char* kSimPort = "sim";
bool IsSimPort(const std::string& port);

// The longest device name: Home Assistant keeps device names of up to 255 characters.
inline constexpr std::size_t kMaxDeviceNameBytes = 255;

struct DeviceConfig {
  unsigned int data_id = 0;
  // What people call the device (Home Assistant's device name); empty: "Battery monitor DATA_ID".
  std::string name;
  // Where the plug-in's display numbers of the cells start (battery_start):
  // cell i is shown as cell_start + i + 1.
  int cell_start = 0;
  std::uint8_t address = 0;  // as stored by the host: the plug-in inverts the top bit
  std::string port;
  Json::Value plugin_config = Json::Value(Json::objectValue);
  std::map<std::string, ThresholdLimit> thresholds;
  SimMonitorSettings sim;  // for sim ports
  // How often the device's cycle starts; empty: the configuration's default.
  std::optional<std::chrono::milliseconds> poll_interval;
};

// The status page and metrics over HTTP: off unless an address is given.
struct HttpSettings {
  std::optional<ListenAddress> listen;
};

// What standard output carries besides the threshold, status and summary
// lines: each record too, unless `records` is false (the service, whose
// standard output is the journal, has its records over MQTT, HTTP and the
// history rings).
struct OutputSettings {
  bool records = true;
};

struct HostConfig {
  // How often each device's cycle starts (0: as often as the line allows).
  std::chrono::milliseconds poll_interval{1000};
  HistorySettings history;
  // Every serial port must have opened once within this time: a run with a
  // cycle count ends with an error when one has not, a daemon says so.
  std::chrono::seconds open_timeout{30};
  std::string plugin;  // empty: the plug-in built beside battery-host
  // Where the plug-in's own lines go; empty: standard error.
  std::string plugin_log;
  // A device that completes no cycle for this many poll periods is reported silent.
  int silent_after_periods = 3;
  std::string state_dir;  // empty: the default of the command line
  HttpSettings http;
  OutputSettings output;
  std::map<std::string, PortSettings> ports;
  std::vector<DeviceConfig> devices;
  std::optional<MqttSettings> mqtt;  // records and events go to an MQTT broker too
  // The document as read: a reload tells what changed by its sections.
  Json::Value document;

  PortSettings Port(const std::string& name) const {
    const auto found = ports.find(name);
    return found == ports.end() ? PortSettings{} : found->second;
  }
  std::chrono::milliseconds PollInterval(const DeviceConfig& device) const {
    return device.poll_interval.value_or(poll_interval);
  }
};

// The device's name, or "Battery monitor DATA_ID" when it has none.
std::string DeviceName(const DeviceConfig& device);

struct LoadedConfig {
  HostConfig config;
  std::vector<ConfigProblem> problems;
  bool Valid() const;
};

// Reads the file (a regular file of at most kMaxConfigBytes) and parses it.
LoadedConfig LoadHostConfig(const std::string& path);
// The same, from text already read; `file` names it in problems, and the
// files it names are looked for from its folder.
LoadedConfig ParseHostConfig(const std::string& file, const std::string& text);

// A path inside the configuration `config_file`: taken from the file's own
// folder unless absolute, so that a host started from anywhere finds it.
std::string RelativeToConfig(const std::string& config_file, const std::string& path);
