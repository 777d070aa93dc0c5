#include "programs/battery-host/line/port_open_deadline.h"

#include "programs/battery-host/support/one_shot.h"

PortOpenDeadline::PortOpenDeadline(boost::asio::io_context& io, std::chrono::seconds timeout)
    : timer_(io), timeout_(timeout) {}

void PortOpenDeadline::Start(Missed missed) {
  ArmOneShot(timer_, timeout_, [this, missed = std::move(missed)] {
    std::string ports;
    for (const HostLine* line : lines_) {
      if (!line->HasOpened()) ports += (ports.empty() ? "" : ", ") + line->Name();
    }
    if (!ports.empty()) missed(ports);
  });
}
