#pragma once

// The threshold limits of a device's variables, as the host checks them.

#include <optional>

// Limits of one variable. A crossing is reported when the value rises above
// `high` or falls below `low`, the return when it is back inside by
// `hysteresis`.
struct ThresholdLimit {
  std::optional<float> high;
  std::optional<float> low;
  float hysteresis = 0.0f;
  int level = 1;
};

// Threshold key that applies to every cell without a limit of its own.
inline constexpr const char* kAnyCellThreshold = "battery_*_value";
