#pragma once

// Says when a device has completed no polling cycle for a while, and when it
// completes one again. One timer per device, moved on only when it fires:
// a completed cycle costs a clock read.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>

class SilenceWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // report(true) when no cycle has completed for `limit`, report(false) when
  // one completes after that.
  using Report = std::function<void(bool silent)>;

  SilenceWatch(boost::asio::io_context& io, Clock::duration limit, Report report);

  // The run starts: a device that never completes a cycle is silent after `limit`.
  void Start();
  void CycleCompleted();
  // The device is polled no more (it has completed its cycles).
  void Stop() { timer_.cancel(); }

 private:
  void WaitUntil(Clock::time_point when);

  boost::asio::steady_timer timer_;
  Clock::duration limit_;
  Report report_;
  Clock::time_point last_{};
  bool silent_ = false;
};
