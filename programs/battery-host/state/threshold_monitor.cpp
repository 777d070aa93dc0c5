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
                                                              float value, State& state) {
  if (limit.high && value > *limit.high) {
    state = State::kHigh;
    return ThresholdCrossing{"high", *limit.high, limit.level};
  }
  if (limit.low && value < *limit.low) {
    state = State::kLow;
    return ThresholdCrossing{"low", *limit.low, limit.level};
  }
  return std::nullopt;
}

std::optional<ThresholdCrossing> ThresholdMonitor::Check(const std::string& name, float value) {
  const ThresholdLimit* limit = LimitFor(name);
  if (limit == nullptr) return std::nullopt;
  auto found = states_.find(name);
  if (found == states_.end()) found = states_.emplace(name, State::kNormal).first;
  State& state = found->second;
  if (state == State::kNormal) return FromNormal(*limit, value, state);
  const bool back = state == State::kHigh ? value <= *limit->high - limit->hysteresis
                                          : value >= *limit->low + limit->hysteresis;
  if (!back) return std::nullopt;
  const float crossed = state == State::kHigh ? *limit->high : *limit->low;
  state = State::kNormal;
  // Straight from one side to the other reports the new crossing.
  if (auto again = FromNormal(*limit, value, state)) return again;
  return ThresholdCrossing{"normal", crossed, 0};
}
