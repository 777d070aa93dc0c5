#include "programs/battery-host/service/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <ctime>

#include "programs/battery-host/support/one_shot.h"

namespace {

void Notify(const std::string& state) {
  sd_notify(0, state.c_str());
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// The service manager matches a reload's end to its start by this clock.
std::string MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto usec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
  return std::to_string(usec);
}

}  // namespace

ServiceNotifier::ServiceNotifier(boost::asio::io_context& io) : keep_alive_timer_(io) {
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
  status_ = Status();
  Notify("READY=1\n" + status_);
}

void ServiceNotifier::PortsChanged() {
  if (!ports_down_) return;
  const std::string status = Status();
  if (status == status_) return;
  status_ = status;
  Notify(status_);
}

void ServiceNotifier::Reloading() {
  Notify("RELOADING=1\nMONOTONIC_USEC=" + MonotonicNow());
}

void ServiceNotifier::Reloaded() {
  status_ = Status();
  Notify("READY=1\n" + status_);
}

std::string ServiceNotifier::Status() const {
  const std::vector<std::string> down = ports_down_ ? ports_down_() : std::vector<std::string>{};
  if (down.empty()) return "STATUS=polling, every port open";
  return "STATUS=polling; not open: " + Joined(down);
}

void ServiceNotifier::KeepAlive() {
  Notify("WATCHDOG=1");
  ArmOneShot(keep_alive_timer_, keep_alive_period_, [this] { KeepAlive(); });
}
