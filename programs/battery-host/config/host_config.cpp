#include "programs/battery-host/config/host_config.h"

#include <json/reader.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "battery/link.h"
#include "battery/settings.h"
#include "battery/variable_names.h"
#include "battery2v_32/cell_name.h"
#include "programs/battery-host/config/config_file.h"
#include "programs/battery-host/config/config_reader.h"
#include "programs/battery-host/config/named_files.h"
#include "programs/battery-host/config/plugin_settings_check.h"
#include "programs/battery-host/config/port_check.h"
#include "programs/battery-host/config/state_dir.h"
#include "programs/battery-host/line/line_timing.h"
#include "programs/battery-host/state/history_ring.h"
#include "programs/battery-host/support/text_format.h"
#include "programs/command-line/number_text.h"
#include "programs/monitor-model/fault_table.h"

namespace {

constexpr long long kMaxIntervalMs = 3'600'000;
constexpr long long kMaxAnswerTimeoutMs = 60'000;
constexpr long long kMaxDataId = 0xFFFFFFFFLL;
constexpr long long kMaxDelayMs = 60'000;
constexpr long long kMaxQuietMs = 1'000;
constexpr long long kMaxAddress = 0xFF;
constexpr long long kMaxPeriods = 1000;
constexpr long long kMaxIntervalS = 86'400;
constexpr long long kMaxOpenTimeoutS = 86'400;

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

// The document, or what keeps it from parsing. jsoncpp throws for some input
// instead of reporting it: a syntax problem all the same.
std::optional<ConfigProblem> ParseJson(const std::string& file, const std::string& text,
                                       Json::Value& root) {
  if (const auto deep = FindTooDeepNesting(text)) {
    return ConfigProblem{file, deep->line, "",
                         "column " + std::to_string(deep->column) + ": nested deeper than " +
                             std::to_string(kMaxConfigDepth) + " levels of objects and arrays",
                         false};
  }
  Json::CharReaderBuilder builder;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  std::string errors;
  std::istringstream in(text);
  try {
    if (Json::parseFromStream(builder, in, &root, &errors)) return std::nullopt;
  } catch (const std::exception& error) {
    return ConfigProblem{file, 1, "", error.what(), false};
  }
  return SyntaxProblem(file, errors);
}

// What run would refuse at start in each file the configuration names,
// checked without using the file.
using NamedFileCheck = std::optional<std::string> (*)(const std::string&);
constexpr std::pair<const char*, NamedFileCheck> kNamedFiles[] = {{"plugin", SharedLibraryProblem},
                                                                  {"plugin_log", AppendFileProblem},
                                                                  {"state_dir", DirectoryProblem}};

class HostConfigParser {
 public:
  HostConfigParser(const std::string& file, const std::string& text, LoadedConfig& out)
      : reader_(file, text, out.problems), file_(file), out_(out) {}

  void Parse(const Json::Value& root) {
    if (!reader_.IsObject(root, "(document)")) return;
    out_.config.document = root;
    reader_.RejectUnknownKeys(
        root, "",
        {"poll_interval_ms", "plugin", "plugin_log", "state_dir", "history", "open_timeout_s",
         "silent_after_periods", "ports", "devices", "mqtt", "http", "output"});
    HostConfig& config = out_.config;
    if (root.isMember("poll_interval_ms")) {
      if (auto interval = PollInterval(root["poll_interval_ms"], "poll_interval_ms")) {
        config.poll_interval = *interval;
      }
    }
    if (root.isMember("plugin"))
      config.plugin = reader_.String(root["plugin"], "plugin").value_or("");
    if (root.isMember("plugin_log"))
      config.plugin_log = reader_.String(root["plugin_log"], "plugin_log").value_or("");
    if (root.isMember("silent_after_periods")) {
      config.silent_after_periods = static_cast<int>(
          reader_.Integer(root["silent_after_periods"], "silent_after_periods", 1, kMaxPeriods)
              .value_or(config.silent_after_periods));
    }
    if (root.isMember("state_dir")) {
      config.state_dir = reader_.String(root["state_dir"], "state_dir").value_or("");
    }
    CheckNamedFiles(root);
    CheckStateDir(root);
    if (root.isMember("history")) ParseHistory(root["history"]);
    if (root.isMember("mqtt")) ParseMqtt(root);
    if (root.isMember("open_timeout_s")) {
      if (auto timeout =
              reader_.Integer(root["open_timeout_s"], "open_timeout_s", 1, kMaxOpenTimeoutS)) {
        config.open_timeout = std::chrono::seconds(*timeout);
      }
    }
    if (root.isMember("ports")) ParsePorts(root["ports"]);
    if (root.isMember("http")) ParseHttp(root["http"]);
    if (root.isMember("output")) ParseOutput(root["output"]);
    ParseDevices(root);
    CheckPorts(root);
  }

