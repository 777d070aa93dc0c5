#include "programs/command-line/number_text.h"

namespace number_text {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

int DigitValue(char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<unsigned long long> ParseWhole(std::string_view text, unsigned long long max) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  unsigned long long value = 0;
  for (const char c : text) {
    const int digit = DigitValue(c, base);
    if (digit < 0) return std::nullopt;
    // Checked before it is computed: an overflow is refused, never wrapped.
    const auto digit_value = static_cast<unsigned long long>(digit);
    if (digit_value > max || value > (max - digit_value) / base) return std::nullopt;
    value = value * base + digit_value;
  }
  return value;
}

std::string Expected(unsigned long long min, unsigned long long max) {
  return "an integer from " + std::to_string(min) + " to " + std::to_string(max) +
         " (decimal or 0x hex)";
}

}  // namespace number_text
