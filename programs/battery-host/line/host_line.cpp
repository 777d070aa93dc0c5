#include "programs/battery-host/line/host_line.h"

#include <ostream>

#include "programs/battery-host/support/error_log.h"
#include "programs/battery-host/support/text_format.h"

HostLine::HostLine(boost::asio::io_context& io, std::string name, const PortSettings& settings,
                   LineScheduler::Timing timing, std::ostream* trace, std::ostream& err,
                   NameOf name_of)
    : name_(std::move(name)),
      echo_(settings.echo),
      trace_(trace),
      err_(err),
      name_of_(std::move(name_of)),
      clock_(io),
      scheduler_(clock_, timing, *this) {
  if (settings.quiet.count() > 0) {
    gatherer_.emplace(io, settings.quiet, [this](std::uint8_t* data, std::size_t size) {
      clock_.Dispatch([this, data, size] { Deliver(data, size); });
    });
  }
}

void HostLine::Send(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) {
  scheduler_.Send(device, data, size);
}

void HostLine::Write(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) {
  Trace(&device, "tx", data, size);
  if (echo_) echo_filter_.Expect(data, size);
  transport_->Write(data, size);
}

void HostLine::Hold(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) {
  Trace(&device, "held", data, size);
}

void HostLine::Drain() {
  transport_->ReadPending();
  if (gatherer_) gatherer_->Flush();
}

void HostLine::CycleStarted(const PXHSPDevice& device, long number) {
  if (trace_ != nullptr) {
    *trace_ << "battery-host: " << name_of_(device) << " cycle " << number << " (" << name_ << ')'
            << std::endl;
  }
  scheduler_.CycleStarted(device);
}

void HostLine::OnBytes(std::uint8_t* data, std::size_t size) {
  clock_.Dispatch([this, data, size] { Take(data, size); });
}

void HostLine::Take(std::uint8_t* data, std::size_t size) {
  const std::size_t echo = echo_ ? echo_filter_.Strip(data, size) : 0;
  scheduler_.Heard(size - echo);
  if (echo != 0) Trace(scheduler_.Owner(), "echo", data, echo);
  if (echo == size) return;
  data += echo;
  size -= echo;
  if (gatherer_) {
    gatherer_->Add(data, size);
  } else {
    Deliver(data, size);
  }
}

void HostLine::Deliver(std::uint8_t* data, std::size_t size) {
  // Traced before the device sees the bytes: its next request follows in the trace.
  if (scheduler_.Awaiting()) Trace(scheduler_.Owner(), "rx", data, size);
  if (scheduler_.Receive(data, size) != LineScheduler::Delivery::kToDevice) {
    Trace(scheduler_.Blamed(), "stale", data, size);
  }
}

void HostLine::OnDown(const std::string& reason) {
  // What arrived before the break would have gone over without gathering too.
  if (gatherer_) gatherer_->Flush();
  scheduler_.Down();
  err_ << error_log::Error << "battery-host: " << name_ << ": " << reason << std::endl;
  if (!failed_ && events_.port) events_.port(false, reason);
  failed_ = true;
}

void HostLine::OnUp() {
  opened_ = true;
  if (failed_) {
    err_ << "battery-host: " << name_ << ": open again, polling resumes" << std::endl;
    if (events_.port) events_.port(true, {});
  }
  failed_ = false;
  scheduler_.Up();
}

void HostLine::Trace(const PXHSPDevice* device, const char* what, const std::uint8_t* data,
                     std::size_t size) {
  if (trace_ == nullptr) return;
  *trace_ << "battery-host: ";
  if (device != nullptr) *trace_ << name_of_(*device) << ' ';
  *trace_ << what << ' ' << host_text::Hex(data, size) << " (" << name_ << ')' << std::endl;
}
