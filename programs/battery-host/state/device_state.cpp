#include "programs/battery-host/state/device_state.h"

#include "battery/variable_names.h"
#include "battery2v_32/cell_name.h"

const char* ThresholdStateName(ThresholdState state) {
  static constexpr const char* kNames[] = {"normal", "high", "low"};
  return kNames[static_cast<std::size_t>(state)];
}

ThresholdState* ThresholdStates::Find(std::string_view name) {
  static const std::pair<const std::string&, ThresholdState ThresholdStates::*> kGroupValues[] = {
      {battery_names::kGroupVoltage, &ThresholdStates::group_voltage},
      {battery_names::kGroupCurrent, &ThresholdStates::group_current},
      {battery_names::kTemperature, &ThresholdStates::temperature}};
  for (const auto& [group_name, member] : kGroupValues) {
    if (name == group_name) return &(this->*member);
  }
  if (!battery2v_32::IsCellName(name, cells.size())) return nullptr;
  return &cells[static_cast<std::size_t>(*battery2v_32::FindCellNumber(name))];
}

Freshness FreshnessOf(const DeviceState& device, DeviceState::Clock::time_point now) {
  if (device.silent) return Freshness::kSilent;
  const bool recent = device.newest && now - device.newest_at < 2 * device.poll_period;
  return recent ? Freshness::kLive : Freshness::kStale;
}

const char* FreshnessName(Freshness freshness) {
  static constexpr const char* kNames[] = {"live", "stale", "silent"};
  return kNames[static_cast<std::size_t>(freshness)];
}
