#include "battery2v_32/cell_labels.h"

#include <boost/lexical_cast.hpp>

#include <cstdint>

namespace battery2v_32 {

const std::string& CellLabels::VariableName(std::size_t cell) {
  static const std::array<std::string, kCells> names = [] {
    std::array<std::string, kCells> built;
    for (std::size_t i = 0; i < kCells; ++i) {
      built[i] = "battery_" + boost::lexical_cast<std::string>(i) + "_value";
    }
    return built;
  }();
  return names[cell];
}

const std::string& CellLabels::DisplayName(std::size_t cell, int battery_start) {
  if (display_start_ != battery_start) {
    for (std::size_t i = 0; i < kCells; ++i) {
      // Wide arithmetic: a start near the int limit must not overflow.
      const std::int64_t shown = std::int64_t{battery_start} + static_cast<std::int64_t>(i) + 1;
      display_names_[i] = "第" + boost::lexical_cast<std::string>(shown) + "节电池";
    }
    display_start_ = battery_start;
  }
  return display_names_[cell];
}

}  // namespace battery2v_32
