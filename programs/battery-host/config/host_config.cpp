#include "programs/battery-host/config/host_config.h"

#include <json/reader.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "battery/link.h"
#include "battery/variable_names.h"
#include "battery2v_32/cell_name.h"
#include "programs/battery-host/config/config_reader.h"
#include "programs/battery-host/config/plugin_settings_check.h"

namespace {

constexpr long long kMaxTickMs = 3'600'000;
constexpr long long kMaxDataId = 0xFFFFFFFFLL;
constexpr long long kMaxDelayMs = 60'000;
constexpr long long kMaxQuietMs = 1'000;
constexpr int kAnswersPerCycle = 4;

bool IsVariableName(const std::string& name) {
  return name == battery_names::kGroupVoltage || name == battery_names::kGroupCurrent ||
         name == battery_names::kTemperature || name == kAnyCellThreshold ||
         battery2v_32::IsCellName(name, battery_link::kCellCount);
}

// jsoncpp's message for a document that does not parse: "* Line 3, Column 5\n  What".
ConfigProblem SyntaxProblem(const std::string& file, const std::string& errors) {
  static const std::regex kFirst(R"(\* Line (\d+), Column (\d+)\s+([^\n]*))");
  std::smatch match;
  if (!std::regex_search(errors, match, kFirst)) return {file, 1, "", errors, false};
  return {file, std::stoi(match[1]), "", "column " + match[2].str() + ": " + match[3].str(), false};
}

class HostConfigParser {
 public:
  HostConfigParser(const std::string& file, const std::string& text, LoadedConfig& out)
      : reader_(file, text, out.problems), out_(out) {}

  void Parse(const Json::Value& root) {
    if (!reader_.IsObject(root, "(document)")) return;
    reader_.RejectUnknownKeys(root, "", {"tick_ms", "plugin", "state_dir", "ports", "devices"});
    HostConfig& config = out_.config;
    if (root.isMember("tick_ms")) {
      if (auto tick = reader_.Integer(root["tick_ms"], "tick_ms", 1, kMaxTickMs)) {
        config.tick = std::chrono::milliseconds(*tick);
      }
    }
    if (root.isMember("plugin"))
      config.plugin = reader_.String(root["plugin"], "plugin").value_or("");
    if (root.isMember("state_dir")) {
      config.state_dir = reader_.String(root["state_dir"], "state_dir").value_or("");
    }
    if (root.isMember("ports")) ParsePorts(root["ports"]);
    ParseDevices(root);
  }

 private:
  void ParsePorts(const Json::Value& ports) {
    if (!reader_.IsObject(ports, "ports")) return;
    for (auto port = ports.begin(); port != ports.end(); ++port) {
      const std::string path = Member("ports", port.name());
      if (!reader_.IsObject(*port, path)) continue;
      reader_.RejectUnknownKeys(*port, path, {"echo", "quiet_ms"});
      PortSettings settings;
      if (port->isMember("echo")) {
        settings.echo = reader_.Bool((*port)["echo"], Member(path, "echo")).value_or(false);
      }
      if (port->isMember("quiet_ms")) ParseQuiet((*port)["quiet_ms"], path, settings);
      out_.config.ports[port.name()] = settings;
    }
  }

  void ParseQuiet(const Json::Value& value, const std::string& port_path, PortSettings& settings) {
    const std::string path = Member(port_path, "quiet_ms");
    const auto quiet = reader_.Integer(value, path, 0, kMaxQuietMs);
    if (!quiet) return;
    settings.quiet = std::chrono::milliseconds(*quiet);
    // Each of a cycle's four answers waits for the gap before it goes over.
    if (settings.quiet * kAnswersPerCycle >= out_.config.tick) {
      reader_.Warn(value, path,
                   "4 x quiet_ms reaches tick_ms (" + std::to_string(out_.config.tick.count()) +
                       "): poll ticks will re-send requests whose answers are still being "
                       "gathered");
    }
  }

  void ParseDevices(const Json::Value& root) {
    const Json::Value& devices = root["devices"];
    if (!devices.isArray() || devices.empty()) {
      reader_.Error(devices.isNull() ? root : devices, "devices",
                    std::string("expected a non-empty array of devices, found ") +
                        (devices.isArray() ? "an empty array" : TypeName(devices)));
      return;
    }
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
      ParseDevice(devices[i], Element("devices", i));
    }
  }

