#pragma once

// The JSON lines of `battery-host run` on standard output: each record
// (unless the configuration's output.records is false), each threshold
// crossing, each status event and, at the end, a summary per device (and one
// of the host when lines were dropped). The first write that
// fails is reported once, with its reason, and nothing more is written: the
// run then ends with an error. Lines a slow reader could not take in time are
// dropped whole (StandardOutput); standard error says when that starts and
// when the reader keeps up again, and an `output_dropped` status line then
// counts them:
//
//   {"count":310,"dropped_in_run":310,"event":"output_dropped","time":"...","type":"status"}
//   {"output_dropped":310,"type":"summary"}
//
//   {"data_id":1001,"event":"silent","time":"2026-03-01T12:00:05.123+01:00","type":"status"}
//   {"event":"port_down","port":"/dev/ttyUSB0","reason":"open: No such file or directory",
//    "time":"...","type":"status"}
//   {"broker":"mqtt://broker:1883","event":"broker_down","reason":"...","time":"...",
//    "type":"status"}
//   {"count":12,"data_id":1001,"event":"records_lost","first_seq":345,"last_seq":356,
//    "lost_in_run":12,"time":"...","type":"status"}

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "battery/record.h"
#include "programs/battery-host/outputs/json_output.h"
#include "programs/battery-host/outputs/run_events.h"
#include "programs/battery-host/outputs/standard_output.h"
#include "programs/battery-host/state/device_state.h"

// The members of the threshold and status lines, for every output that
// writes them: "type", "data_id" (or `key`: "port", "broker"), the event's
// own, "reason" when there is one, and "time" (now) for status events.
void ThresholdLine(const DeviceState& device, const ThresholdEvent& crossing, JsonLine& line);
// Where each variable stands against its limit, as members of `line`:
// "cells" (an array, in cell order, made in `cells`), "group_voltage",
// "group_current", "temperature", each "normal", "high" or "low".
void ThresholdMembers(const ThresholdStates& states, std::string& cells, JsonLine& line);
void DeviceEventLine(const DeviceState& device, const char* event, JsonLine& line);
// The device's counters, as the summary line and the devices API show them.
void DeviceCounters(const DeviceStatus& device, JsonLine& line);
void RecordsLostLine(const LostRecords& lost, JsonLine& line);
void StatusLine(std::string_view key, const std::string& subject, const char* event,
                const std::string& reason, JsonLine& line);

// Status events of standard output itself.
inline constexpr const char* kOutputDropped = "output_dropped";

class RunOutput final : public RunEvents, private StandardOutput::Listener {
 public:
  using Failed = std::function<void(const std::string& reason)>;

  // Takes over standard output (StandardOutput); says on `err` when lines
  // are dropped. Throws std::runtime_error when standard output is closed.
  RunOutput(boost::asio::io_context& io, std::ostream& err, Failed failed);

  // Whether each record is a line of its own (output.records); the other
  // lines are written either way. Takes effect from the next record.
  void SetRecords(bool on) { records_ = on; }
  void Record(const DeviceState& device, const HostRecord& record) override;
  void Threshold(const DeviceState& device, const ThresholdEvent& crossing) override;
  void DeviceEvent(const DeviceState& device, const char* event) override;
  void PortEvent(const std::string& port, const char* event, const std::string& reason) override;
  void BrokerEvent(const std::string& broker, const char* event,
                   const std::string& reason) override;
  void RecordsLost(const LostRecords& lost) override;
  void Summary(const DeviceStatus& device);
  // The host's own summary line, when lines were dropped.
  void HostSummary();
  // After the event loop: what is queued, to a reader that takes it within `limit`.
  void Finish(std::chrono::milliseconds limit);

  std::uint64_t Dropped() const { return out_.Dropped(); }

 private:
  void Write();
  void OutputFailed(const std::string& reason) override;
  void OutputDropping() override;
  void OutputCaughtUp(std::uint64_t dropped, std::uint64_t dropped_in_run) override;

  std::ostream& err_;
  Failed failed_;
  StandardOutput out_;
  JsonLine line_;  // kept: its buffers are reused from line to line
  bool records_ = true;
};
