#pragma once

// How long things take on a monitor line, from its baud rate (10 bits a
// byte): the default answer timeout, and the shortest that can work.

#include <chrono>
#include <cstddef>

#include "battery/link.h"

namespace line_timing {

// The longest exchange of a cycle: a request and the cell-voltage answer.
inline constexpr std::size_t kLongestExchangeBytes =
    battery_link::kRequestSize + battery_link::kCellAnswerSize;
// What a monitor may take to start answering, on top of the line time.
inline constexpr std::chrono::milliseconds kLatencyAllowance{50};
// Below the longest exchange's line time plus this, answers are re-sent while they arrive.
inline constexpr std::chrono::milliseconds kTimeoutMargin{5};

constexpr std::chrono::milliseconds CeilMs(std::chrono::microseconds time) {
  return std::chrono::ceil<std::chrono::milliseconds>(time);
}

// The default answer timeout: the longest exchange's line time, the latency
// allowance and the quiet gap that the port waits for before handing bytes over.
constexpr std::chrono::milliseconds DefaultAnswerTimeout(unsigned baud,
                                                         std::chrono::milliseconds quiet) {
  return CeilMs(battery_link::LineTime(kLongestExchangeBytes, baud)) + kLatencyAllowance + quiet;
}

// Anything shorter re-sends a cell request while its answer is still on the line.
constexpr std::chrono::milliseconds ShortestAnswerTimeout(unsigned baud,
                                                          std::chrono::milliseconds quiet) {
  return CeilMs(battery_link::LineTime(kLongestExchangeBytes, baud)) + kTimeoutMargin + quiet;
}

static_assert(DefaultAnswerTimeout(battery_link::kBaudRate, {}).count() == 88);
static_assert(ShortestAnswerTimeout(battery_link::kBaudRate, {}).count() == 43);

}  // namespace line_timing
