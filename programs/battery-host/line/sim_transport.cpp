// A line to simulated monitors inside the host: what a device writes reaches
// the monitors' model directly, and their answers come back through the event
// loop after the monitor's latency, never from inside the write.

#include <algorithm>
#include <array>

#include "programs/battery-host/line/line_transport.h"
#include "programs/monitor-model/fault_table.h"
#include "programs/monitor-model/simulated_line.h"

namespace {

// The simulator's settings of a monitor: its defaults where the configuration says nothing.
monitor_sim::MonitorSettings ModelSettings(const SimMonitorSettings& sim) {
  monitor_sim::MonitorSettings model;
  model.address = sim.address;
  model.seed = sim.seed;
  model.cell_voltage = sim.cell_voltage.value_or(model.cell_voltage);
  model.group_voltage = sim.group_voltage.value_or(model.group_voltage);
  model.current = sim.current.value_or(model.current);
  model.temperature = sim.temperature.value_or(model.temperature);
  model.version = sim.version.value_or(model.version);
  if (sim.offset_current) model.current_encoding = monitor_sim::CurrentEncoding::kOffset;
  for (const monitor_sim::FaultKind& kind : monitor_sim::kFaultKinds) {
    const auto rate = sim.faults.find(kind.name);
    model.faults.*kind.rate = rate == sim.faults.end() ? 0.0 : rate->second;
  }
  model.latency = sim.latency.value_or(model.latency);
  model.late = sim.late.value_or(model.late);
  model.split_gap = sim.split_gap.value_or(model.split_gap);
  return model;
}

class SimTransport : public LineTransport {
 public:
  SimTransport(boost::asio::io_context& io, const std::vector<SimMonitorSettings>& monitors,
               bool echo, unsigned baud, LineListener& listener)
      : listener_(listener),
        line_(
            io, [this](const std::uint8_t* data, std::size_t size) { Deliver(data, size); }, echo,
            baud) {
    for (const auto& monitor : monitors) line_.AddMonitor(ModelSettings(monitor));
  }

  void Start() override { listener_.OnUp(); }
  bool IsUp() const override { return true; }
  // Simulated answers are delivered by the event loop as soon as they are due.
  void ReadPending() override {}
  void Write(const std::uint8_t* data, std::size_t size) override {
    line_.FromController(data, size);
  }

 private:
  void Deliver(const std::uint8_t* data, std::size_t size) {
    // The device may keep the chunk's bytes only for the call; hand it a copy it may change.
    std::copy_n(data, size, buffer_.begin());
    listener_.OnBytes(buffer_.data(), size);
  }

  LineListener& listener_;
  monitor_sim::SimulatedLine line_;
  std::array<std::uint8_t, monitor_sim::kMaxReplySize> buffer_{};
};

}  // namespace

std::unique_ptr<LineTransport> MakeSimTransport(boost::asio::io_context& io,
                                                const std::vector<SimMonitorSettings>& monitors,
                                                bool echo, unsigned baud, LineListener& listener) {
  return std::make_unique<SimTransport>(io, monitors, echo, baud, listener);
}
