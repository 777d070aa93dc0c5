#pragma once

// Host-side access to the state that the framework keeps in every device.
// Host programs use it to set up and inspect devices; device plug-ins never
// include this header.

#include <boost/date_time/posix_time/ptime.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/device.h"

struct DeviceAccess {
  static bool& DataReady(PXHVDevice& d) { return d.data_ready_; }
  static bool& Changed(PXHVDevice& d) { return d.changed_; }
  static std::int16_t& CycleStatus(PXHVDevice& d) { return d.cycle_status_; }
  static boost::posix_time::ptime& LastUpdate(PXHVDevice& d) { return d.last_update_; }
  static std::vector<rule_value>& BatchRules(PXHVDevice& d) { return d.batch_rules_; }
  static std::vector<std::string>& AoNames(PXHVDevice& d) { return d.ao_names_; }
  static std::map<std::string, float>& AoValues(PXHVDevice& d) { return d.ao_values_; }
  static std::map<std::string, int>& LevelMap(PXHVDevice& d) { return d.level_map_; }
  static std::map<std::string, float>& ValueMap(PXHVDevice& d) { return d.value_map_; }
  static std::uint8_t& Address(PXHSPDevice& d) { return d.device_address_; }
  static std::uint32_t RxLength(const PXHSPDevice& d) { return d.rx_length_; }
  static std::uint32_t BaudRate(const PXHSPDevice& d) { return d.baud_rate_; }
};
