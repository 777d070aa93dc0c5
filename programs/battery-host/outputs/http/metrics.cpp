#include "programs/battery-host/outputs/http/metrics.h"

#include <charconv>
#include <cmath>
#include <initializer_list>
#include <set>
#include <string_view>
#include <utility>

#include "battery/record.h"
#include "battery/variable_names.h"
#include "battery2v_32/cell_name.h"
#include "programs/battery-host/state/threshold_monitor.h"
#include "programs/battery-host/version.h"

namespace {

using Clock = DeviceState::Clock;

// The text format's forms of values that are not finite.
template <typename Number>
void AppendValue(std::string& out, Number value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
  } else {
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
  }
}

// Inside a label value: backslash, double quote and line feed are escaped.
void AppendLabelValue(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string_view("\\n") : std::string_view(&c, 1);
  }
}

void Header(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(1, ' ').append(help).append(1, '\n');
  out.append("# TYPE ").append(name).append(1, ' ').append(type).append(1, '\n');
}

using Labels = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// One sample of a device: name{data_id="ID"[,key="label"...]} value
class DeviceSamples {
 public:
  DeviceSamples(std::string& out, std::string_view name, unsigned data_id)
      : out_(out), name_(name), data_id_(std::to_string(data_id)) {}

  template <typename Number>
  void Add(Number value, Labels labels = {}) {
    out_.append(name_).append("{data_id=\"").append(data_id_).append(1, '"');
    for (const auto& [key, label] : labels) {
      out_.append(1, ',').append(key).append("=\"");
      AppendLabelValue(out_, label);
      out_ += '"';
    }
    out_ += "} ";
    AppendValue(out_, value);
    out_ += '\n';
  }

 private:
  std::string& out_;
  std::string_view name_;
  std::string data_id_;
};

using battery_record::Load;

// Cells are labelled with the number the plug-in shows and their variable name.
void Cells(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  if (!device.state->newest) return;
  for (std::size_t i = 0; i < battery_link::kCellCount; ++i) {
    samples.Add(battery_record::CellVoltage(device.state->newest->data, i),
                {{"cell", std::to_string(battery2v_32::CellDisplayNumber(device.cell_start, i))},
                 {"variable", battery2v_32::CellVariableName(i)}});
  }
}

// Every variable checked against a limit, in the order of the API.
const std::vector<std::string>& Variables() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> built = {battery_names::kGroupVoltage, battery_names::kGroupCurrent,
                                      battery_names::kTemperature};
    for (std::size_t i = 0; i < battery_link::kCellCount; ++i) {
      built.push_back(battery2v_32::CellVariableName(i));
    }
    return built;
  }();
  return names;
}

// Variables without a limit have no sample.
void ThresholdStateSamples(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  for (const std::string& variable : Variables()) {
    if (device.limits->LimitFor(variable) == nullptr) continue;
    const ThresholdState* state = device.thresholds->Find(variable);
    samples.Add(state != nullptr && *state != ThresholdState::kNormal ? 1 : 0,
                {{"variable", variable}});
  }
}

void ThresholdLimits(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  for (const std::string& variable : Variables()) {
    const ThresholdLimit* limit = device.limits->LimitFor(variable);
    if (limit == nullptr) continue;
    if (limit->high) samples.Add(*limit->high, {{"variable", variable}, {"bound", "high"}});
    if (limit->low) samples.Add(*limit->low, {{"variable", variable}, {"bound", "low"}});
  }
}

void Silent(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  samples.Add(device.state->silent ? 1 : 0);
}

void SilentEvents(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  samples.Add(device.state->silent_events);
}

void PortDownEvents(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  samples.Add(device.state->port_down_events);
}

void Info(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  samples.Add(1, {{"name", *device.name},
                  {"port", *device.port},
                  {"address", std::to_string(device.address)}});
}

template <std::size_t kOffset>
void RecordValue(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  if (device.state->newest) samples.Add(Load<float>(device.state->newest->data, kOffset));
}

// A group voltage that is no measurement (a peer's was missing) has no sample.
void GroupVoltage(const DeviceStatus& device, Clock::time_point now, DeviceSamples& samples) {
  if (device.state->newest && device.state->newest->context.group_voltage_valid) {
    RecordValue<battery_record::kGroupVoltageOffset>(device, now, samples);
  }
}

void RecordAge(const DeviceStatus& device, Clock::time_point now, DeviceSamples& samples) {
  if (!device.state->newest) return;
  samples.Add(std::chrono::duration<double>(now - device.state->newest_at).count());
}

void Cycles(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  samples.Add(device.state->completed, {{"outcome", "completed"}});
  samples.Add(device.given_up, {{"outcome", "given_up"}});
}

void StaleBytes(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  samples.Add(device.stale_bytes);
}

void AnswerTimeout(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  samples.Add(std::chrono::duration<double>(device.timing.answer_timeout).count());
}

