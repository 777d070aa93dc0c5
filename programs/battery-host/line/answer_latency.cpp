#include "programs/battery-host/line/answer_latency.h"

#include <algorithm>
#include <limits>

void AnswerLatency::Sample(Duration latency) {
  constexpr auto kMostUs = std::numeric_limits<std::uint32_t>::max();
  const auto us = static_cast<std::uint32_t>(
      std::clamp<Duration::rep>(latency.count(), 0, static_cast<Duration::rep>(kMostUs)));
  const std::uint32_t leaving = samples_us_[next_];
  samples_us_[next_] = us;
  next_ = (next_ + 1) % kWindow;
  count_ = std::min(count_ + 1, kWindow);
  back_off_ = 0;
  // Only an extreme that leaves for a sample short of it needs a look at the rest.
  const bool left_an_extreme =
      count_ == kWindow &&
      ((leaving == worst_us_ && us < worst_us_) || (leaving == shortest_us_ && us > shortest_us_));
  if (count_ == 1 || left_an_extreme) return FindExtremes();
  worst_us_ = std::max(worst_us_, us);
  shortest_us_ = std::min(shortest_us_, us);
}

void AnswerLatency::FindExtremes() {
  const auto [shortest, worst] =
      std::minmax_element(samples_us_.begin(), samples_us_.begin() + count_);
  shortest_us_ = *shortest;
  worst_us_ = *worst;
}

void AnswerLatency::TimedOut() {
  back_off_ = std::min(back_off_ + 1, kLongestBackOff);
}

std::optional<AnswerLatency::Duration> AnswerLatency::Allowance() const {
  if (count_ < kEnoughSamples) return std::nullopt;
  const Duration worst{worst_us_};
  const Duration allowance = std::max(kFloor, worst + std::max(kMargin, worst / 2));
  return allowance * (1 << back_off_);
}

std::optional<AnswerLatency::Duration> AnswerLatency::Soonest() const {
  if (count_ < kEnoughSamples) return std::nullopt;
  return std::max(Duration::zero(), Duration(shortest_us_) - kMargin);
}

AnswerLatency::Percentiles AnswerLatency::Observed() const {
  Percentiles observed;
  observed.samples = count_;
  if (count_ == 0) return observed;
  std::array<std::uint32_t, kWindow> sorted = samples_us_;
  std::sort(sorted.begin(), sorted.begin() + count_);
  // The nearest rank: the smallest sample with at least that share at or below it.
  const auto at = [&](std::size_t percent) {
    const std::size_t rank = (percent * count_ + 99) / 100;
    return Duration(sorted[std::max<std::size_t>(rank, 1) - 1]);
  };
  observed.p50 = at(50);
  observed.p90 = at(90);
  observed.p99 = at(99);
  return observed;
}
