#pragma once

// The value query as a straightforward reading of the cell-name rule writes
// it: build the pattern battery_(\d+)_value for every query and search the
// name with std::regex. Everything else is as in Battery2V32::Get_Value, so
// that the two differ only in how the cell name is found.

#include <cstdint>
#include <regex>
#include <stdexcept>
#include <string>

#include "battery/local_time.h"
#include "battery/record.h"
#include "battery2v_32/battery2v_32.h"

namespace bench {

class RegexBaselineBattery2V32 : public Battery2V32 {
 public:
  float Get_Value(unsigned int data_id, const std::string& name) const override {
    if (!data_ready_) throw std::out_of_range("数据未就绪");
    if (last_update_.is_special() ||
        static_cast<std::int64_t>((LocalNow() - last_update_).total_seconds()) > kMaxAgeSeconds) {
      throw std::out_of_range("数据已超时");
    }
    const std::regex pattern("battery_(\\d+)_value");
    std::smatch match;
    if (std::regex_search(name, match, pattern)) {
      try {
        const int cell = std::stoi(match[1].str());
        if (cell >= 0 && cell < cell_count_) {
          return battery_record::CellVoltage(data_, static_cast<std::size_t>(cell));
        }
      } catch (const std::out_of_range&) {
        // A number too large for int is no cell of this device.
      }
    }
    return Battery::Get_Value(data_id, name);
  }
};

}  // namespace bench
