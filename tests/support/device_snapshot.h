#pragma once

// The whole state of a Battery2V32Probe, its host-side members included, as
// values that can be compared: a test takes one before a bad input, states
// what the input is documented to change, and compares with one taken after.

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "battery/record.h"
#include "tests/support/device_harness.h"

namespace snapshot_detail {

// A member as the snapshot holds it: a copy, or a form that compares.
template <typename T>
T Copy(const Battery2V32Probe&, const T& member) {
  return member;
}
inline std::vector<std::tuple<std::string, int, float>> Copy(const Battery2V32Probe&,
                                                             const std::vector<rule_value>& rules) {
  std::vector<std::tuple<std::string, int, float>> copy;
  for (const rule_value& rule : rules) copy.emplace_back(rule.variable, rule.level, rule.limit);
  return copy;
}
inline std::vector<unsigned char> Copy(const Battery2V32Probe& d,
                                       const decltype(Battery2V32Probe::rx_buffer_)& buffer) {
  return {buffer.begin(), buffer.begin() + d.rx_length_};
}
inline std::vector<unsigned char> Copy(const Battery2V32Probe&, const Battery32_Data_t& record) {
  const unsigned char* bytes = battery_record::Bytes(record);
  return {bytes, bytes + battery_record::kSize};
}

}  // namespace snapshot_detail

struct DeviceSnapshot {
#define BATTERY_SNAPSHOT_FIELD(member, field)                             \
  decltype(snapshot_detail::Copy(std::declval<const Battery2V32Probe&>(), \
                                 std::declval<const Battery2V32Probe&>().member)) field{};
  BATTERY2V32_MEMBERS(BATTERY_SNAPSHOT_FIELD)
#undef BATTERY_SNAPSHOT_FIELD

  static DeviceSnapshot Of(const Battery2V32Probe& d) {
    DeviceSnapshot s;
#define BATTERY_SNAPSHOT_COPY(member, field) s.field = snapshot_detail::Copy(d, d.member);
    BATTERY2V32_MEMBERS(BATTERY_SNAPSHOT_COPY)
#undef BATTERY_SNAPSHOT_COPY
    return s;
  }
};

// Field by field, so that a failure names what changed.
inline void ExpectSameState(const DeviceSnapshot& expected, const DeviceSnapshot& actual) {
#define BATTERY_EXPECT_FIELD(member, field) EXPECT_EQ(expected.field, actual.field) << #field;
  BATTERY2V32_MEMBERS(BATTERY_EXPECT_FIELD)
#undef BATTERY_EXPECT_FIELD
}
