#include "programs/battery-host/state/threshold_monitor.h"

#include "battery/link.h"
#include "battery2v_32/cell_name.h"

ThresholdMonitor::ThresholdMonitor(std::map<std::string, ThresholdLimit> limits)
    : limits_(std::move(limits)) {}

const ThresholdLimit* ThresholdMonitor::LimitFor(const std::string& name) const {
  auto found = limits_.find(name);
  if (found == limits_.end() && battery2v_32::IsCellName(name, battery_link::kCellCount))
    found = limits_.find(kAnyCellThreshold);
  return found == limits_.end() ? nullptr : &found->second;
}

std::optional<ThresholdCrossing> ThresholdMonitor::FromNormal(const ThresholdLimit& limit,
                                                              float value, ThresholdState& state) {
  if (limit.high && value > *limit.high) {
    state = ThresholdState::kHigh;
    return ThresholdCrossing{ThresholdState::kHigh, *limit.high, limit.level};
  }
  if (limit.low && value < *limit.low) {
    state = ThresholdState::kLow;
    return ThresholdCrossing{ThresholdState::kLow, *limit.low, limit.level};
  }
  return std::nullopt;
}

std::optional<ThresholdCrossing> ThresholdMonitor::Check(const std::string& name, float value) {
  const ThresholdLimit* limit = LimitFor(name);
  ThresholdState* found = states_.Find(name);
  if (limit == nullptr || found == nullptr) return std::nullopt;
  ThresholdState& state = *found;
  if (state == ThresholdState::kNormal) return FromNormal(*limit, value, state);
  const bool back = state == ThresholdState::kHigh ? value <= *limit->high - limit->hysteresis
                                                   : value >= *limit->low + limit->hysteresis;
  if (!back) return std::nullopt;
  const float crossed = state == ThresholdState::kHigh ? *limit->high : *limit->low;
  state = ThresholdState::kNormal;
  // Straight from one side to the other reports the new crossing.
  if (auto again = FromNormal(*limit, value, state)) return again;
  return ThresholdCrossing{ThresholdState::kNormal, crossed, 0};
}
