#include "battery2v_32/cell_name.h"

#include <limits>

namespace battery2v_32 {
namespace {

constexpr std::string_view kPrefix = "battery_";
constexpr std::string_view kSuffix = "_value";

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

}  // namespace

std::optional<std::int32_t> FindCellNumber(std::string_view name) {
  // A digit run is always taken whole: a shorter run would have to be followed
  // by '_', which is not a digit, so backtracking can never find another match
  // from the same start. Each start is therefore tried once, leftmost first.
  for (std::size_t start = name.find(kPrefix); start != std::string_view::npos;
       start = name.find(kPrefix, start + 1)) {
    const std::size_t digits_begin = start + kPrefix.size();
    std::size_t digits_end = digits_begin;
    while (digits_end < name.size() && IsDecimalDigit(name[digits_end])) ++digits_end;
    if (digits_end == digits_begin) continue;
    if (name.substr(digits_end, kSuffix.size()) != kSuffix) continue;
    return ParseDecimal(name.substr(digits_begin, digits_end - digits_begin));
  }
  return std::nullopt;
}

}  // namespace battery2v_32
