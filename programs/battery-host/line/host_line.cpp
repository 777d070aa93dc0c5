#include "programs/battery-host/line/host_line.h"

#include <ostream>

#include "programs/battery-host/text_format.h"

HostLine::HostLine(boost::asio::io_context& io, std::string name, const PortSettings& settings,
                   std::ostream* trace, std::ostream& err, NameOf name_of)
    : name_(std::move(name)),
      echo_(settings.echo),
      trace_(trace),
      err_(err),
      name_of_(std::move(name_of)) {
  if (settings.quiet.count() > 0) {
    gatherer_.emplace(io, settings.quiet,
                      [this](std::uint8_t* data, std::size_t size) { Deliver(data, size); });
  }
}

void HostLine::Tick() {
  const std::uint64_t sent_before = arbiter_.RequestsSent();
  transport_->ReadPending();
  if (gatherer_) gatherer_->Flush();
  // An answer that arrived just before the tick has already drawn the next
  // request; re-sending that at once would spend a retry and could draw a
  // second answer, which would be taken for the answer to the request after.
  const bool fresh_request = arbiter_.RequestsSent() != sent_before && arbiter_.Owner() != nullptr;
  if (transport_->IsUp() && !fresh_request) arbiter_.Tick();
}

void HostLine::Send(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) {
  Trace(&device, "tx", data, size);
  if (echo_) echo_filter_.Expect(data, size);
  arbiter_.Sent(device);
  transport_->Write(data, size);
}

void HostLine::TraceCycle(const PXHSPDevice& device, long number) {
  if (trace_ == nullptr) return;
  *trace_ << "battery-host: " << name_of_(device) << " cycle " << number << " (" << name_ << ')'
          << std::endl;
}

void HostLine::OnBytes(std::uint8_t* data, std::size_t size) {
  const std::size_t echo = echo_ ? echo_filter_.Strip(data, size) : 0;
  if (echo != 0) Trace(arbiter_.Owner(), "echo", data, echo);
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
  PXHSPDevice* owner = arbiter_.Owner();
  Trace(owner, owner != nullptr ? "rx" : "rx dropped", data, size);
  arbiter_.Route(data, static_cast<unsigned int>(size));
}

void HostLine::OnDown(const std::string& reason) {
  // What arrived before the break would have gone over without gathering too.
  if (gatherer_) gatherer_->Flush();
  failed_ = true;
  err_ << "battery-host: " << name_ << ": " << reason << std::endl;
}

void HostLine::OnUp() {
  opened_ = true;
  if (failed_) err_ << "battery-host: " << name_ << ": open again, polling resumes" << std::endl;
  failed_ = false;
}

void HostLine::Trace(const PXHSPDevice* device, const char* direction, const std::uint8_t* data,
                     std::size_t size) {
  if (trace_ == nullptr) return;
  *trace_ << "battery-host: ";
  if (device != nullptr) *trace_ << name_of_(*device) << ' ';
  *trace_ << direction << ' ' << host_text::Hex(data, size) << " (" << name_ << ')' << std::endl;
}
