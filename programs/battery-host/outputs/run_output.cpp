#include "programs/battery-host/outputs/run_output.h"

#include "programs/battery-host/text_format.h"

RunOutput::RunOutput(StandardOutput& out, Failed failed)
    : out_(out), writer_(out.Stream()), failed_(std::move(failed)) {}

void RunOutput::Record(const DeviceState&, const Battery32_Data_t& record) {
  RecordLine(record, line_);
  Write();
}

void RunOutput::Threshold(const DeviceState& device, const ThresholdEvent& crossing) {
  line_.String("type", "threshold")
      .Integer("data_id", device.data_id)
      .String("name", crossing.name)
      .String("display_name", crossing.display_name)
      .Number("value", crossing.value)
      .Number("limit", crossing.limit)
      .String("state", crossing.state)
      .Integer("level", crossing.level);
  Write();
}

void RunOutput::DeviceEvent(const DeviceState& device, const char* event) {
  const std::string time = host_text::Now();
  line_.String("type", "status").Integer("data_id", device.data_id).String("event", event);
  line_.String("time", time);
  Write();
}

void RunOutput::PortEvent(const std::string& port, const char* event, const std::string& reason) {
  const std::string time = host_text::Now();
  line_.String("type", "status").String("port", port).String("event", event);
  if (!reason.empty()) line_.String("reason", reason);
  line_.String("time", time);
  Write();
}

void RunOutput::Summary(const DeviceStatus& device) {
  const DeviceState& state = *device.state;
  line_.String("type", "summary")
      .Integer("data_id", state.data_id)
      .Integer("cycles_started", state.started)
      .Integer("cycles_completed", state.completed)
      .Integer("cycles_given_up", device.given_up)
      .Integer("stale_bytes", static_cast<long long>(device.stale_bytes))
      .Integer("silent_events", state.silent_events)
      .Integer("port_down_events", state.port_down_events);
  Write();
}

void RunOutput::Write() {
  if (broken_) {
    line_.Finish();  // dropped: the line is emptied for the next one
    return;
  }
  if (writer_.Write(line_)) return;
  broken_ = true;
  failed_(out_.Failure());
}
