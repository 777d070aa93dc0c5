#pragma once

// One line of the live host: a port with the devices that name it, its
// transport, the turns of the devices (LineScheduler), the adapter's echo and,
// when the port's settings ask for it, the gathering of what arrives until
// the line is quiet (QuietGapGatherer).

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "programs/battery-host/line/asio_line_clock.h"
#include "programs/battery-host/line/echo_filter.h"
#include "programs/battery-host/line/line_scheduler.h"
#include "programs/battery-host/line/line_transport.h"
#include "programs/battery-host/line/port_settings.h"
#include "programs/battery-host/line/quiet_gap_gatherer.h"

class HostLine final : public LineListener, private LineScheduler::Wire {
 public:
  // Data id of a device, for messages.
  using NameOf = std::function<unsigned int(const PXHSPDevice&)>;
  struct Events {
    // The line is about to call into the device.
    std::function<void(const PXHSPDevice& device)> calling;
    // The port went down (with the reason) or came back up.
    std::function<void(bool up, const std::string& reason)> port;
    // The device's cycle ended without a record.
    std::function<void(const PXHSPDevice& device)> given_up;
  };

  HostLine(boost::asio::io_context& io, std::string name, const PortSettings& settings,
           LineScheduler::Timing timing, std::ostream* trace, std::ostream& err, NameOf name_of);

  const std::string& Name() const { return name_; }
  LineScheduler& Scheduler() { return scheduler_; }
  // Whether the port has been open at least once since the start.
  bool HasOpened() const { return opened_; }
  void SetTransport(std::unique_ptr<LineTransport> transport) { transport_ = std::move(transport); }
  void SetEvents(Events events) { events_ = std::move(events); }
  void Start() { transport_->Start(); }
  bool IsUp() const { return transport_->IsUp(); }

  // A device writes on the line; the scheduler decides when the bytes go out.
  void Send(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size);
  // A device starts its polling cycle `number` (1 for the first).
  void CycleStarted(const PXHSPDevice& device, long number);
  void CycleCompleted(const PXHSPDevice& device) { scheduler_.CycleCompleted(device); }

  void OnBytes(std::uint8_t* data, std::size_t size) override;
  void OnDown(const std::string& reason) override;
  void OnUp() override;

 private:
  void Write(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) override;
  void Hold(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) override;
  void Drain() override;
  void Calling(const PXHSPDevice& device) override {
    if (events_.calling) events_.calling(device);
  }
  void GivenUp(const PXHSPDevice& device) override {
    if (events_.given_up) events_.given_up(device);
  }
  // What the port read: the echo dropped, the rest gathered or delivered.
  void Take(std::uint8_t* data, std::size_t size);
  // A chunk for the device whose answer is awaited.
  void Deliver(std::uint8_t* data, std::size_t size);
  void Trace(const PXHSPDevice* device, const char* what, const std::uint8_t* data,
             std::size_t size);

  std::string name_;
  bool echo_;
  std::ostream* trace_;
  std::ostream& err_;
  NameOf name_of_;
  EchoFilter echo_filter_;
  AsioLineClock clock_;
  LineScheduler scheduler_;
  std::optional<QuietGapGatherer> gatherer_;  // only with a quiet gap set
  std::unique_ptr<LineTransport> transport_;
  Events events_;
  bool failed_ = false;
  bool opened_ = false;
};
