#include "programs/battery-host/service/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace {

// How often the ports are looked at until all are open: a port that opens is
// announced within this time.
constexpr std::chrono::milliseconds kReadyCheckPeriod{100};

void Notify(const std::string& state) {
  sd_notify(0, state.c_str());
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

ServiceNotifier::ServiceNotifier(boost::asio::io_context& io)
    : keep_alive_timer_(io), ready_timer_(io) {
  std::uint64_t usec = 0;
  // Half the watchdog's period leaves a whole half for a late keep-alive.
  if (sd_watchdog_enabled(0, &usec) > 0) keep_alive_period_ = std::chrono::microseconds(usec / 2);
}

ServiceNotifier::~ServiceNotifier() {
  Notify("STOPPING=1");
}

void ServiceNotifier::Start(PortsDown ports_down) {
  ports_down_ = std::move(ports_down);
  if (keep_alive_period_.count() > 0) KeepAlive();
  AwaitReady();
}

void ServiceNotifier::KeepAlive() {
  Notify("WATCHDOG=1");
  keep_alive_timer_.expires_after(keep_alive_period_);
  keep_alive_timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) KeepAlive();
  });
}

void ServiceNotifier::AwaitReady() {
  const std::vector<std::string> down = ports_down_();
  if (down.empty()) {
    Notify("READY=1\nSTATUS=polling, every port open");
    return;
  }
  const std::string status = "STATUS=waiting for " + Joined(down);
  if (status != status_) Notify(status);
  status_ = status;
  ready_timer_.expires_after(kReadyCheckPeriod);
  ready_timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) AwaitReady();
  });
}
