#pragma once

// One line of the live host: a port with the devices that name it, its
// transport, the turns of the devices (LineArbiter) and the adapter's echo.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "programs/battery-host/echo_filter.h"
#include "programs/battery-host/line_arbiter.h"
#include "programs/battery-host/line_transport.h"

class HostLine final : public LineListener {
 public:
  // Data id of a device, for messages.
  using NameOf = std::function<unsigned int(const PXHSPDevice&)>;

  HostLine(std::string name, bool echo, std::ostream* trace, std::ostream& err, NameOf name_of);

  const std::string& Name() const { return name_; }
  LineArbiter& Arbiter() { return arbiter_; }
  void SetTransport(std::unique_ptr<LineTransport> transport) { transport_ = std::move(transport); }
  void Start() { transport_->Start(); }

  // A poll tick of the line; none while the port is down.
  void Tick();
  // A device writes on the line.
  void Send(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size);
  // A device starts its polling cycle `number` (1 for the first), for the trace.
  void TraceCycle(const PXHSPDevice& device, long number);

  void OnBytes(std::uint8_t* data, std::size_t size) override;
  void OnDown(const std::string& reason) override;
  void OnUp() override;

 private:
  void Trace(const PXHSPDevice* device, const char* direction, const std::uint8_t* data,
             std::size_t size);

  std::string name_;
  bool echo_;
  std::ostream* trace_;
  std::ostream& err_;
  NameOf name_of_;
  EchoFilter echo_filter_;
  LineArbiter arbiter_;
  std::unique_ptr<LineTransport> transport_;
  bool failed_ = false;
};
