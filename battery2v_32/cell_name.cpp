#include "battery2v_32/cell_name.h"

#include <limits>

namespace battery2v_32 {
namespace {

constexpr bool IsDecimalDigit(char c) {
  return c >= '0' && c <= '9';
}

std::optional<std::int32_t> ParseDecimal(std::string_view digits) {
  std::int64_t value = 0;
  for (const char digit : digits) {
    value = value * 10 + (digit - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

// The digits of a cell name whose prefix starts at `start`: the whole digit
// run behind the prefix when the suffix follows it; empty otherwise.
std::string_view CellDigitsAt(std::string_view name, std::size_t start) {
  const std::size_t digits_begin = start + kCellNamePrefix.size();
  std::size_t digits_end = digits_begin;
  while (digits_end < name.size() && IsDecimalDigit(name[digits_end])) ++digits_end;
  if (name.substr(digits_end, kCellNameSuffix.size()) != kCellNameSuffix) return {};
  return name.substr(digits_begin, digits_end - digits_begin);
}

}  // namespace

std::string CellVariableName(std::size_t cell) {
  return std::string(kCellNamePrefix).append(std::to_string(cell)).append(kCellNameSuffix);
}

std::optional<std::int32_t> FindCellNumber(std::string_view name) {
  // A digit run is always taken whole: a shorter run would have to be followed
  // by '_', which is not a digit, so backtracking can never find another match
  // from the same start. Each start is therefore tried once, leftmost first.
  for (std::size_t start = name.find(kCellNamePrefix); start != std::string_view::npos;
       start = name.find(kCellNamePrefix, start + 1)) {
    const std::string_view digits = CellDigitsAt(name, start);
    if (!digits.empty()) return ParseDecimal(digits);
  }
  return std::nullopt;
}

bool IsCellName(std::string_view name, std::size_t cells) {
  if (name.substr(0, kCellNamePrefix.size()) != kCellNamePrefix) return false;
  const std::string_view digits = CellDigitsAt(name, 0);
  if (digits.empty() ||
      kCellNamePrefix.size() + digits.size() + kCellNameSuffix.size() != name.size()) {
    return false;
  }
  if (digits.size() > 1 && digits.front() == '0') return false;
  const auto cell = ParseDecimal(digits);
  return cell && static_cast<std::size_t>(*cell) < cells;
}

}  // namespace battery2v_32
