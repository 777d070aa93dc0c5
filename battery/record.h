#pragma once

// The record of one polling cycle: published as SP data 5011, saved as device
// history and restored from the host's cache, always byte for byte. Fields
// are packed back to back, little-endian, floats IEEE-754 single precision:
//
//   offset  size  field
//        0     4  data_id          uint32, the device's data id
//        4   128  cell_voltage     32 x float, volts, cell 0 first
//      132     4  group_voltage    float, volts
//      136     4  group_current    float, amperes
//      140     1  reserved         always 0
//      141     4  temperature      float, degrees (unaligned)
//      145     7  sample_time      host calendar time of the cycle (host/ttime.h)
//      152        end
//
// The record is packed, so its fields can sit at any address. They are read
// and written through the byte copies below, never through a float pointer.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "battery/link.h"
#include "host/ttime.h"

#pragma pack(push, 1)
struct Battery32_Data_t {
  std::uint32_t data_id;
  float cell_voltage[battery_link::kCellCount];
  float group_voltage;
  float group_current;
  std::uint8_t reserved;
  float temperature;
  std::uint8_t sample_time[kTTimeSize];
};
#pragma pack(pop)

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record image is the in-memory structure and must be little-endian");
static_assert(sizeof(float) == 4 && sizeof(std::uint32_t) == 4);
static_assert(std::is_trivially_copyable_v<Battery32_Data_t>);
static_assert(std::is_standard_layout_v<Battery32_Data_t>);
static_assert(sizeof(Battery32_Data_t) == 152);
static_assert(alignof(Battery32_Data_t) == 1);
static_assert(offsetof(Battery32_Data_t, data_id) == 0);
static_assert(offsetof(Battery32_Data_t, cell_voltage) == 4);
static_assert(offsetof(Battery32_Data_t, group_voltage) == 132);
static_assert(offsetof(Battery32_Data_t, group_current) == 136);
static_assert(offsetof(Battery32_Data_t, reserved) == 140);
static_assert(offsetof(Battery32_Data_t, temperature) == 141);
static_assert(offsetof(Battery32_Data_t, sample_time) == 145);

namespace battery_record {

inline constexpr std::size_t kSize = sizeof(Battery32_Data_t);
inline constexpr std::size_t kCellVoltageOffset = offsetof(Battery32_Data_t, cell_voltage);
inline constexpr std::size_t kGroupVoltageOffset = offsetof(Battery32_Data_t, group_voltage);
inline constexpr std::size_t kGroupCurrentOffset = offsetof(Battery32_Data_t, group_current);
inline constexpr std::size_t kReservedOffset = offsetof(Battery32_Data_t, reserved);
inline constexpr std::size_t kTemperatureOffset = offsetof(Battery32_Data_t, temperature);
inline constexpr std::size_t kSampleTimeOffset = offsetof(Battery32_Data_t, sample_time);

inline const unsigned char* Bytes(const Battery32_Data_t& record) {
  return reinterpret_cast<const unsigned char*>(&record);
}
inline unsigned char* Bytes(Battery32_Data_t& record) {
  return reinterpret_cast<unsigned char*>(&record);
}

template <typename T>
T Load(const Battery32_Data_t& record, std::size_t offset) {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, Bytes(record) + offset, sizeof value);
  return value;
}

template <typename T>
void Store(Battery32_Data_t& record, std::size_t offset, const T& value) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(Bytes(record) + offset, &value, sizeof value);
}

inline float CellVoltage(const Battery32_Data_t& record, std::size_t cell) {
  return Load<float>(record, kCellVoltageOffset + cell * sizeof(float));
}

}  // namespace battery_record
