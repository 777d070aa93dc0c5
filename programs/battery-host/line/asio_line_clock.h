#pragma once

// A line's clock on the host's event loop: the steady clock, and one timer
// that moves only when it must. An alarm set later than the wait under way
// leaves that wait alone and is waited for when it ends, so a line whose
// answers come in time does not cancel and re-arm its timer for every
// request; an alarm set earlier re-arms it. An alarm due at once, set while a
// handler of the line runs (Dispatch), rings when that handler returns rather
// than through another turn of the loop.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <optional>

#include "programs/battery-host/line/line_clock.h"

class AsioLineClock final : public LineClock {
 public:
  explicit AsioLineClock(boost::asio::io_context& io) : io_(io), timer_(io) {}
  AsioLineClock(const AsioLineClock&) = delete;
  AsioLineClock& operator=(const AsioLineClock&) = delete;

  Clock::time_point Now() const override { return Clock::now(); }
  void SetAlarm(Clock::time_point when) override;
  void AlarmSoon() override;
  void ClearAlarm() override;
  // Runs `handler`, a handler of the line's own; an alarm set to ring at
  // once meanwhile rings after it.
  template <typename Handler>
  void Dispatch(Handler&& handler) {
    ++depth_;
    handler();
    --depth_;
    RingDeferred();
  }

 private:
  void Wait(Clock::time_point when);
  void WaitEnded();
  void RingDeferred();
  void Post(std::uint64_t soon_number);

  boost::asio::io_context& io_;
  boost::asio::steady_timer timer_;
  std::optional<Clock::time_point> alarm_;          // when the alarm is due
  std::optional<Clock::time_point> waiting_until_;  // the timer's wait under way
  // Handlers of replaced waits and of alarms set again may still run: only the newest counts.
  std::uint64_t wait_number_ = 0;
  std::uint64_t soon_number_ = 0;
  int depth_ = 0;          // handlers of the line under way
  bool deferred_ = false;  // an alarm rings once they have returned
  // Held weakly by every handler, so that none runs on a clock that is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
