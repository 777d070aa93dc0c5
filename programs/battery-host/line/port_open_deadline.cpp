#include "programs/battery-host/line/port_open_deadline.h"

PortOpenDeadline::PortOpenDeadline(boost::asio::io_context& io, std::chrono::seconds timeout)
    : timer_(io), timeout_(timeout) {}

void PortOpenDeadline::Start(Missed missed) {
  timer_.expires_after(timeout_);
  timer_.async_wait([this, missed = std::move(missed)](const boost::system::error_code& error) {
    if (error) return;
    std::string ports;
    for (const HostLine* line : lines_) {
      if (!line->HasOpened()) ports += (ports.empty() ? "" : ", ") + line->Name();
    }
    if (!ports.empty()) missed(ports);
  });
}
