#include "battery2v_32/battery2v_32.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "battery/byte_order.h"
#include "battery/local_time.h"
#include "battery/variable_names.h"
#include "battery2v_32/cell_name.h"

namespace record = battery_record;
using battery_link::kCellCount;

static_assert(sizeof(std::array<float, kCellCount>) == sizeof(Battery32_Data_t::cell_voltage));

Battery2V32::Battery2V32() {
  device_type_ = "battery2v_32";
}

Battery2V32::~Battery2V32() = default;

// ---------------------------------------------------------------------------
// Cell-voltage answer

int Battery2V32::ProcessBatteryVoltage() {
  const std::size_t answer_size = AnswerSize(RequestKind::kCellVoltages);
  if (rx_length_ < answer_size) return 1;  // keep gathering
  const bool accepted = HeldAnswerIsValid(answer_size);
  rx_length_ = 0;  // consumed whatever the outcome; bytes behind the answer are dropped
  if (!accepted) return GiveUp();
  for (std::size_t i = 0; i < kCellCount; ++i) {
    // The monitor may count its cells from the other end of the string.
    const std::size_t position = dir_ != 0 ? kCellCount - 1 - i : i;
    const auto raw = static_cast<float>(byte_order::ReadBigEndian<std::uint16_t>(
        rx_buffer_, battery_link::kCellAnswerValuesOffset + 2 * i));
    float volts = raw / 1000.0f;
    volts = volts + battery_adjust_;
    // Written so that a value that is not a number fails the window as well.
    const bool plausible = volts >= kMinCellVoltage && volts <= kMaxCellVoltage;
    cells_[position] = plausible ? volts : 0.0f;
  }
  CallGroupVoltage();
  return 1;
}

// ---------------------------------------------------------------------------
// Value queries

float Battery2V32::Get_Value(unsigned int data_id, const std::string& name) const {
  if (!data_ready_) throw std::out_of_range("数据未就绪");
  // A clock set back gives a negative age, which is answered.
  if (last_update_.is_special() ||
      static_cast<std::int64_t>((LocalNow() - last_update_).total_seconds()) > kMaxAgeSeconds) {
    throw std::out_of_range("数据已超时");
  }
  const auto cell = battery2v_32::FindCellNumber(name);
  if (cell && *cell >= 0 && *cell < CheckedCellCount()) {
    return record::CellVoltage(data_, static_cast<std::size_t>(*cell));
  }
  return Battery::Get_Value(data_id, name);
}

// ---------------------------------------------------------------------------
// Cache

int Battery2V32::LoadFromCache(const unsigned char* data, int length) {
  if (data == nullptr || length != static_cast<int>(record::kSize)) return 0;
  std::memcpy(&data_, data, record::kSize);
  group_voltage_ = record::Load<float>(data_, record::kGroupVoltageOffset);
  group_current_ = record::Load<float>(data_, record::kGroupCurrentOffset);
  temperature_ = record::Load<float>(data_, record::kTemperatureOffset);
  data_ready_ = true;
  last_update_ = LocalNow();
  return 1;
}

// ---------------------------------------------------------------------------
// End of cycle: change detection, record update, threshold checks

void Battery2V32::RunCheckThreshold() {
  retry_count_ = 0;
  if (ChangedSinceRecord()) changed_ = true;
  CopyMeasurementsIntoRecord();
  CheckGroupThresholds();
  const int cells = CheckedCellCount();
  const CellNames names{battery2v_32::CellLabels::VariableNames(),
                        labels_.DisplayNames(battery_start_)};
  if (active_batteries_.empty()) {
    for (int cell = 0; cell < cells; ++cell) CheckCellThreshold(cell, names);
    return;
  }
  for (const int cell : active_batteries_) {
    if (cell >= 0 && cell < cells) CheckCellThreshold(cell, names);
  }
}

int Battery2V32::CheckedCellCount() const {
  if (cell_count_ < 0) return 0;
  return cell_count_ < static_cast<int>(kCellCount) ? cell_count_ : static_cast<int>(kCellCount);
}

// Differences are formed in single precision and compared as doubles; a
// difference that is not a number is no change.
bool Battery2V32::ChangedSinceRecord() const {
  constexpr double kGroupVoltageStep = 0.01;
  constexpr double kCellVoltageStep = 0.005;
  const float group_delta =
      std::fabs(record::Load<float>(data_, record::kGroupVoltageOffset) - group_voltage_);
  if (static_cast<double>(group_delta) >= kGroupVoltageStep) return true;
  const auto cells = static_cast<std::size_t>(CheckedCellCount());
  for (std::size_t i = 0; i < cells; ++i) {
    const float cell_delta = std::fabs(record::CellVoltage(data_, i) - cells_[i]);
    if (static_cast<double>(cell_delta) >= kCellVoltageStep) return true;
  }
  return false;
}

void Battery2V32::CopyMeasurementsIntoRecord() {
  std::memcpy(record::Bytes(data_) + record::kCellVoltageOffset, cells_.data(), sizeof cells_);
  record::Store(data_, record::kGroupVoltageOffset, group_voltage_);
  record::Store(data_, record::kGroupCurrentOffset, group_current_);
  record::Store(data_, record::kReservedOffset, std::uint8_t{0});
  record::Store(data_, record::kTemperatureOffset, temperature_);
}

void Battery2V32::CheckGroupThresholds() {
  static const std::string kGroupVoltageLabel = "整组电压";
  static const std::string kGroupCurrentLabel = "电流";
  static const std::string kTemperatureLabel = "温度";
  if (group_voltage_valid_) {
    CheckThreshold(battery_names::kGroupVoltage, kGroupVoltageLabel, group_voltage_, 1);
  }
  CheckThreshold(battery_names::kGroupCurrent, kGroupCurrentLabel, group_current_, 1);
  CheckThreshold(battery_names::kTemperature, kTemperatureLabel, temperature_, 1);
}

void Battery2V32::CheckCellThreshold(int cell, const CellNames& names) {
  const auto index = static_cast<std::size_t>(cell);
  const float value = record::CellVoltage(data_, index);
  CheckThreshold(names.variable[index], names.display[index], value, cell + 1);
}
