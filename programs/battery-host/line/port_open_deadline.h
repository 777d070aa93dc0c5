#pragma once

// Every port of the host must have opened once within a configured time
// after the start: a port that never opens (a wrong path, an adapter that is
// not there, a device that is no serial port) would otherwise be retried for
// good without a run ever ending.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "programs/battery-host/line/host_line.h"

class PortOpenDeadline {
 public:
  // Called once at the deadline with the names of the ports not opened by
  // then ("/dev/ttyUSB0, /dev/ttyUSB1"); not at all when every one opened.
  using Missed = std::function<void(const std::string& ports)>;

  PortOpenDeadline(boost::asio::io_context& io, std::chrono::seconds timeout);
  void Watch(const HostLine& line) { lines_.push_back(&line); }
  // The line is gone (a reloaded configuration has no device on it).
  void Forget(const HostLine& line) {
    lines_.erase(std::remove(lines_.begin(), lines_.end(), &line), lines_.end());
  }
  void Start(Missed missed);
  std::chrono::seconds Timeout() const { return timeout_; }

 private:
  boost::asio::steady_timer timer_;
  std::chrono::seconds timeout_;
  std::vector<const HostLine*> lines_;
};
