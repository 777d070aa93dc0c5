#pragma once

// Home Assistant's MQTT discovery: one retained config message per value of a
// device (the group voltage, current and temperature and the 32 cells), each
// a sensor reading its value from the device's `state` topic. A value whose
// state is not refreshed within `expire_after` shows as unavailable, and so
// does every value while the host's status topic says `offline`. The group
// voltage is also unavailable while the state says null for it (no
// measurement: a peer's value was missing), rather than graphed as 0.
//
//   TOPIC: homeassistant/sensor/NODE/1001_battery_0_value/config
//   {"availability":[{"topic":"battery/ctl1/status"}],"device":{...},
//    "device_class":"voltage","expire_after":3,"name":"Cell 1 voltage",
//    "state_class":"measurement","state_topic":"battery/ctl1/1001/state",
//    "unique_id":"NODE_1001_battery_0_value","unit_of_measurement":"V",
//    "value_template":"{{ value_json.cells[0] }}"}
//   the group voltage's: "availability":[{"topic":"battery/ctl1/status"},
//    {"topic":"battery/ctl1/1001/state","value_template":"{{ 'offline' if
//    value_json.group_voltage is none else 'online' }}"}],"availability_mode":"all"
//
// NODE is the client id with every character other than letters, digits,
// '_' and '-' made '_'.

#include <chrono>
#include <string>
#include <vector>

#include "programs/battery-host/config/mqtt_config.h"

struct MqttMessage {
  std::string topic;
  std::string payload;
};

struct DiscoveredDevice {
  unsigned int data_id = 0;
  std::string state_topic;
  std::string availability_topic;
  std::chrono::seconds expire_after{0};
};

// The config messages of every value of the device.
std::vector<MqttMessage> DiscoveryMessages(const MqttSettings& settings,
                                           const DiscoveredDevice& device);
