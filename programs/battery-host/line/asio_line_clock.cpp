#include "programs/battery-host/line/asio_line_clock.h"

#include <boost/asio/post.hpp>

void AsioLineClock::SetAlarm(Clock::time_point when) {
  alarm_ = when;
  ++soon_number_;
  deferred_ = false;
  // The wait under way ends first; the alarm is waited for then.
  if (waiting_until_ && *waiting_until_ <= when) return;
  Wait(when);
}

void AsioLineClock::AlarmSoon() {
  alarm_.reset();
  const std::uint64_t number = ++soon_number_;
  if (depth_ > 0) {
    deferred_ = true;
    return;
  }
  Post(number);
}

void AsioLineClock::Post(std::uint64_t number) {
  boost::asio::post(io_, [this, number, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired() && number == soon_number_) Dispatch([this] { Ring(); });
  });
}

void AsioLineClock::ClearAlarm() {
  // A wait under way ends unheeded.
  alarm_.reset();
  ++soon_number_;
  deferred_ = false;
}

void AsioLineClock::RingDeferred() {
  if (depth_ != 0 || !deferred_) return;
  deferred_ = false;
  ++depth_;
  Ring();
  --depth_;
  // Once per handler: a line whose turns end at once still lets the loop run.
  if (!deferred_) return;
  deferred_ = false;
  Post(soon_number_);
}

void AsioLineClock::Wait(Clock::time_point when) {
  waiting_until_ = when;
  const std::uint64_t number = ++wait_number_;
  timer_.expires_at(when);
  timer_.async_wait(
      [this, number, alive = std::weak_ptr<bool>(alive_)](const boost::system::error_code& error) {
        if (!error && !alive.expired() && number == wait_number_) WaitEnded();
      });
}

void AsioLineClock::WaitEnded() {
  waiting_until_.reset();
  if (!alarm_) return;
  if (Now() < *alarm_) return Wait(*alarm_);
  alarm_.reset();
  Dispatch([this] { Ring(); });
}
