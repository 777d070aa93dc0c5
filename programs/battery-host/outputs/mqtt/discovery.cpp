#include "programs/battery-host/outputs/mqtt/discovery.h"

#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <cctype>

#include "battery/link.h"
#include "battery/variable_names.h"
#include "battery2v_32/cell_name.h"
#include "programs/battery-host/version.h"

namespace {

struct Sensor {
  std::string variable;  // the device's variable name, as in threshold keys
  std::string name;
  const char* device_class;
  const char* unit;
  std::string member;  // of the state and thresholds messages
};

std::vector<Sensor> Sensors(int cell_start) {
  std::vector<Sensor> sensors = {
      {battery_names::kGroupVoltage, "Group voltage", "voltage", "V", "group_voltage"},
      {battery_names::kGroupCurrent, "Group current", "current", "A", "group_current"},
      {battery_names::kTemperature, "Temperature", "temperature", "\u00b0C", "temperature"}};
  for (std::size_t cell = 0; cell < battery_link::kCellCount; ++cell) {
    const std::string number = std::to_string(cell);
    sensors.push_back(
        {battery2v_32::CellVariableName(cell),
         "Cell " + std::to_string(battery2v_32::CellDisplayNumber(cell_start, cell)) + " voltage",
         "voltage", "V", "cells[" + number + "]"});
  }
  return sensors;
}

// What discovery allows in a node id.
std::string NodeId(const std::string& client_id) {
  std::string node = client_id;
  std::replace_if(
      node.begin(), node.end(),
      [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_' && c != '-';
      },
      '_');
  return node;
}

Json::Value About(const DiscoveredDevice& device, const std::string& node) {
  Json::Value about(Json::objectValue);
  about["identifiers"].append(node + "_" + std::to_string(device.data_id));
  about["name"] = device.name;
  about["model"] = "battery2v_32 (32 cells of 2 V)";
  about["manufacturer"] = "battery2v_32";
  about["sw_version"] = std::string(kHostVersion);
  if (!device.configuration_url.empty()) about["configuration_url"] = device.configuration_url;
  return about;
}

Json::Value Origin() {
  Json::Value origin(Json::objectValue);
  origin["name"] = "battery-host";
  origin["sw_version"] = std::string(kHostVersion);
  return origin;
}

Json::Value Availability(const DiscoveredDevice& device, const Sensor& sensor) {
  Json::Value availability(Json::arrayValue);
  availability.append(Json::Value(Json::objectValue))["topic"] = device.host_status_topic;
  availability.append(Json::Value(Json::objectValue))["topic"] = device.topic + "availability";
  if (sensor.variable == battery_names::kGroupVoltage) {
    Json::Value& measured = availability.append(Json::Value(Json::objectValue));
    measured["topic"] = device.topic + "state";
    measured["value_template"] =
        "{{ 'offline' if value_json.group_voltage is none else 'online' }}";
  }
  return availability;
}

// What every entity of the device carries.
Json::Value Entity(const DiscoveredDevice& device, const Sensor& sensor, const std::string& id) {
  Json::Value config(Json::objectValue);
  config["unique_id"] = id;
  config["object_id"] = id;
  config["availability"] = Availability(device, sensor);
  config["availability_mode"] = "all";
  return config;
}

Json::Value ValueConfig(const DiscoveredDevice& device, const Sensor& sensor,
                        const std::string& id) {
  Json::Value config = Entity(device, sensor, id);
  config["name"] = sensor.name;
  config["state_topic"] = device.topic + "state";
  config["value_template"] = "{{ value_json." + sensor.member + " }}";
  config["device_class"] = sensor.device_class;
  config["unit_of_measurement"] = sensor.unit;
  config["state_class"] = "measurement";
  config["expire_after"] = static_cast<Json::Int64>(device.expire_after.count());
  return config;
}

Json::Value LimitConfig(const DiscoveredDevice& device, const Sensor& sensor,
                        const std::string& id) {
  Json::Value config = Entity(device, sensor, id);
  config["name"] = sensor.name + " limit";
  config["state_topic"] = device.topic + "thresholds";
  config["value_template"] =
      "{{ 'OFF' if value_json." + sensor.member + " == 'normal' else 'ON' }}";
  config["device_class"] = "problem";
  return config;
}

}  // namespace

std::vector<MqttMessage> DiscoveryMessages(const MqttSettings& settings,
                                           const DiscoveredDevice& device) {
  const std::string node = NodeId(settings.client_id);
  const std::string id = std::to_string(device.data_id);
  const std::string base = settings.homeassistant.prefix + "/";
  const Json::Value about = About(device, node);
  const Json::Value origin = Origin();
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  std::vector<MqttMessage> messages;
  const auto add = [&](const char* component, const std::string& object, Json::Value config) {
    config["device"] = about;
    config["origin"] = origin;
    messages.push_back({base + component + "/" + node + "/" + object + "/config",
                        Json::writeString(writer, config)});
  };
  for (const Sensor& sensor : Sensors(device.cell_start)) {
    const std::string object = id + "_" + sensor.variable;
    add("sensor", object, ValueConfig(device, sensor, node + "_" + object));
    if (device.thresholds == nullptr || device.thresholds->LimitFor(sensor.variable) == nullptr) {
      continue;
    }
    add("binary_sensor", object + "_limit",
        LimitConfig(device, sensor, node + "_" + object + "_limit"));
  }
  return messages;
}

std::string DiscoveryFilter(const MqttSettings& settings) {
  return settings.homeassistant.prefix + "/+/" + NodeId(settings.client_id) + "/+/config";
}
