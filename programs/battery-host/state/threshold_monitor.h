#pragma once

// The host's threshold evaluation for one device. A variable crosses its limit
// once, when its value rises above "high" or falls below "low", and returns
// once, when it is back inside the limit by the hysteresis; in between, every
// check is quiet. The state is kept per variable.

#include <map>
#include <optional>
#include <string>

#include "programs/battery-host/state/device_state.h"
#include "programs/battery-host/state/threshold_limit.h"

struct ThresholdCrossing {
  ThresholdState state;  // kHigh, kLow, or kNormal for the return
  float limit;           // the limit crossed
  int level;             // the configured level; 0 for a return
};

class ThresholdMonitor {
 public:
  explicit ThresholdMonitor(std::map<std::string, ThresholdLimit> limits);

  // The limit of `name`: its own, or for a cell the one of battery_*_value.
  const ThresholdLimit* LimitFor(const std::string& name) const;
  std::optional<ThresholdCrossing> Check(const std::string& name, float value);
  // Whether any variable has a limit: without one every check is quiet and
  // every state stays normal.
  bool HasLimits() const { return !limits_.empty(); }
  // Where each variable stands now.
  const ThresholdStates& States() const { return states_; }

 private:
  static std::optional<ThresholdCrossing> FromNormal(const ThresholdLimit& limit, float value,
                                                     ThresholdState& state);

  std::map<std::string, ThresholdLimit> limits_;
  ThresholdStates states_;
};
