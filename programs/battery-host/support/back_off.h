#pragma once

// How long to wait before trying a link again (a serial port, a broker): a
// delay that doubles from `first` up to `limit` with every failure, and
// starts again from `first` only once the link had been up for `steady`. A
// link that breaks again at once (a broker that takes the client id away, a
// port whose other side stopped reading) goes on doubling instead of
// hammering it.

#include <algorithm>
#include <chrono>
#include <optional>

class BackOff {
 public:
  using Clock = std::chrono::steady_clock;

  constexpr BackOff(std::chrono::milliseconds first, std::chrono::milliseconds limit,
                    Clock::duration steady)
      : first_(first), limit_(limit), steady_(steady), delay_(first) {}

  // The link came up at `now`.
  void Up(Clock::time_point now) { up_since_ = now; }

  // The link failed or broke at `now`: the delay before the next try.
  std::chrono::milliseconds Failed(Clock::time_point now) {
    if (up_since_ && now - *up_since_ >= steady_) delay_ = first_;
    up_since_.reset();
    const std::chrono::milliseconds delay = delay_;
    delay_ = std::min(delay_ * 2, limit_);
    return delay;
  }

 private:
  std::chrono::milliseconds first_;
  std::chrono::milliseconds limit_;
  Clock::duration steady_;
  std::chrono::milliseconds delay_;
  std::optional<Clock::time_point> up_since_;
};
