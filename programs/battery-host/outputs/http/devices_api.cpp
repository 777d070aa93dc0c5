#include "programs/battery-host/outputs/http/devices_api.h"

#include "battery2v_32/cell_name.h"
#include "programs/battery-host/outputs/run_output.h"
#include "programs/battery-host/support/text_format.h"

void DevicesApi::Write(const std::vector<DeviceStatus>& devices, DeviceState::Clock::time_point now,
                       std::string& out) {
  list_ = '[';
  for (const DeviceStatus& device : devices) {
    if (list_.size() > 1) list_ += ',';
    Device(device, now);
    list_ += line_.FinishObject();
  }
  list_ += ']';
  line_.Raw("devices", list_)
      .Integer("refresh_ms", refresh_.count())
      .String("time", host_text::Now());
  out = line_.Finish();
}

void DevicesApi::AnswerTimingMembers(const AnswerTiming& timing) {
  using Ms = std::chrono::duration<float, std::milli>;
  line_.Number("answer_timeout_ms", Ms(timing.answer_timeout).count())
      .Bool("probed", timing.probed);
  if (timing.latency_samples == 0) {
    line_.Null("latency_ms");
    return;
  }
  latency_.Number("p50", Ms(timing.latency_p50).count())
      .Number("p90", Ms(timing.latency_p90).count())
      .Number("p99", Ms(timing.latency_p99).count())
      .Integer("samples", static_cast<long long>(timing.latency_samples));
  line_.Raw("latency_ms", latency_.FinishObject());
}

void DevicesApi::Device(const DeviceStatus& device, DeviceState::Clock::time_point now) {
  const DeviceState& state = *device.state;
  ThresholdMembers(*device.thresholds, cells_, thresholds_);
  line_.Raw("thresholds", thresholds_.FinishObject());
  if (state.newest) {
    RecordLine(*state.newest, record_);
    line_.Raw("record", record_.FinishObject());
    const std::chrono::duration<float> age = now - state.newest_at;
    line_.Number("record_age_s", age.count());
  } else {
    line_.Null("record").Null("record_age_s");
  }
  AnswerTimingMembers(device.timing);
  line_.Integer("first_cell", battery2v_32::CellDisplayNumber(device.cell_start, 0))
      .String("name", *device.name)
      .String("port", *device.port)
      .Bool("port_up", device.port_up)
      .String("status", FreshnessName(FreshnessOf(state, now)));
  DeviceCounters(device, line_);
}