 private:
  void CheckNamedFiles(const Json::Value& root) {
    for (const auto& [key, check] : kNamedFiles) {
      const Json::Value& value = root[key];
      if (!value.isString() || value.asString().empty()) continue;
      if (const auto problem = check(RelativeToConfig(file_, value.asString()))) {
        reader_.Error(value, key, *problem);
      }
    }
  }

  // The state directory that run would use, named or by default.
  void CheckStateDir(const Json::Value& root) {
    const std::string dir = ChooseStateDir({}, file_, out_.config.state_dir);
    if (const auto problem = SystemFolderProblem(dir)) {
      reader_.Error(root.isMember("state_dir") ? root["state_dir"] : root, "state_dir", *problem);
    }
  }

  void ParseHistory(const Json::Value& history) {
    if (!reader_.IsObject(history, "history")) return;
    reader_.RejectUnknownKeys(history, "history", {"entries", "interval_s"});
    HistorySettings& settings = out_.config.history;
    if (history.isMember("entries")) {
      if (auto entries = reader_.Integer(history["entries"], "history.entries",
                                         history_ring::kMinCapacity, history_ring::kMaxCapacity)) {
        settings.entries = static_cast<std::uint32_t>(*entries);
      }
    }
    if (history.isMember("interval_s")) {
      if (auto interval =
              reader_.Integer(history["interval_s"], "history.interval_s", 0, kMaxIntervalS)) {
        settings.interval = std::chrono::seconds(*interval);
      }
    }
  }

  // The history ring is the MQTT outbox: with an mqtt section it holds every record.
  void ParseMqtt(const Json::Value& root) {
    ParseMqttSection(reader_, root["mqtt"], file_, out_.config.mqtt.emplace());
    const Json::Value& history = root["history"];
    if (history.isObject() && history.isMember("interval_s") &&
        out_.config.history.interval.count() != 0) {
      reader_.Error(history["interval_s"], "history.interval_s",
                    "must be 0 with an mqtt section: the history ring is the outbox of the "
                    "records not yet acknowledged by the broker, so it keeps every record");
    }
    out_.config.history.interval = std::chrono::seconds(0);
  }

  void ParseHttp(const Json::Value& http) {
    if (!reader_.IsObject(http, "http")) return;
    reader_.RejectUnknownKeys(http, "http", {"listen"});
    if (!http.isMember("listen")) return;
    const Json::Value& value = http["listen"];
    const auto text = reader_.String(value, "http.listen");
    if (!text) return;
    std::string problem;
    auto& listen = out_.config.http.listen;
    listen = ParseListenAddress(*text, problem);
    if (!listen) return reader_.Error(value, "http.listen", problem);
    if (!listen->loopback) {
      reader_.Warn(value, "http.listen",
                   "not a loopback address: whoever reaches " + listen->Text() +
                       " can read the status page and metrics, without a password");
    }
  }

  void ParseOutput(const Json::Value& output) {
    if (!reader_.IsObject(output, "output")) return;
    reader_.RejectUnknownKeys(output, "output", {"records"});
    if (!output.isMember("records")) return;
    OutputSettings& settings = out_.config.output;
    settings.records = reader_.Bool(output["records"], "output.records").value_or(settings.records);
  }

