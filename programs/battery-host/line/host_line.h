#pragma once

// One line of the live host: a port with the devices that name it, its
// transport, the turns of the devices (LineArbiter), the adapter's echo and,
// when the port's settings ask for it, the gathering of what arrives until
// the line is quiet (QuietGapGatherer).

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/line/echo_filter.h"
#include "programs/battery-host/line/line_arbiter.h"
#include "programs/battery-host/line/line_transport.h"
#include "programs/battery-host/line/quiet_gap_gatherer.h"

class HostLine final : public LineListener {
 public:
  // Data id of a device, for messages.
  using NameOf = std::function<unsigned int(const PXHSPDevice&)>;

  HostLine(boost::asio::io_context& io, std::string name, const PortSettings& settings,
           std::ostream* trace, std::ostream& err, NameOf name_of);

  const std::string& Name() const { return name_; }
  // Whether the port has been open at least once since the start.
  bool HasOpened() const { return opened_; }
  LineArbiter& Arbiter() { return arbiter_; }
  void SetTransport(std::unique_ptr<LineTransport> transport) { transport_ = std::move(transport); }
  void Start() { transport_->Start(); }

  // A poll tick of the line; none while the port is down. What has arrived
  // before it goes first to the device whose turn it is.
  void Tick();
  // A device writes on the line.
  void Send(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size);
  // A device starts its polling cycle `number` (1 for the first), for the trace.
  void TraceCycle(const PXHSPDevice& device, long number);

  void OnBytes(std::uint8_t* data, std::size_t size) override;
  void OnDown(const std::string& reason) override;
  void OnUp() override;

 private:
  // A chunk for the device whose turn it is.
  void Deliver(std::uint8_t* data, std::size_t size);
  void Trace(const PXHSPDevice* device, const char* direction, const std::uint8_t* data,
             std::size_t size);

  std::string name_;
  bool echo_;
  std::ostream* trace_;
  std::ostream& err_;
  NameOf name_of_;
  EchoFilter echo_filter_;
  LineArbiter arbiter_;
  std::optional<QuietGapGatherer> gatherer_;  // only with a quiet gap set
  std::unique_ptr<LineTransport> transport_;
  bool failed_ = false;
  bool opened_ = false;
};
