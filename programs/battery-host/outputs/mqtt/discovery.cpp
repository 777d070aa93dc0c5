#include "programs/battery-host/outputs/mqtt/discovery.h"

#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <cctype>

#include "battery/link.h"
#include "battery/variable_names.h"
#include "battery2v_32/cell_name.h"

namespace {

struct Sensor {
  std::string variable;  // the device's variable name, as in threshold keys
  std::string name;
  const char* device_class;
  const char* unit;
  std::string member;  // of the state message
};

std::vector<Sensor> Sensors() {
  std::vector<Sensor> sensors = {
      {battery_names::kGroupVoltage, "Group voltage", "voltage", "V", "group_voltage"},
      {battery_names::kGroupCurrent, "Group current", "current", "A", "group_current"},
      {battery_names::kTemperature, "Temperature", "temperature", "\u00b0C", "temperature"}};
  for (std::size_t cell = 0; cell < battery_link::kCellCount; ++cell) {
    const std::string number = std::to_string(cell);
    sensors.push_back({std::string(battery2v_32::kCellNamePrefix) + number +
                           std::string(battery2v_32::kCellNameSuffix),
                       "Cell " + std::to_string(cell + 1) + " voltage", "voltage", "V",
                       "cells[" + number + "]"});
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

}  // namespace

std::vector<MqttMessage> DiscoveryMessages(const MqttSettings& settings,
                                           const DiscoveredDevice& device) {
  const std::string node = NodeId(settings.client_id);
  const std::string id = std::to_string(device.data_id);
  Json::Value about(Json::objectValue);
  about["identifiers"].append(node + "_" + id);
  about["name"] = "Battery monitor " + id;
  about["model"] = "battery2v_32 (32 cells of 2 V)";
  about["manufacturer"] = "battery2v_32";
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  std::vector<MqttMessage> messages;
  for (const Sensor& sensor : Sensors()) {
    Json::Value config(Json::objectValue);
    config["name"] = sensor.name;
    config["unique_id"] = node + "_" + id + "_" + sensor.variable;
    config["state_topic"] = device.state_topic;
    config["value_template"] = "{{ value_json." + sensor.member + " }}";
    config["device_class"] = sensor.device_class;
    config["unit_of_measurement"] = sensor.unit;
    config["state_class"] = "measurement";
    config["expire_after"] = static_cast<Json::Int64>(device.expire_after.count());
    Json::Value& availability = config["availability"];
    availability.append(Json::Value(Json::objectValue))["topic"] = device.availability_topic;
    if (sensor.variable == battery_names::kGroupVoltage) {
      Json::Value& measured = availability.append(Json::Value(Json::objectValue));
      measured["topic"] = device.state_topic;
      measured["value_template"] =
          "{{ 'offline' if value_json.group_voltage is none else 'online' }}";
      config["availability_mode"] = "all";
    }
    config["device"] = about;
    messages.push_back({settings.homeassistant.prefix + "/sensor/" + node + "/" + id + "_" +
                            sensor.variable + "/config",
                        Json::writeString(writer, config)});
  }
  return messages;
}
