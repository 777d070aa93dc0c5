#pragma once

// Names under which the cells go through the threshold checks. The variable
// name counts cells from 0 ("battery_0_value"); the display name counts from 1
// plus the configured start ("第1节电池"). Most of these names are longer than
// a std::string keeps without the heap, so they are built once and reused by
// every polling cycle; a cycle fetches each table once, not once per cell.

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "battery/link.h"

namespace battery2v_32 {

class CellLabels {
 public:
  static constexpr std::size_t kCells = battery_link::kCellCount;
  using Names = std::array<std::string, kCells>;

  // "battery_<cell>_value" at index cell.
  static const Names& VariableNames();

  // "第<battery_start + cell + 1>节电池" at index cell; rebuilt only when the
  // start differs from the one of the previous call.
  const Names& DisplayNames(int battery_start);

 private:
  Names display_names_;
  std::optional<int> display_start_;
};

}  // namespace battery2v_32