void AnswerLatency(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  const AnswerTiming& timing = device.timing;
  if (timing.latency_samples == 0) return;
  const std::pair<const char*, std::chrono::microseconds> percentiles[] = {
      {"50", timing.latency_p50}, {"90", timing.latency_p90}, {"99", timing.latency_p99}};
  for (const auto& [percentile, latency] : percentiles) {
    samples.Add(std::chrono::duration<double>(latency).count(), {{"percentile", percentile}});
  }
}

void Probed(const DeviceStatus& device, Clock::time_point, DeviceSamples& samples) {
  samples.Add(device.timing.probed ? 1 : 0);
}

struct DeviceFamily {
  std::string_view name;
  std::string_view type;
  std::string_view help;
  void (*samples)(const DeviceStatus& device, Clock::time_point now, DeviceSamples& samples);
};

constexpr DeviceFamily kDeviceFamilies[] = {
    {"battery_cell_voltage_volts", "gauge",
     "Cell voltage of the newest record, by data id and cell (numbered as the plug-in shows "
     "them, from battery_start + 1).",
     Cells},
    {"battery_group_voltage_volts", "gauge",
     "Group voltage of the newest record; no sample while it is no measurement.", GroupVoltage},
    {"battery_group_current_amperes", "gauge", "Group current of the newest record.",
     RecordValue<battery_record::kGroupCurrentOffset>},
    {"battery_temperature_celsius", "gauge", "Temperature of the newest record.",
     RecordValue<battery_record::kTemperatureOffset>},
    {"battery_record_age_seconds", "gauge", "Time since the newest record came.", RecordAge},
    {"battery_cycles_total", "counter",
     "Polling cycles that completed with a record, or were given up.", Cycles},
    {"battery_stale_bytes_total", "counter",
     "Bytes dropped on the device's line while its request waited for a quiet line.", StaleBytes},
    {"battery_answer_timeout_seconds", "gauge",
     "How long the device's cell request waits for its answer before it is re-sent.",
     AnswerTimeout},
    {"battery_answer_latency_seconds", "gauge",
     "Time from a request's last byte to its answer's first byte, by percentile over the "
     "device's last answers.",
     AnswerLatency},
    {"battery_device_probed", "gauge",
     "1 while the device is taken for dead: probed with one request a turn, further apart.",
     Probed},
    {"battery_threshold_state", "gauge",
     "1 while the variable is past its threshold limit, 0 while inside it.", ThresholdStateSamples},
    {"battery_threshold_limit", "gauge", "The variable's configured threshold limit.",
     ThresholdLimits},
    {"battery_device_silent", "gauge",
     "1 while the device has completed no cycle for silent_after_periods poll periods.", Silent},
    {"battery_silent_events_total", "counter", "Times the device became silent.", SilentEvents},
    {"battery_port_down_events_total", "counter", "Times the device's port went down.",
     PortDownEvents},
    {"battery_device_info", "gauge", "The device's configured name, port and address.", Info},
};

}  // namespace

void Metrics::AddHostGauge(std::string name, std::string help, Value value) {
  host_values_.push_back({std::move(name), std::move(help), std::move(value), "gauge"});
}

void Metrics::AddHostCounter(std::string name, std::string help, Value value) {
  host_values_.push_back({std::move(name), std::move(help), std::move(value), "counter"});
}

void Metrics::AddDeviceGauge(std::string name, std::string help, DeviceValue value) {
  device_gauges_.push_back({std::move(name), std::move(help), std::move(value)});
}

void Metrics::Write(const std::vector<DeviceStatus>& devices, Clock::time_point now,
                    std::string& out) const {
  out.clear();
  for (const DeviceFamily& family : kDeviceFamilies) {
    Header(out, family.name, family.type, family.help);
    for (const DeviceStatus& device : devices) {
      DeviceSamples samples(out, family.name, device.state->data_id);
      family.samples(device, now, samples);
    }
  }
  // Ports that several devices share are one sample.
  Header(out, "battery_port_up", "gauge", "1 while the port is open, 0 while it is down.");
  std::set<std::string_view> ports;
  for (const DeviceStatus& device : devices) {
    if (!ports.insert(*device.port).second) continue;
    out += "battery_port_up{port=\"";
    AppendLabelValue(out, *device.port);
    out += "\"} ";
    out += device.port_up ? '1' : '0';
    out += '\n';
  }
  for (const DeviceGauge& gauge : device_gauges_) {
    Header(out, gauge.name, "gauge", gauge.help);
    for (const DeviceStatus& device : devices) {
      if (const auto value = gauge.value(*device.state)) {
        DeviceSamples(out, gauge.name, device.state->data_id).Add(*value);
      }
    }
  }
  Header(out, "battery_build_info", "gauge", "The host's version.");
  out.append("battery_build_info{version=\"").append(kHostVersion).append("\"} 1\n");
  for (const HostValue& gauge : host_values_) {
    Header(out, gauge.name, gauge.type, gauge.help);
    out.append(gauge.name).append(1, ' ');
    AppendValue(out, gauge.value());
    out += '\n';
  }
}
