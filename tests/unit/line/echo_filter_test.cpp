// The echo filter: only the bytes just sent are dropped, however they arrive.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "programs/battery-host/line/echo_filter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct EchoCase {
  const char* name;
  Bytes sent;
  std::vector<Bytes> chunks;
  std::vector<std::size_t> stripped;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const EchoCase& c, std::ostream* out) {
  *out << c.name;
}

class EchoFilterTest : public ::testing::TestWithParam<EchoCase> {};

TEST_P(EchoFilterTest, StripsOnlyTheEcho) {
  EchoFilter filter;
  filter.Expect(GetParam().sent.data(), GetParam().sent.size());
  std::vector<std::size_t> stripped;
  for (const Bytes& chunk : GetParam().chunks)
    stripped.push_back(filter.Strip(chunk.data(), chunk.size()));
  EXPECT_EQ(stripped, GetParam().stripped);
}

const Bytes kRequest = {0xFE, 0xFE, 0x6B, 0xA2, 0xED};  // checksum 0xED, the answer's lead byte

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Chunks, EchoFilterTest,
    ::testing::Values(
        EchoCase{"whole_then_answer", kRequest, {kRequest, {0xED, 0x6B, 0x01, 0x02, 0x6E}}, {5, 0}},
        EchoCase{"echo_and_answer_in_one", kRequest, {{0xFE, 0xFE, 0x6B, 0xA2, 0xED, 0xED, 0x6B}}, {5}},
        EchoCase{"echo_in_pieces", kRequest, {{0xFE, 0xFE}, {0x6B}, {0xA2, 0xED, 0xED}}, {2, 1, 2}},
        EchoCase{"echo_lost", kRequest, {{0xED, 0x6B, 0x01, 0x02, 0x6E}}, {0}},
        EchoCase{"echo_cut", kRequest, {{0xFE, 0xFE, 0xED, 0x6B}, {0xFE}}, {2, 0}}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

}  // namespace
