#pragma once

// What happens in a run that the outputs hear of, as it happens: a device's
// record, a threshold crossing, a device that stops or starts answering, a
// port that goes down or comes back. Each output (the JSON lines, an
// upstream) is a RunEvents; RunEventFanOut hands every event to all of them
// in the order they were added. Outputs that only show the current state read
// DeviceState instead.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "programs/battery-host/state/device_state.h"
#include "programs/battery-host/state/host_record.h"

// Status events of a device and of a port.
inline constexpr const char* kDeviceSilent = "silent";
inline constexpr const char* kDeviceAnswering = "answering";
inline constexpr const char* kPortDown = "port_down";
inline constexpr const char* kPortUp = "port_up";
// Status events of the connection to the MQTT broker.
inline constexpr const char* kBrokerDown = "broker_down";
inline constexpr const char* kBrokerUp = "broker_up";
// Records that left a device's history before the broker acknowledged them.
inline constexpr const char* kRecordsLost = "records_lost";

// The history sequence numbers `first` to `last` of a device were lost;
// `lost_in_run` counts every record the device lost since the host started.
struct LostRecords {
  unsigned int data_id;
  std::uint64_t first;
  std::uint64_t last;
  std::uint64_t lost_in_run;
  std::uint64_t ring_id;  // of the history ring the sequence numbers are of
  std::uint64_t Count() const { return last - first + 1; }
};

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
  // The cycle's own record, at the end of each completed cycle, after it was
  // written to the device's history.
  virtual void Record(const DeviceState& device, const HostRecord& record) = 0;
  virtual void Threshold(const DeviceState& device, const ThresholdEvent& crossing) = 0;
  // kDeviceSilent or kDeviceAnswering.
  virtual void DeviceEvent(const DeviceState& device, const char* event) = 0;
  // kPortDown (with the reason) or kPortUp.
  virtual void PortEvent(const std::string& port, const char* event, const std::string& reason) = 0;
  // kBrokerDown (with the reason) or kBrokerUp; `broker` is "mqtt://HOST:PORT".
  // Only the outputs that show status events hear of it.
  virtual void BrokerEvent(const std::string& /*broker*/, const char* /*event*/,
                           const std::string& /*reason*/) {}
  // kRecordsLost, once per outage of the broker.
  virtual void RecordsLost(const LostRecords& /*lost*/) {}
};

class RunEventFanOut final : public RunEvents {
 public:
  void Add(RunEvents& events) { outputs_.push_back(&events); }
  void Remove(const RunEvents& events) {
    outputs_.erase(std::remove(outputs_.begin(), outputs_.end(), &events), outputs_.end());
  }

  void Record(const DeviceState& device, const HostRecord& record) override {
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
  void BrokerEvent(const std::string& broker, const char* event,
                   const std::string& reason) override {
    for (RunEvents* output : outputs_) output->BrokerEvent(broker, event, reason);
  }
  void RecordsLost(const LostRecords& lost) override {
    for (RunEvents* output : outputs_) output->RecordsLost(lost);
  }

 private:
  std::vector<RunEvents*> outputs_;
};
