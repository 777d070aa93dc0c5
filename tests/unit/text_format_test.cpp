// Text forms of the host program: which names are UTF-8.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "programs/battery-host/support/text_format.h"

namespace {

// The first and last code point of each length, the edges of the surrogates;
// overlong forms, surrogates, past U+10FFFF, and sequences cut short.
TEST(TextFormatTest, Utf8IsWellFormedOrRefused) {
  // clang-format off
  const std::pair<std::string, bool> cases[] = {
      {"", true}, {"/dev/ttyUSB0", true}, {std::string("a\0b", 3), true},
      {"\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xEF\xBF\xBF", true},
      {"\xED\x9F\xBF \xEE\x80\x80 \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF", true},
      {"\xC0\x80", false}, {"\xC1\xBF", false}, {"\xE0\x9F\xBF", false}, {"\xF0\x8F\xBF\xBF", false},
      {"\xED\xA0\x80", false}, {"\xED\xBF\xBF", false}, {"\xF4\x90\x80\x80", false},
      {"\xF8\x88\x80\x80\x80", false}, {"\xFF", false}, {"\x80", false}, {"a\xE2\x82", false},
      {"\xC3" "A", false}};
  // clang-format on
  for (const auto& [text, valid] : cases) {
    EXPECT_EQ(host_text::IsValidUtf8(text), valid) << testing::PrintToString(text);
  }
}

}  // namespace
