#pragma once

// The host as a systemd service (Type=notify): readiness once the devices
// are set up and the outputs started, whether or not every port is open (a
// missing adapter must not hold the healthy lines hostage to the start
// timeout), a status line naming the ports that are not open, the reloads of
// the configuration, and the watchdog's keep-alives. The keep-alives come from
// a timer on the host's own event loop, so a loop that hangs stops them and
// the service manager restarts the host. Outside systemd (no NOTIFY_SOCKET)
// nothing is sent.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class ServiceNotifier {
 public:
  // The ports not open now, by name.
  using PortsDown = std::function<std::vector<std::string>()>;

  explicit ServiceNotifier(boost::asio::io_context& io);
  // Tells the service manager that the host is stopping.
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Sends READY=1 with the status, and starts the keep-alives when the
  // service manager asks for them.
  void Start(PortsDown ports_down);
  // A port opened or broke: the status line follows.
  void PortsChanged();
  // A reload of the configuration begins, and ends.
  void Reloading();
  void Reloaded();

 private:
  void KeepAlive();
  std::string Status() const;

  boost::asio::steady_timer keep_alive_timer_;
  std::chrono::microseconds keep_alive_period_{0};
  PortsDown ports_down_;
  std::string status_;
};
