#pragma once

// The name of a cell's value: "battery_" + the cell's 0-based number in
// decimal + "_value". Value queries search names for it; the threshold checks
// and the host's threshold keys use it exactly.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace battery2v_32 {

inline constexpr std::string_view kCellNamePrefix = "battery_";
inline constexpr std::string_view kCellNameSuffix = "_value";

// The name of cell `cell`'s value: "battery_<cell>_value".
std::string CellVariableName(std::size_t cell);

// The cell number in a value name: the leftmost "battery_<digits>_value"
// anywhere in `name`, as a search for the ECMAScript pattern
// battery_(\d+)_value finds it, with the digits read in decimal. Empty when
// there is no such part or its number does not fit in a 32-bit signed integer.
std::optional<std::int32_t> FindCellNumber(std::string_view name);

// Whether `name` is, as a whole, the name of one of the first `cells` cells as
// the threshold checks write it: no leading zeros ("battery_7_value").
bool IsCellName(std::string_view name, std::size_t cells);

// The number a cell is shown with: 1-based, after the device's battery_start
// (cell 0 of a device starting at 17 is cell 18). Wide: a start near the int
// limit does not overflow.
constexpr std::int64_t CellDisplayNumber(int battery_start, std::size_t cell) {
  return std::int64_t{battery_start} + static_cast<std::int64_t>(cell) + 1;
}

}  // namespace battery2v_32
