#pragma once

// The one reading of whole numbers that people type into the configuration
// and on command lines: decimal, or hexadecimal after "0x", with blanks
// around it ignored and nothing else. There is no octal: "0200" is two
// hundred, as anyone reading it expects.

#include <optional>
#include <string>
#include <string_view>

namespace number_text {

// The number in `text` when it is one and at most `max`.
std::optional<unsigned long long> ParseWhole(std::string_view text, unsigned long long max);

// What a message says is expected: "an integer from MIN to MAX (decimal or 0x hex)".
std::string Expected(unsigned long long min, unsigned long long max);

}  // namespace number_text
