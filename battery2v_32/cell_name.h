#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace battery2v_32 {

// The cell number in a value name: the leftmost "battery_<digits>_value"
// anywhere in `name`, as a search for the ECMAScript pattern
// battery_(\d+)_value finds it, with the digits read in decimal. Empty when
// there is no such part or its number does not fit in a 32-bit signed integer.
std::optional<std::int32_t> FindCellNumber(std::string_view name);

}  // namespace battery2v_32
