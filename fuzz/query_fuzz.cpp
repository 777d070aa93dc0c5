// query_fuzz: any name as a value query. Against a device with a complete
// record the answer is the record's cell for a cell name, the live value for
// a group name, and "不支持变量" for everything else; a device without data
// and one whose data is too old refuse every name with their own message.
// The hand-written cell-name search must agree with std::regex_search.

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>

#include "battery/link.h"
#include "battery/local_time.h"
#include "battery/record.h"
#include "battery2v_32/cell_name.h"
#include "fuzz/fuzz_support.h"

namespace {

using fuzz_support::Check;
using fuzz_support::FuzzedDevice;

constexpr unsigned int kDataId = 3;
constexpr std::uint8_t kAddress = 0x01;
// libstdc++'s regex matcher recurses once per character, so the reference
// search would overflow the stack on long names; names are cut to this length.
constexpr std::size_t kMaxNameLength = 512;

// The cell number as std::regex_search finds it, read the way the device must
// read it: decimal, leading zeros allowed, nothing that exceeds a 32-bit int.
std::optional<std::int32_t> ReferenceCellNumber(const std::string& name) {
  static const std::regex pattern("battery_(\\d+)_value");
  std::smatch match;
  if (!std::regex_search(name, match, pattern)) return std::nullopt;
  const std::string digits = match[1].str();
  std::int64_t value = 0;
  for (const char digit : digits) {
    value = value * 10 + (digit - '0');
    if (value > INT32_MAX) return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

struct Devices {
  std::shared_ptr<fuzz_support::CheckingController> host =
      std::make_shared<fuzz_support::CheckingController>();
  FuzzedDevice ready;
  FuzzedDevice empty;

  Devices() {
    host->address = kAddress;
    Json::Value host_config(Json::objectValue);
    host_config["address"] = static_cast<Json::UInt>(kAddress);
    ready.Init(host, kDataId, host_config);
    empty.Init(host, kDataId, host_config);
    Check(
        fuzz_support::RunCleanCycle(ready, kAddress, fuzz_support::SpreadCells(), 5350, 125, 2345),
        "the device gets its first record");
  }
};

std::string OutcomeOf(const FuzzedDevice& device, const std::string& name, float& value) {
  try {
    value = device.Get_Value(kDataId, name);
    return {};
  } catch (const std::out_of_range& error) {
    return error.what();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::DiscardStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Devices devices;
  const std::string name(reinterpret_cast<const char*>(data),
                         size < kMaxNameLength ? size : kMaxNameLength);

  const std::optional<std::int32_t> cell = battery2v_32::FindCellNumber(name);
  Check(cell == ReferenceCellNumber(name), "cell-name search agrees with std::regex_search");

  FuzzedDevice& device = devices.ready;
  float value = 0.0f;
  device.last_update_ = LocalNow();
  const std::string outcome = OutcomeOf(device, name, value);
  if (cell && *cell >= 0 && *cell < static_cast<int>(battery_link::kCellCount)) {
    Check(outcome.empty(), "a cell name is answered");
    const float recorded =
        battery_record::CellVoltage(device.data_, static_cast<std::size_t>(*cell));
    Check(fuzz_support::SameBits(value, recorded), "a cell is answered from the record");
  } else if (name == "group_voltage" || name == "group_current" || name == "temperature") {
    Check(outcome.empty(), "a group name is answered");
    const std::size_t offset = name == "group_voltage"   ? battery_record::kGroupVoltageOffset
                               : name == "group_current" ? battery_record::kGroupCurrentOffset
                                                         : battery_record::kTemperatureOffset;
    Check(fuzz_support::SameBits(value, battery_record::Load<float>(device.data_, offset)),
          "a group value is the one of the last cycle");
  } else {
    Check(outcome == "不支持变量", "other names are not supported");
  }

  device.last_update_ = LocalNow() - boost::posix_time::seconds(Battery2V32::kMaxAgeSeconds + 1);
  Check(OutcomeOf(device, name, value) == "数据已超时", "old data is refused first");
  Check(OutcomeOf(devices.empty, name, value) == "数据未就绪", "no data is refused first");
  return 0;
}
