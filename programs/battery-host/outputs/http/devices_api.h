#pragma once

// GET /api/v1/devices: every device as the status page shows it, in the
// order of the configuration, as one JSON object (members in key order, as
// every JSON line of the host):
//
//   {"devices":[{"answer_timeout_ms":45.5,"cycles_completed":57,"cycles_given_up":0,
//     "cycles_started":58,"data_id":1001,"first_cell":1,
//     "latency_ms":{"p50":5.1,"p90":5.2,"p99":5.6,"samples":64},"name":"Battery monitor 1001",
//     "port":"sim#1001","port_down_events":0,"port_up":true,"probed":false,
//     "record":{"cells":[2.231,...],"data_id":1001,...,"type":"record"},
//     "record_age_s":0.123,"silent_events":0,"stale_bytes":0,"status":"live",
//     "thresholds":{"cells":["normal",...],"group_current":"normal",
//                   "group_voltage":"high","temperature":"normal"}}],
//    "refresh_ms":200,"time":"2026-03-01T12:00:05.123+01:00"}
//
// "first_cell" is the number the plug-in shows for cells[0] (battery_start
// + 1; cells[i] is first_cell + i), "name" the configured name.
// "record" is the device's newest record of this run, as its record line
// carries it (null before the first), "record_age_s" its age (null likewise);
// "status" is "live", "stale" or "silent" (FreshnessOf); "thresholds" says
// where each value stands against its limit; "refresh_ms" how often the page
// asks again. "answer_timeout_ms" is how long the device's cell request waits
// for its answer now, "latency_ms" the latency its last answers showed (null
// before the first), "probed" whether it is taken for dead and probed.

#include <chrono>
#include <string>
#include <vector>

#include "programs/battery-host/outputs/json_output.h"
#include "programs/battery-host/state/device_state.h"

class DevicesApi {
 public:
  explicit DevicesApi(std::chrono::milliseconds refresh) : refresh_(refresh) {}

  // The object, into `out`.
  void Write(const std::vector<DeviceStatus>& devices, DeviceState::Clock::time_point now,
             std::string& out);

 private:
  void Device(const DeviceStatus& device, DeviceState::Clock::time_point now);
  void AnswerTimingMembers(const AnswerTiming& timing);

  std::chrono::milliseconds refresh_;
  // Kept: their buffers are reused from request to request.
  JsonLine line_, record_, thresholds_, latency_;
  std::string list_, cells_;
};
