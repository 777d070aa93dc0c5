#include "battery2v_32/cell_labels.h"

#include <boost/lexical_cast.hpp>

#include "battery2v_32/cell_name.h"

namespace battery2v_32 {

const CellLabels::Names& CellLabels::VariableNames() {
  static const Names names = [] {
    Names built;
    for (std::size_t i = 0; i < kCells; ++i) built[i] = CellVariableName(i);
    return built;
  }();
  return names;
}

const CellLabels::Names& CellLabels::DisplayNames(int battery_start) {
  if (display_start_ != battery_start) {
    for (std::size_t i = 0; i < kCells; ++i) {
      display_names_[i] =
          "第" + boost::lexical_cast<std::string>(CellDisplayNumber(battery_start, i)) + "节电池";
    }
    display_start_ = battery_start;
  }
  return display_names_;
}

}  // namespace battery2v_32