  void ParseDevice(const Json::Value& device, const std::string& path) {
    if (!reader_.IsObject(device, path)) return;
    reader_.RejectUnknownKeys(device, path,
                              {"data_id", "address", "port", "config", "thresholds", "sim"});
    DeviceConfig config;
    for (const char* required : {"data_id", "address", "port"}) {
      if (!device.isMember(required)) reader_.Error(device, Member(path, required), "missing");
    }
    if (device.isMember("data_id")) ParseDataId(device["data_id"], Member(path, "data_id"), config);
    if (device.isMember("address"))
      ParseAddress(device["address"], Member(path, "address"), config);
    if (device.isMember("port")) {
      config.port = reader_.String(device["port"], Member(path, "port")).value_or("");
    }
    if (device.isMember("config") && reader_.IsObject(device["config"], Member(path, "config"))) {
      config.plugin_config = device["config"];
      CheckPluginConfig(reader_, config.plugin_config, Member(path, "config"));
    }
    if (device.isMember("thresholds")) ParseThresholds(device["thresholds"], path, config);
    ParseSim(device, path, config);
    out_.config.devices.push_back(std::move(config));
  }

  void ParseDataId(const Json::Value& value, const std::string& path, DeviceConfig& config) {
    const auto id = reader_.Integer(value, path, 0, kMaxDataId);
    if (!id) return;
    config.data_id = static_cast<unsigned int>(*id);
    if (!data_ids_.insert(config.data_id).second) {
      reader_.Error(value, path, "data id " + std::to_string(*id) + " is used by another device");
    }
  }

  void ParseAddress(const Json::Value& value, const std::string& path, DeviceConfig& config) {
    std::optional<long long> address;
    if (value.isString()) {
      address = ParseAddressText(value, path);
    } else {
      address = reader_.Integer(value, path, 0, 0xFF);
    }
    if (!address) return;
    config.address = static_cast<std::uint8_t>(*address);
    if (*address < 0x80) {
      reader_.Warn(value, path,
                   "the plug-in inverts the top bit: requests go to address " +
                       std::to_string(*address + 0x80) + "; a monitor that answers as " +
                       std::to_string(*address) + " is configured as " +
                       std::to_string(*address + 0x80));
    }
  }

