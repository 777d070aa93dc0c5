#pragma once

// The whole state of a Battery2V32Probe, its host-side members included, as
// values that can be compared: a test takes one before a bad input, states
// what the input is documented to change, and compares with one taken after.

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "battery/record.h"
#include "tests/support/device_harness.h"

struct DeviceSnapshot {
  // Host members.
  unsigned int data_id = 0;
  std::int16_t cycle_status = 0;
  boost::posix_time::ptime last_update;
  bool data_ready = false;
  bool changed = false;
  std::vector<std::tuple<std::string, int, float>> batch_rules;
  std::vector<std::string> ao_names;
  std::map<std::string, float> ao_values;
  std::map<std::string, int> level_map;
  std::map<std::string, float> value_map;
  std::uint8_t device_address = 0;
  std::vector<unsigned char> held;  // the bytes held, rx_length_ of them
  std::uint32_t baud_rate = 0;
  // Battery.
  int cmd_type = 0;
  int version = 0;
  int dir = 0;
  int retry_count = 0;
  float group_voltage = 0;
  float group_current = 0;
  float temperature = 0;
  int battery_type = 0;
  float group_a = 0;
  float group_b = 0;
  float battery_adjust = 0;
  std::vector<int> active_batteries;
  std::vector<unsigned int> group_voltage_ids;
  bool group_voltage_valid = false;
  int battery_start = 0;
  int current_ratio = 0;
  int r_data_id = 0;
  std::string r_current_field;
  int save_interval = 0;
  float t0 = 0;
  float t31 = 0;
  // UniDataDevice and Battery2V32.
  std::vector<unsigned char> record;
  int b_mode = 0;
  std::map<std::string, std::string> alarm_desc;
  std::map<std::string, std::string> signal_names;
  std::array<float, 32> cells{};
  int cell_count = 0;

  static DeviceSnapshot Of(const Battery2V32Probe& d) {
    DeviceSnapshot s;
    s.data_id = d.DataId();
    s.cycle_status = d.cycle_status_;
    s.last_update = d.last_update_;
    s.data_ready = d.data_ready_;
    s.changed = d.changed_;
    for (const rule_value& rule : d.batch_rules_) {
      s.batch_rules.emplace_back(rule.variable, rule.level, rule.limit);
    }
    s.ao_names = d.ao_names_;
    s.ao_values = d.ao_values_;
    s.level_map = d.level_map_;
    s.value_map = d.value_map_;
    s.device_address = d.device_address_;
    s.held.assign(d.rx_buffer_.begin(), d.rx_buffer_.begin() + d.rx_length_);
    s.baud_rate = d.baud_rate_;
    s.cmd_type = d.cmd_type_;
    s.version = d.version_;
    s.dir = d.dir_;
    s.retry_count = d.retry_count_;
    s.group_voltage = d.group_voltage_;
    s.group_current = d.group_current_;
    s.temperature = d.temperature_;
    s.battery_type = d.battery_type_;
    s.group_a = d.group_a_;
    s.group_b = d.group_b_;
    s.battery_adjust = d.battery_adjust_;
    s.active_batteries = d.active_batteries_;
    s.group_voltage_ids = d.group_voltage_ids_;
    s.group_voltage_valid = d.group_voltage_valid_;
    s.battery_start = d.battery_start_;
    s.current_ratio = d.current_ratio_;
    s.r_data_id = d.r_data_id_;
    s.r_current_field = d.r_current_field_;
    s.save_interval = d.save_interval_;
    s.t0 = d.t0_;
    s.t31 = d.t31_;
    const unsigned char* bytes = battery_record::Bytes(d.data_);
    s.record.assign(bytes, bytes + battery_record::kSize);
    s.b_mode = d.b_mode_;
    s.alarm_desc = d.alarm_desc_;
    s.signal_names = d.signal_names_;
    s.cells = d.cells_;
    s.cell_count = d.cell_count_;
    return s;
  }
};

// Field by field, so that a failure names what changed.
inline void ExpectSameState(const DeviceSnapshot& expected, const DeviceSnapshot& actual) {
#define BATTERY_EXPECT_FIELD(field) EXPECT_EQ(expected.field, actual.field) << #field
  BATTERY_EXPECT_FIELD(data_id);
  BATTERY_EXPECT_FIELD(cycle_status);
  BATTERY_EXPECT_FIELD(last_update);
  BATTERY_EXPECT_FIELD(data_ready);
  BATTERY_EXPECT_FIELD(changed);
  BATTERY_EXPECT_FIELD(batch_rules);
  BATTERY_EXPECT_FIELD(ao_names);
  BATTERY_EXPECT_FIELD(ao_values);
  BATTERY_EXPECT_FIELD(level_map);
  BATTERY_EXPECT_FIELD(value_map);
  BATTERY_EXPECT_FIELD(device_address);
  BATTERY_EXPECT_FIELD(held);
  BATTERY_EXPECT_FIELD(baud_rate);
  BATTERY_EXPECT_FIELD(cmd_type);
  BATTERY_EXPECT_FIELD(version);
  BATTERY_EXPECT_FIELD(dir);
  BATTERY_EXPECT_FIELD(retry_count);
  BATTERY_EXPECT_FIELD(group_voltage);
  BATTERY_EXPECT_FIELD(group_current);
  BATTERY_EXPECT_FIELD(temperature);
  BATTERY_EXPECT_FIELD(battery_type);
  BATTERY_EXPECT_FIELD(group_a);
  BATTERY_EXPECT_FIELD(group_b);
  BATTERY_EXPECT_FIELD(battery_adjust);
  BATTERY_EXPECT_FIELD(active_batteries);
  BATTERY_EXPECT_FIELD(group_voltage_ids);
  BATTERY_EXPECT_FIELD(group_voltage_valid);
  BATTERY_EXPECT_FIELD(battery_start);
  BATTERY_EXPECT_FIELD(current_ratio);
  BATTERY_EXPECT_FIELD(r_data_id);
  BATTERY_EXPECT_FIELD(r_current_field);
  BATTERY_EXPECT_FIELD(save_interval);
  BATTERY_EXPECT_FIELD(t0);
  BATTERY_EXPECT_FIELD(t31);
  BATTERY_EXPECT_FIELD(record);
  BATTERY_EXPECT_FIELD(b_mode);
  BATTERY_EXPECT_FIELD(alarm_desc);
  BATTERY_EXPECT_FIELD(signal_names);
  BATTERY_EXPECT_FIELD(cells);
  BATTERY_EXPECT_FIELD(cell_count);
#undef BATTERY_EXPECT_FIELD
}