  void ParsePorts(const Json::Value& ports) {
    if (!reader_.IsObject(ports, "ports")) return;
    for (auto port = ports.begin(); port != ports.end(); ++port) {
      const std::string path = Member("ports", port.name());
      if (!reader_.IsObject(*port, path)) continue;
      reader_.RejectUnknownKeys(
          *port, path, {"echo", "quiet_ms", "answer_timeout_ms", "learn_latency", "paced"});
      PortSettings settings;
      if (port->isMember("echo")) {
        settings.echo = reader_.Bool((*port)["echo"], Member(path, "echo")).value_or(false);
      }
      if (port->isMember("learn_latency")) {
        settings.learn_latency =
            reader_.Bool((*port)["learn_latency"], Member(path, "learn_latency")).value_or(true);
      }
      if (port->isMember("paced")) {
        settings.paced = reader_.Bool((*port)["paced"], Member(path, "paced")).value_or(true);
        if (!IsSimPort(port.name())) {
          reader_.Warn((*port)["paced"], Member(path, "paced"), "used only with a sim port");
        }
      }
      if (port->isMember("quiet_ms")) {
        const auto quiet =
            reader_.Integer((*port)["quiet_ms"], Member(path, "quiet_ms"), 0, kMaxQuietMs);
        if (quiet) settings.quiet = std::chrono::milliseconds(*quiet);
      }
      if (port->isMember("answer_timeout_ms")) ParseAnswerTimeout(*port, path, settings);
      out_.config.ports[port.name()] = settings;
    }
  }

  void ParseAnswerTimeout(const Json::Value& port, const std::string& port_path,
                          PortSettings& settings) {
    const std::string path = Member(port_path, "answer_timeout_ms");
    const Json::Value& value = port["answer_timeout_ms"];
    const auto timeout = reader_.Integer(value, path, 1, kMaxAnswerTimeoutMs);
    if (!timeout) return;
    settings.answer_timeout = std::chrono::milliseconds(*timeout);
    // The cell answer must be whole, and gathered, before its request is re-sent.
    const auto shortest =
        line_timing::ShortestAnswerTimeout(battery_link::kBaudRate, settings.quiet);
    if (*settings.answer_timeout < shortest) {
      reader_.Warn(value, path,
                   "below " + std::to_string(shortest.count()) +
                       " ms (the line time of a request and the cell answer at " +
                       std::to_string(battery_link::kBaudRate) + " baud, plus quiet_ms, plus " +
                       std::to_string(line_timing::kTimeoutMargin.count()) +
                       " ms): requests will be re-sent while their answers arrive");
    }
  }

