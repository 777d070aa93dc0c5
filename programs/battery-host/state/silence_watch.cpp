#include "programs/battery-host/state/silence_watch.h"

SilenceWatch::SilenceWatch(boost::asio::io_context& io, Clock::duration limit, int missed_limit,
                           Report report)
    : timer_(io), limit_(limit), missed_limit_(missed_limit), report_(std::move(report)) {}

void SilenceWatch::Start() {
  last_ = Clock::now();
  WaitUntil(last_ + limit_);
}

void SilenceWatch::CycleCompleted() {
  last_ = Clock::now();
  missed_ = 0;
  if (!silent_) return;
  silent_ = false;
  report_(false);
  WaitUntil(last_ + limit_);
}

void SilenceWatch::CycleGivenUp() {
  last_ = Clock::now();
  if (!silent_ && ++missed_ >= missed_limit_) GoSilent();
}

void SilenceWatch::GoSilent() {
  silent_ = true;
  report_(true);
}

void SilenceWatch::WaitUntil(Clock::time_point when) {
  timer_.expires_at(when);
  timer_.async_wait([this](const boost::system::error_code& error) {
    if (error || silent_) return;
    // Cycles that ended meanwhile moved the deadline on.
    if (Clock::now() < last_ + limit_) return WaitUntil(last_ + limit_);
    GoSilent();
  });
}
