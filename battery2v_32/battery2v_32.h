#pragma once

// Battery2V32: a monitor of one string of 32 cells of 2 V. It decodes the
// cell-voltage answer, answers value queries per cell and runs the change
// detection and threshold checks at the end of every polling cycle.

#include <array>
#include <string>

#include "battery/battery.h"
#include "battery/record.h"
#include "battery/uni_data_device.h"
#include "battery2v_32/cell_labels.h"

inline constexpr int kBattery32SpDataId = 5011;

class Battery2V32 : public UniDataDevice<Battery32_Data_t, Battery, kBattery32SpDataId> {
 public:
  using DeviceBase = UniDataDevice<Battery32_Data_t, Battery, kBattery32SpDataId>;

  // Decoded cell voltages outside this window (volts, after the offset) are stored as 0.
  static constexpr float kMinCellVoltage = 1.0f;
  static constexpr float kMaxCellVoltage = 4.0f;
  // Seconds without activity after which value queries are refused.
  static constexpr long kMaxAgeSeconds = 60;

  Battery2V32();
  ~Battery2V32() override;

  using DeviceBase::LoadFromCache;
  float Get_Value(unsigned int data_id, const std::string& name) const override;
  int LoadFromCache(const unsigned char* data, int length) override;
  int ProcessBatteryVoltage() override;
  void RunCheckThreshold() override;

 protected:
  std::array<float, battery_link::kCellCount> cells_{};
  // Cells that queries answer and threshold checks cover: always 32 in the
  // plug-in. Kept as a member because tests set fewer to check both bounds.
  int cell_count_ = static_cast<int>(battery_link::kCellCount);

 private:
  int CheckedCellCount() const;
  bool ChangedSinceRecord() const;
  void CopyMeasurementsIntoRecord();
  void CheckGroupThresholds();
  // The variable and display names of every cell, for one cycle's checks.
  struct CellNames {
    const battery2v_32::CellLabels::Names& variable;
    const battery2v_32::CellLabels::Names& display;
  };
  void CheckCellThreshold(int cell, const CellNames& names);

  battery2v_32::CellLabels labels_;
};
