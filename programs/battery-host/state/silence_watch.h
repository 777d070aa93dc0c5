#pragma once

// Says when a device has gone silent, and when it completes a cycle again.
// Silent is `missed_limit` cycles in a row that ended without a record (the
// host gave them up), or no cycle ending at all for `limit` (a port that is
// down, a line that never gets to the device). Counting whole cycles keeps a
// device whose answer is on its way from being called silent a moment
// before it comes. One timer per device, moved on only when it fires: a
// cycle's end costs a clock read.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>

class SilenceWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // report(true) when the device goes silent, report(false) when it
  // completes a cycle after that.
  using Report = std::function<void(bool silent)>;

  SilenceWatch(boost::asio::io_context& io, Clock::duration limit, int missed_limit, Report report);

  // The run starts: a device whose cycles never end is silent after `limit`.
  void Start();
  void CycleCompleted();
  void CycleGivenUp();
  // The device is polled no more (it has completed its cycles, or it is gone).
  void Stop() { timer_.cancel(); }

 private:
  void WaitUntil(Clock::time_point when);
  void GoSilent();

  boost::asio::steady_timer timer_;
  Clock::duration limit_;
  int missed_limit_;
  Report report_;
  Clock::time_point last_{};  // when a cycle last ended
  int missed_ = 0;            // cycles in a row given up
  bool silent_ = false;
};
