#include "programs/battery-host/outputs/run_output.h"

#include <ostream>

#include "programs/battery-host/state/history_ring.h"
#include "programs/battery-host/support/error_log.h"
#include "programs/battery-host/support/text_format.h"

RunOutput::RunOutput(boost::asio::io_context& io, std::ostream& err, Failed failed)
    : err_(err), failed_(std::move(failed)), out_(io, *this) {}

void RunOutput::Record(const DeviceState&, const HostRecord& record) {
  if (!records_) return;
  RecordLine(record, line_);
  Write();
}

void ThresholdMembers(const ThresholdStates& states, std::string& cells, JsonLine& line) {
  cells = '[';
  for (const ThresholdState cell : states.cells) {
    if (cells.size() > 1) cells += ',';
    cells.append(1, '"').append(ThresholdStateName(cell)).append(1, '"');
  }
  cells += ']';
  line.Raw("cells", cells)
      .String("group_voltage", ThresholdStateName(states.group_voltage))
      .String("group_current", ThresholdStateName(states.group_current))
      .String("temperature", ThresholdStateName(states.temperature));
}

void ThresholdLine(const DeviceState& device, const ThresholdEvent& crossing, JsonLine& line) {
  line.String("type", "threshold")
      .Integer("data_id", device.data_id)
      .String("name", crossing.name)
      .String("display_name", crossing.display_name)
      .Number("value", crossing.value)
      .Number("limit", crossing.limit)
      .String("state", crossing.state)
      .Integer("level", crossing.level);
}

void DeviceEventLine(const DeviceState& device, const char* event, JsonLine& line) {
  const std::string time = host_text::Now();
  line.String("type", "status").Integer("data_id", device.data_id).String("event", event);
  line.String("time", time);
}

void StatusLine(std::string_view key, const std::string& subject, const char* event,
                const std::string& reason, JsonLine& line) {
  const std::string time = host_text::Now();
  line.String("type", "status").String(key, subject).String("event", event);
  if (!reason.empty()) line.String("reason", reason);
  line.String("time", time);
}

void RecordsLostLine(const LostRecords& lost, JsonLine& line) {
  const std::string time = host_text::Now();
  line.String("type", "status")
      .Integer("data_id", lost.data_id)
      .String("event", kRecordsLost)
      .String("ring", history_ring::RingIdText(lost.ring_id))
      .Integer("first_seq", static_cast<long long>(lost.first))
      .Integer("last_seq", static_cast<long long>(lost.last))
      .Integer("count", static_cast<long long>(lost.Count()))
      .Integer("lost_in_run", static_cast<long long>(lost.lost_in_run))
      .String("time", time);
}

void RunOutput::Threshold(const DeviceState& device, const ThresholdEvent& crossing) {
  ThresholdLine(device, crossing, line_);
  Write();
}

void RunOutput::DeviceEvent(const DeviceState& device, const char* event) {
  DeviceEventLine(device, event, line_);
  Write();
}

void RunOutput::PortEvent(const std::string& port, const char* event, const std::string& reason) {
  StatusLine("port", port, event, reason, line_);
  Write();
}

void RunOutput::BrokerEvent(const std::string& broker, const char* event,
                            const std::string& reason) {
  StatusLine("broker", broker, event, reason, line_);
  Write();
}

void RunOutput::RecordsLost(const LostRecords& lost) {
  RecordsLostLine(lost, line_);
  Write();
}

void DeviceCounters(const DeviceStatus& device, JsonLine& line) {
  const DeviceState& state = *device.state;
  line.Integer("data_id", state.data_id)
      .Integer("cycles_started", state.started)
      .Integer("cycles_completed", state.completed)
      .Integer("cycles_given_up", device.given_up)
      .Integer("stale_bytes", static_cast<long long>(device.stale_bytes))
      .Integer("silent_events", state.silent_events)
      .Integer("port_down_events", state.port_down_events);
}

void RunOutput::Summary(const DeviceStatus& device) {
  line_.String("type", "summary");
  DeviceCounters(device, line_);
  Write();
}

void RunOutput::HostSummary() {
  if (out_.Dropped() == 0) return;
  line_.String("type", "summary").Integer("output_dropped", static_cast<long long>(out_.Dropped()));
  Write();
}

// A line that is dropped or cannot be written is counted or said by the output.
void RunOutput::Write() {
  out_.Write(line_.Finish());
}

void RunOutput::Finish(std::chrono::milliseconds limit) {
  const std::size_t unwritten = out_.Finish(limit);
  if (unwritten == 0) return;
  err_ << error_log::Warning << "battery-host: standard output: " << unwritten
       << " lines not written at the stop: the reader did not take them within " << limit.count()
       << " ms" << std::endl;
}

void RunOutput::OutputFailed(const std::string& reason) {
  failed_(reason);
}

void RunOutput::OutputDropping() {
  err_ << error_log::Warning
       << "battery-host: standard output: the reader is not keeping up; lines are dropped whole "
          "and counted until it does"
       << std::endl;
}

void RunOutput::OutputCaughtUp(std::uint64_t dropped, std::uint64_t dropped_in_run) {
  err_ << "battery-host: standard output: the reader keeps up again; " << dropped
       << " lines were dropped (" << dropped_in_run << " in this run)" << std::endl;
  line_.String("type", "status")
      .String("event", kOutputDropped)
      .Integer("count", static_cast<long long>(dropped))
      .Integer("dropped_in_run", static_cast<long long>(dropped_in_run))
      .String("time", host_text::Now());
  Write();
}
