#pragma once

// The host as a systemd service (Type=notify): readiness once every port is
// open, a status line while some are not, and the watchdog's keep-alives.
// The keep-alives come from a timer on the host's own event loop, so a loop
// that hangs stops them and the service manager restarts the host. Outside
// systemd (no NOTIFY_SOCKET) nothing is sent.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class ServiceNotifier {
 public:
  // The ports not open yet, by name; readiness waits until there are none.
  using PortsDown = std::function<std::vector<std::string>()>;

  explicit ServiceNotifier(boost::asio::io_context& io);
  // Tells the service manager that the host is stopping.
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Starts the keep-alives (when the service manager asks for them) and
  // waits for the ports to be open before sending READY=1.
  void Start(PortsDown ports_down);

 private:
  void KeepAlive();
  void AwaitReady();

  boost::asio::steady_timer keep_alive_timer_;
  boost::asio::steady_timer ready_timer_;
  std::chrono::microseconds keep_alive_period_{0};
  PortsDown ports_down_;
  std::string status_;
};
