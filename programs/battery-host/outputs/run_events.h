#pragma once

// What happens in a run that the outputs hear of, as it happens: a device's
// record, a threshold crossing, a device that stops or starts answering, a
// port that goes down or comes back. Each output (the JSON lines, an
// upstream) is a RunEvents; RunEventFanOut hands every event to all of them
// in the order they were added. Outputs that only show the current state read
// DeviceState instead.

#include <string>
#include <vector>

#include "battery/record.h"
#include "programs/battery-host/state/device_state.h"

// Status events of a device and of a port.
inline constexpr const char* kDeviceSilent = "silent";
inline constexpr const char* kDeviceAnswering = "answering";
inline constexpr const char* kPortDown = "port_down";
inline constexpr const char* kPortUp = "port_up";

struct ThresholdEvent {
  const std::string& name;
  const std::string& display_name;
  float value;
  float limit;
  const char* state;  // "high", "low" or "normal" (the return)
  int level;          // the limit's level; 0 for a return
};

class RunEvents {
 public:
  virtual ~RunEvents() = default;
  // The cycle's own record, at the end of each completed cycle.
  virtual void Record(const DeviceState& device, const Battery32_Data_t& record) = 0;
  virtual void Threshold(const DeviceState& device, const ThresholdEvent& crossing) = 0;
  // kDeviceSilent or kDeviceAnswering.
  virtual void DeviceEvent(const DeviceState& device, const char* event) = 0;
  // kPortDown (with the reason) or kPortUp.
  virtual void PortEvent(const std::string& port, const char* event, const std::string& reason) = 0;
};

class RunEventFanOut final : public RunEvents {
 public:
  void Add(RunEvents& events) { outputs_.push_back(&events); }

  void Record(const DeviceState& device, const Battery32_Data_t& record) override {
    for (RunEvents* output : outputs_) output->Record(device, record);
  }
  void Threshold(const DeviceState& device, const ThresholdEvent& crossing) override {
    for (RunEvents* output : outputs_) output->Threshold(device, crossing);
  }
  void DeviceEvent(const DeviceState& device, const char* event) override {
    for (RunEvents* output : outputs_) output->DeviceEvent(device, event);
  }
  void PortEvent(const std::string& port, const char* event, const std::string& reason) override {
    for (RunEvents* output : outputs_) output->PortEvent(port, event, reason);
  }

 private:
  std::vector<RunEvents*> outputs_;
};
