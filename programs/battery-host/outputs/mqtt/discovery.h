#pragma once

// Home Assistant's MQTT discovery: one retained config message per value of a
// device (the group voltage, current and temperature and the 32 cells), each
// a sensor reading its value from the device's `state` topic, and one
// binary_sensor (device class "problem") per value with a threshold limit,
// ON while the value is past it, read from the device's `thresholds` topic.
//
// Every entity is available while both the host's status topic and the
// device's availability topic say `online` (availability_mode "all"): the
// host says `offline` on the device's topic once it reports the device
// silent, before `expire_after` runs out. The group voltage is also
// unavailable while the state says null for it (no measurement: a peer's
// value was missing), rather than graphed as 0.
//
//   TOPIC: homeassistant/sensor/NODE/1001_battery_0_value/config
//   {"availability":[{"topic":"battery/ctl1/status"},
//     {"topic":"battery/ctl1/1001/availability"}],"availability_mode":"all",
//    "device":{"configuration_url":"http://ctl1:8080/","identifiers":["NODE_1001"],
//     "name":"Battery monitor 1001","sw_version":"1.0.0",...},
//    "device_class":"voltage","expire_after":3,"name":"Cell 1 voltage",
//    "object_id":"NODE_1001_battery_0_value","origin":{"name":"battery-host",
//     "sw_version":"1.0.0"},"state_class":"measurement",
//    "state_topic":"battery/ctl1/1001/state","unique_id":"NODE_1001_battery_0_value",
//    "unit_of_measurement":"V","value_template":"{{ value_json.cells[0] }}"}
//   TOPIC: homeassistant/binary_sensor/NODE/1001_battery_0_value_limit/config
//   {...,"device_class":"problem","name":"Cell 1 voltage limit",
//    "state_topic":"battery/ctl1/1001/thresholds",
//    "value_template":"{{ 'OFF' if value_json.cells[0] == 'normal' else 'ON' }}"}
//
// Cells are named with the plug-in's display numbers (battery_start + 1 on),
// their ids with the variable name. NODE is the client id with every
// character other than letters, digits, '_' and '-' made '_'; `object_id`
// (the entity id Home Assistant makes) is unique across controllers, as
// `unique_id` is.

#include <chrono>
#include <string>
#include <vector>

#include "programs/battery-host/config/mqtt_config.h"
#include "programs/battery-host/state/threshold_monitor.h"

struct MqttMessage {
  std::string topic;
  std::string payload;
};

struct DiscoveredDevice {
  unsigned int data_id = 0;
  std::string name;
  int cell_start = 0;
  std::string topic;  // "PREFIX/DATA_ID/": state, availability and thresholds under it
  std::string host_status_topic;
  std::chrono::seconds expire_after{0};
  const ThresholdMonitor* thresholds = nullptr;  // which values have a limit
  std::string configuration_url;                 // empty: none
};

// The config messages of every value of the device.
std::vector<MqttMessage> DiscoveryMessages(const MqttSettings& settings,
                                           const DiscoveredDevice& device);

// The topic filter of every config message this host's client id may have
// left retained.
std::string DiscoveryFilter(const MqttSettings& settings);
