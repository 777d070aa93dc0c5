#pragma once

// How long a monitor takes to start answering: the time from a request's
// last byte to its answer's first byte, learned from its last answers.
//
// Like a TCP sender's retransmission timeout: the allowance is the worst
// latency seen in the window plus a margin (half of it, at least kMargin),
// never below kFloor; until the window holds kEnoughSamples it is unknown
// (the port's answer timeout applies). Each answer timeout doubles the
// allowance until the next sample, so a monitor that turns slow is waited for
// longer at once, and samples come only from requests not re-sent (an answer
// after a re-send could be either copy's). The shortest latency seen, less the
// margin, is how soon after a request its answer can come.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

class AnswerLatency {
 public:
  using Duration = std::chrono::microseconds;
  static constexpr std::size_t kWindow = 64;
  static constexpr std::size_t kEnoughSamples = 8;
  static constexpr Duration kMargin{3'000};
  static constexpr Duration kFloor{5'000};
  static constexpr int kLongestBackOff = 5;  // doublings: 32 times the allowance

  struct Percentiles {
    std::size_t samples = 0;
    Duration p50{}, p90{}, p99{};
  };

  void Sample(Duration latency);
  void TimedOut();
  // The allowance in force, or nothing while too few answers were seen.
  std::optional<Duration> Allowance() const;
  // How soon an answer can come, or nothing while too few answers were seen.
  std::optional<Duration> Soonest() const;
  Percentiles Observed() const;

 private:
  void FindExtremes();

  std::array<std::uint32_t, kWindow> samples_us_{};
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  std::uint32_t worst_us_ = 0;
  std::uint32_t shortest_us_ = 0;
  int back_off_ = 0;
};