  std::optional<long long> ParseAddressText(const Json::Value& value, const std::string& path) {
    const std::string text = value.asString();
    std::size_t used = 0;
    long long address = -1;
    try {
      address = std::stoll(text, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size() || address < 0 || address > 0xFF) {
      reader_.Error(
          value, path,
          "expected an address from 0 to 255 (e.g. 129 or \"0x81\"), found '" + text + "'");
      return std::nullopt;
    }
    return address;
  }

  void ParseThresholds(const Json::Value& thresholds, const std::string& device_path,
                       DeviceConfig& config) {
    const std::string path = Member(device_path, "thresholds");
    if (!reader_.IsObject(thresholds, path)) return;
    for (auto entry = thresholds.begin(); entry != thresholds.end(); ++entry) {
      const std::string at = Member(path, entry.name());
      if (!IsVariableName(entry.name())) {
        reader_.Error(*entry, at,
                      "not a variable of the device (group_voltage, group_current, temperature, "
                      "battery_0_value .. battery_31_value, battery_*_value)");
        continue;
      }
      if (auto limit = ParseLimit(*entry, at)) config.thresholds[entry.name()] = *limit;
    }
  }

  std::optional<ThresholdLimit> ParseLimit(const Json::Value& entry, const std::string& path) {
    if (!reader_.IsObject(entry, path)) return std::nullopt;
    reader_.RejectUnknownKeys(entry, path, {"high", "low", "hysteresis", "level"});
    ThresholdLimit limit;
    if (entry.isMember("high")) limit.high = OptionalFloat(entry["high"], Member(path, "high"));
    if (entry.isMember("low")) limit.low = OptionalFloat(entry["low"], Member(path, "low"));
    if (entry.isMember("hysteresis")) {
      limit.hysteresis =
          OptionalFloat(entry["hysteresis"], Member(path, "hysteresis")).value_or(0.0f);
      if (limit.hysteresis < 0.0f)
        reader_.Error(entry["hysteresis"], Member(path, "hysteresis"),
                      "expected a number of 0 or more");
    }
    if (entry.isMember("level")) {
      limit.level = static_cast<int>(
          reader_.Integer(entry["level"], Member(path, "level"), 0, 1000).value_or(1));
    }
    if (!limit.high && !limit.low) reader_.Error(entry, path, "expected \"high\" or \"low\"");
    if (limit.high && limit.low && *limit.low >= *limit.high) {
      reader_.Error(entry, path, "expected \"low\" below \"high\"");
    }
    return limit;
  }

  std::optional<float> OptionalFloat(const Json::Value& value, const std::string& path) {
    const auto number = reader_.Number(value, path);
    return number ? std::optional<float>(static_cast<float>(*number)) : std::nullopt;
  }

  void ParseSim(const Json::Value& device, const std::string& path, DeviceConfig& config) {
    // The simulated monitor answers at the address the plug-in will use.
    config.sim.address = static_cast<std::uint8_t>(config.address ^ 0x80u);
    config.sim.seed = config.data_id;
    MatchPluginEncoding(config);
    if (!device.isMember("sim")) return;
    const std::string at = Member(path, "sim");
    if (!IsSimPort(config.port)) reader_.Warn(device["sim"], at, "used only with a sim port");
    const Json::Value& sim = device["sim"];
    if (!reader_.IsObject(sim, at)) return;
    reader_.RejectUnknownKeys(sim, at,
                              {"cell_voltage", "group_voltage", "current", "temperature", "seed",
                               "latency_ms", "late_ms", "split_gap_ms", "faults"});
    ParseSimValues(sim, at, config.sim);
    if (sim.isMember("faults")) ParseFaults(sim["faults"], Member(at, "faults"), config.sim.faults);
  }

  static void MatchPluginEncoding(DeviceConfig& config) {
    const Json::Value& settings = std::as_const(config.plugin_config)["appSetting"];
    if (!settings.isObject()) return;
    const auto single = [&settings](const char* key) -> const Json::Value* {
      const Json::Value& value = settings[key];
      return value.isNull() || value.isArray() || value.isObject() ? nullptr : &value;
    };
    if (const auto* version = single("version"))
      config.sim.version = std::atoi(version->asString().c_str());
    if (const auto* ratio = single("current_ratio")) {
      if (static_cast<int>(std::atof(ratio->asString().c_str())) != 0) {
        config.sim.current_encoding = monitor_sim::CurrentEncoding::kOffset;
      }
    }
  }

  void ParseSimValues(const Json::Value& sim, const std::string& path,
                      monitor_sim::MonitorSettings& settings) {
    const std::pair<const char*, float*> values[] = {{"cell_voltage", &settings.cell_voltage},
                                                     {"group_voltage", &settings.group_voltage},
                                                     {"current", &settings.current},
                                                     {"temperature", &settings.temperature}};
    for (const auto& [key, target] : values) {
      if (sim.isMember(key)) *target = OptionalFloat(sim[key], Member(path, key)).value_or(*target);
    }
    if (sim.isMember("seed")) {
      settings.seed = static_cast<std::uint32_t>(
          reader_.Integer(sim["seed"], Member(path, "seed"), 0, kMaxDataId)
              .value_or(settings.seed));
    }
    const std::pair<const char*, std::chrono::milliseconds*> delays[] = {
        {"latency_ms", &settings.latency},
        {"late_ms", &settings.late},
        {"split_gap_ms", &settings.split_gap}};
    for (const auto& [key, target] : delays) {
      if (!sim.isMember(key)) continue;
      if (auto ms = reader_.Integer(sim[key], Member(path, key), 0, kMaxDelayMs)) {
        *target = std::chrono::milliseconds(*ms);
      }
    }
  }

  void ParseFaults(const Json::Value& faults, const std::string& path,
                   monitor_sim::FaultRates& rates) {
    if (!reader_.IsObject(faults, path)) return;
    reader_.RejectUnknownKeys(
        faults, path, {"no_answer", "bad_checksum", "wrong_address", "garbage", "split", "late"});
    const std::pair<const char*, double*> table[] = {{"no_answer", &rates.no_answer},
                                                     {"bad_checksum", &rates.bad_checksum},
                                                     {"wrong_address", &rates.wrong_address},
                                                     {"garbage", &rates.garbage},
                                                     {"split", &rates.split},
                                                     {"late", &rates.late}};
    for (const auto& [key, target] : table) {
      if (faults.isMember(key))
        *target = reader_.Number(faults[key], Member(path, key)).value_or(0.0);
    }
    if (rates.Sum() < 0.0 || rates.Sum() > 1.0) {
      reader_.Error(faults, path, "expected rates that add up to 0 .. 1");
    }
  }

  ConfigReader reader_;
  LoadedConfig& out_;
  std::set<unsigned int> data_ids_;
};

}  // namespace

std::string FormatProblem(const ConfigProblem& problem) {
  std::string text = problem.file + ":" + std::to_string(problem.line) + ": ";
  if (problem.warning) text += "warning: ";
  if (!problem.key.empty()) text += problem.key + ": ";
  return text + problem.message;
}

bool IsSimPort(const std::string& port) {
  return port == kSimPort || port.rfind(std::string(kSimPort) + ":", 0) == 0;
}

bool LoadedConfig::Valid() const {
  for (const ConfigProblem& problem : problems) {
    if (!problem.warning) return false;
  }
  return true;
}

LoadedConfig ParseHostConfig(const std::string& file, const std::string& text) {
  LoadedConfig loaded;
  Json::CharReaderBuilder builder;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  Json::Value root;
  std::string errors;
  std::istringstream in(text);
  if (!Json::parseFromStream(builder, in, &root, &errors)) {
    loaded.problems.push_back(SyntaxProblem(file, errors));
    return loaded;
  }
  HostConfigParser(file, text, loaded).Parse(root);
  return loaded;
}

LoadedConfig LoadHostConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    LoadedConfig loaded;
    loaded.problems.push_back({path, 0, "", "cannot be read", false});
    return loaded;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseHostConfig(path, text.str());
}