  std::optional<std::chrono::milliseconds> PollInterval(const Json::Value& value,
                                                        const std::string& path) {
    const auto interval = reader_.Integer(value, path, 0, kMaxIntervalMs);
    if (!interval) return std::nullopt;
    return std::chrono::milliseconds(*interval);
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
    reader_.RejectUnknownKeys(
        device, path,
        {"data_id", "address", "port", "name", "poll_interval_ms", "config", "thresholds", "sim"});
    DeviceConfig config;
    for (const char* required : {"data_id", "address", "port"}) {
      if (!device.isMember(required)) reader_.Error(device, Member(path, required), "missing");
    }
    if (device.isMember("data_id")) ParseDataId(device["data_id"], Member(path, "data_id"), config);
    const bool has_address = device.isMember("address") &&
                             ParseAddress(device["address"], Member(path, "address"), config);
    const std::string bus = device.isMember("port")
                                ? ParsePort(device["port"], Member(path, "port"), config)
                                : std::string();
    if (device.isMember("name")) ParseName(device["name"], Member(path, "name"), config);
    if (device.isMember("poll_interval_ms")) {
      config.poll_interval =
          PollInterval(device["poll_interval_ms"], Member(path, "poll_interval_ms"));
    }
    if (device.isMember("config") && reader_.IsObject(device["config"], Member(path, "config"))) {
      config.plugin_config = device["config"];
      CheckPluginConfig(reader_, config.plugin_config, Member(path, "config"));
      config.cell_start = CellStart(config.plugin_config);
    }
    if (device.isMember("thresholds")) ParseThresholds(device["thresholds"], path, config);
    if (has_address) CheckSharedAddress(device, path, config, bus);
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

  // As the plug-in numbers the cells; a setting it cannot read (reported by
  // CheckPluginConfig) leaves them from 1.
  static int CellStart(const Json::Value& plugin_config) {
    const Json::Value* settings = battery_settings::PresentObject(plugin_config, "appSetting");
    if (settings == nullptr) return 0;
    try {
      return battery_settings::BatteryStart(*settings).value_or(0);
    } catch (const Json::LogicError&) {
      return 0;
    }
  }

  // The name the device is shown under upstream.
  void ParseName(const Json::Value& value, const std::string& path, DeviceConfig& config) {
    const auto name = reader_.String(value, path);
    if (!name) return;
    if (name->empty() || name->size() > kMaxDeviceNameBytes) {
      reader_.Error(value, path,
                    "expected 1 to " + std::to_string(kMaxDeviceNameBytes) + " bytes of text");
    } else if (!host_text::IsValidUtf8(*name)) {
      reader_.Error(value, path, "not valid UTF-8");
    } else {
      config.name = *name;
    }
  }

  // The bus the port puts the device on (PortIdentity), empty when the port is not usable.
  std::string ParsePort(const Json::Value& value, const std::string& path, DeviceConfig& config) {
    const auto port = reader_.String(value, path);
    if (!port) return {};
    config.port = *port;
    // Ports are named in the JSON lines as they are: they must be text.
    if (!host_text::IsValidUtf8(config.port)) {
      reader_.Error(value, path, "not valid UTF-8");
      return {};
    }
    const std::string problem = PortNameProblem(config.port);
    if (!problem.empty()) {
      reader_.Error(value, path, problem);
      return {};
    }
    port_names_.insert(config.port);
    std::string bus = PortIdentity(config.port);
    const auto [first, fresh] = first_use_of_bus_.emplace(bus, PortUse{&value, path, config.port});
    // Two names would make two lines on one port, and run would fail to open it twice.
    if (!fresh && first->second.port != config.port) {
      reader_.Error(value, path,
                    config.port + " names the same serial port as " + first->second.path + " (" +
                        first->second.port + "): use one name");
    }
    return bus;
  }

  bool ParseAddress(const Json::Value& value, const std::string& path, DeviceConfig& config) {
    std::optional<long long> address;
    if (value.isString()) {
      address = ParseAddressText(value, path);
    } else {
      address = reader_.Integer(value, path, 0, kMaxAddress);
    }
    if (!address) return false;
    config.address = static_cast<std::uint8_t>(*address);
    if (*address < 0x80) {
      reader_.Warn(value, path,
                   "the plug-in inverts the top bit: requests go to address " +
                       std::to_string(*address + 0x80) + "; a monitor that answers as " +
                       std::to_string(*address) + " is configured as " +
                       std::to_string(*address + 0x80));
    }
    return true;
  }

  std::optional<long long> ParseAddressText(const Json::Value& value, const std::string& path) {
    const std::string text = value.asString();
    const auto address = number_text::ParseWhole(text, kMaxAddress);
    if (!address) {
      reader_.Error(value, path,
                    "expected " + number_text::Expected(0, kMaxAddress) +
                        ", e.g. 129 or \"0x81\", found '" + text + "'");
      return std::nullopt;
    }
    return static_cast<long long>(*address);
  }

  // Two monitors at one address on one line would both answer every request.
  void CheckSharedAddress(const Json::Value& device, const std::string& path,
                          const DeviceConfig& config, const std::string& bus) {
    if (bus.empty() || config.port == kSimPort) return;
    const auto [held, fresh] = addresses_.emplace(std::make_pair(bus, config.address), path);
    if (fresh) return;
    reader_.Error(device["address"], Member(path, "address"),
                  "address " + std::to_string(config.address) + " is used by " + held->second +
                      " on the same port " + config.port);
  }

  // Each serial port once, at the first device naming it.
  void CheckPorts(const Json::Value& root) {
    for (const auto& [bus, use] : first_use_of_bus_) {
      if (IsSimPort(use.port)) continue;
      if (const auto problem = CheckPortFile(use.port)) {
        if (problem->error) {
          reader_.Error(*use.value, use.path, problem->message);
        } else {
          reader_.Warn(*use.value, use.path, problem->message);
        }
      }
    }
    const Json::Value& ports = root["ports"];
    if (!ports.isObject()) return;
    for (auto port = ports.begin(); port != ports.end(); ++port) {
      if (port_names_.count(port.name()) == 0) {
        reader_.Warn(*port, Member("ports", port.name()), "not the port of any device: ignored");
      }
    }
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

  // The simulated monitor encodes its answers as the plug-in's settings decode them.
  static void MatchPluginEncoding(DeviceConfig& config) {
    using namespace battery_settings;
    const Json::Value* settings = PresentObject(config.plugin_config, "appSetting");
    if (settings == nullptr) return;
    const auto single = [settings](const char* key) -> const Json::Value* {
      const Json::Value* value = Present(*settings, key);
      return value != nullptr && !value->isArray() && !value->isObject() ? value : nullptr;
    };
    if (const auto* version = single("version")) config.sim.version = ToInt(*version);
    if (const auto* ratio = single("current_ratio")) {
      if (ToTruncatedInt(*ratio) != 0) {
        config.sim.offset_current = true;
      }
    }
  }

  void ParseSimValues(const Json::Value& sim, const std::string& path,
                      SimMonitorSettings& settings) {
    const std::pair<const char*, std::optional<float>*> values[] = {
        {"cell_voltage", &settings.cell_voltage},
        {"group_voltage", &settings.group_voltage},
        {"current", &settings.current},
        {"temperature", &settings.temperature}};
    for (const auto& [key, target] : values) {
      if (sim.isMember(key)) *target = OptionalFloat(sim[key], Member(path, key));
    }
    if (sim.isMember("seed")) {
      settings.seed = static_cast<std::uint32_t>(
          reader_.Integer(sim["seed"], Member(path, "seed"), 0, kMaxDataId)
              .value_or(settings.seed));
    }
    const std::pair<const char*, std::optional<std::chrono::milliseconds>*> delays[] = {
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

  void ParseFaults(const Json::Value& faults, const std::string& path, SimFaultRates& rates) {
    if (!reader_.IsObject(faults, path)) return;
    reader_.RejectUnknownKeysBy(faults, path, [](const std::string& key) {
      return std::any_of(std::begin(monitor_sim::kFaultKinds), std::end(monitor_sim::kFaultKinds),
                         [&key](const monitor_sim::FaultKind& kind) { return key == kind.name; });
    });
    double sum = 0.0;
    for (const monitor_sim::FaultKind& kind : monitor_sim::kFaultKinds) {
      if (!faults.isMember(kind.name)) continue;
      rates[kind.name] = reader_.Number(faults[kind.name], Member(path, kind.name)).value_or(0.0);
      sum += rates[kind.name];
    }
    if (sum < 0.0 || sum > 1.0) {
      reader_.Error(faults, path, "expected rates that add up to 0 .. 1");
    }
  }

  ConfigReader reader_;
  std::string file_;  // the configuration file: files it names are relative to its folder
  LoadedConfig& out_;
  std::set<unsigned int> data_ids_;
  struct PortUse {
    const Json::Value* value;
    std::string path;  // of the key
    std::string port;  // as named there
  };
  std::map<std::string, PortUse> first_use_of_bus_;  // by PortIdentity
  std::set<std::string> port_names_;                 // every port a device names
  // (PortIdentity, address) -> path of the device
  std::map<std::pair<std::string, std::uint8_t>, std::string> addresses_;
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

std::string DeviceName(const DeviceConfig& device) {
  return device.name.empty() ? "Battery monitor " + std::to_string(device.data_id) : device.name;
}

std::string RelativeToConfig(const std::string& config_file, const std::string& path) {
  const std::filesystem::path given(path);
  if (given.is_absolute()) return path;
  return (std::filesystem::path(config_file).parent_path() / given).string();
}

bool LoadedConfig::Valid() const {
  for (const ConfigProblem& problem : problems) {
    if (!problem.warning) return false;
  }
  return true;
}

LoadedConfig ParseHostConfig(const std::string& file, const std::string& text) {
  LoadedConfig loaded;
  Json::Value root;
  if (auto problem = ParseJson(file, text, root)) {
    loaded.problems.push_back(std::move(*problem));
    return loaded;
  }
  HostConfigParser(file, text, loaded).Parse(root);
  return loaded;
}

LoadedConfig LoadHostConfig(const std::string& path) {
  ConfigText read = ReadConfigFile(path);
  if (read.problem.empty()) return ParseHostConfig(path, read.text);
  LoadedConfig loaded;
  loaded.problems.push_back({path, 0, "", read.problem, false});
  return loaded;
}
