// A line to simulated monitors inside the host: what a device writes reaches
// the monitors' model directly, and their answers come back through the event
// loop after the monitor's latency, never from inside the write.

#include <algorithm>
#include <array>

#include "programs/battery-host/line/line_transport.h"
#include "programs/monitor-model/simulated_line.h"

namespace {

class SimTransport : public LineTransport {
 public:
  SimTransport(boost::asio::io_context& io,
               const std::vector<monitor_sim::MonitorSettings>& monitors, bool echo, unsigned baud,
               LineListener& listener)
      : listener_(listener),
        line_(
            io, [this](const std::uint8_t* data, std::size_t size) { Deliver(data, size); }, echo,
            baud) {
    for (const auto& monitor : monitors) line_.AddMonitor(monitor);
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

std::unique_ptr<LineTransport> MakeSimTransport(
    boost::asio::io_context& io, const std::vector<monitor_sim::MonitorSettings>& monitors,
    bool echo, unsigned baud, LineListener& listener) {
  return std::make_unique<SimTransport>(io, monitors, echo, baud, listener);
}
