#pragma once

// The time a line's scheduler keeps: what time it is, and one alarm. The live
// host hands it the event loop's steady clock (AsioLineClock); tests hand it
// a virtual one and move time themselves.

#include <chrono>
#include <functional>

class LineClock {
 public:
  using Clock = std::chrono::steady_clock;
  using Alarm = std::function<void()>;

  virtual Clock::time_point Now() const = 0;
  // Calls the alarm once, at `when` or later, through the loop; replaces the
  // alarm set before, as Clear does.
  virtual void SetAlarm(Clock::time_point when) = 0;
  // Calls the alarm once through the loop, as soon as the caller returns.
  virtual void AlarmSoon() = 0;
  virtual void ClearAlarm() = 0;
  void OnAlarm(Alarm alarm) { alarm_ = std::move(alarm); }

 protected:
  ~LineClock() = default;
  void Ring() const {
    if (alarm_) alarm_();
  }

 private:
  Alarm alarm_;
};
