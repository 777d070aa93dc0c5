#pragma once

// GET /metrics: the Prometheus text exposition format (version 0.0.4). Each
// family has its HELP and TYPE lines, then one sample per device (per cell,
// per outcome, per port); names carry their unit, counters end in _total:
//
//   battery_cell_voltage_volts{data_id="1001",cell="1",variable="battery_0_value"} 2.231
//   battery_group_voltage_volts{data_id="1001"} 71.23
//   battery_group_current_amperes{data_id="1001"} 3.52
//   battery_temperature_celsius{data_id="1001"} 24.6
//   battery_record_age_seconds{data_id="1001"} 0.123
//   battery_cycles_total{data_id="1001",outcome="completed"} 57
//   battery_cycles_total{data_id="1001",outcome="given_up"} 0
//   battery_stale_bytes_total{data_id="1001"} 0
//   battery_threshold_state{data_id="1001",variable="group_voltage"} 0
//   battery_threshold_limit{data_id="1001",variable="group_voltage",bound="high"} 75
//   battery_device_silent{data_id="1001"} 0
//   battery_silent_events_total{data_id="1001"} 0
//   battery_port_down_events_total{data_id="1001"} 0
//   battery_device_info{data_id="1001",name="Battery monitor 1001",port="sim#1001",address="129"} 1
//   battery_port_up{port="/dev/ttyUSB0"} 1
//   battery_build_info{version="1.0.0"} 1
//
// Cells are numbered as the plug-in shows them (battery_start + 1 on); the
// threshold families have a sample for each variable with a limit.
//
// The values of the newest record are written as the record line writes
// them (the shortest text of the float); a device without a record of this
// run has no record samples. Other parts of the host add gauges of their own
// (AddDeviceGauge, AddHostGauge), written after the families above.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "programs/battery-host/state/device_state.h"

class Metrics {
 public:
  using Value = std::function<double()>;

  // A gauge of the host as a whole, without labels: `name` after the
  // conventions above (e.g. "battery_mqtt_connected"), `help` one line.
  void AddHostGauge(std::string name, std::string help, Value value);
  // The same for a counter, whose name ends in _total.
  void AddHostCounter(std::string name, std::string help, Value value);
  // A gauge with one sample per device, labelled with its data id; a device
  // for which `value` has nothing has no sample.
  using DeviceValue = std::function<std::optional<double>(const DeviceState& device)>;
  void AddDeviceGauge(std::string name, std::string help, DeviceValue value);

  // The exposition, into `out`.
  void Write(const std::vector<DeviceStatus>& devices, DeviceState::Clock::time_point now,
             std::string& out) const;

 private:
  struct HostValue {
    std::string name;
    std::string help;
    Value value;
    const char* type;
  };
  struct DeviceGauge {
    std::string name;
    std::string help;
    DeviceValue value;
  };
  std::vector<HostValue> host_values_;
  std::vector<DeviceGauge> device_gauges_;
};
