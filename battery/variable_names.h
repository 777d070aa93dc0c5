#pragma once

// Names of a battery device's values: the same name is used for value queries
// and for threshold checks.

#include <string>

namespace battery_names {

inline const std::string kGroupVoltage = "group_voltage";
inline const std::string kGroupCurrent = "group_current";
inline const std::string kTemperature = "temperature";

}  // namespace battery_names
