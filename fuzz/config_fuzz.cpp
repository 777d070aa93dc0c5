// config_fuzz: any text as the device's JSON configuration. The text that
// jsoncpp accepts goes to InitSetting a few times, with control codes in
// between, the way a host re-reads a configuration; only jsoncpp's own
// exceptions may leave InitSetting. A polling cycle afterwards must still run
// and publish only values that a monitor can have sent.

#include <json/reader.h>
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "battery/link.h"
#include "battery/record.h"
#include "fuzz/fuzz_support.h"

namespace {

using fuzz_support::Check;

constexpr unsigned int kDataId = 42;
// Each call appends to the device's lists; a few calls show what repetition
// does without letting one large but valid input exhaust the memory limit.
constexpr int kConfigurationCalls = 3;
constexpr int kSetSaveInterval = Battery::kControlSetSaveInterval;

bool Parse(const std::uint8_t* data, std::size_t size, Json::Value& config) {
  const Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const char* text = reinterpret_cast<const char*>(data);
  std::string errors;
  return reader->parse(text, text + size, &config, &errors);
}

void Configure(fuzz_support::FuzzedDevice& device, const Json::Value& config) {
  try {
    Check(device.InitSetting(config) == 1, "InitSetting returns 1");
  } catch (const Json::Exception&) {
    // An array or object where a single value belongs: jsoncpp's error is the
    // host's to handle.
  } catch (const std::exception& error) {
    std::fprintf(stderr, "InitSetting threw: %s\n", error.what());
    fuzz_support::Fail("only jsoncpp's exceptions leave InitSetting");
  } catch (...) {
    fuzz_support::Fail("only jsoncpp's exceptions leave InitSetting");
  }
}

void ControlCodes(fuzz_support::FuzzedDevice& device, std::uint16_t minutes) {
  int result = -7;
  Check(device.DeviceIoControl(kSetSaveInterval, nullptr, 0, nullptr, 0, result) == 0,
        "control code 100 without input returns 0");
  Check(device.DeviceIoControl(kSetSaveInterval, &minutes, sizeof minutes, nullptr, 0, result) == 0,
        "control code 100 returns 0");
  Check(device.DeviceIoControl(kSetSaveInterval + 1, &minutes, sizeof minutes, nullptr, 0,
                               result) == 0,
        "other control codes return 0");
  Check(result == -7, "control codes leave the result alone");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::DiscardStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Json::Value config;
  if (!Parse(data, size, config)) return 0;

  const auto host = std::make_shared<fuzz_support::CheckingController>();
  fuzz_support::FuzzedDevice device;
  Json::Value host_config(Json::objectValue);
  host_config["address"] = 0x81u;
  device.Init(host, kDataId, host_config);
  for (int call = 0; call < kConfigurationCalls; ++call) {
    Configure(device, config);
    ControlCodes(device, static_cast<std::uint16_t>(size * 977u + static_cast<unsigned>(call)));
  }
  Check(battery_record::Load<std::uint32_t>(device.data_, 0) == kDataId,
        "record carries the data id");

  // Whatever the settings, a cycle of valid answers completes and publishes.
  host->address = device.device_address_;
  Check(fuzz_support::RunCleanCycle(device, device.device_address_, fuzz_support::SpreadCells(),
                                    5350, 2500, 2345),
        "a clean cycle completes after any configuration");
  Check(host->published == 1 && host->saved == 1, "one record published and saved");
  for (std::size_t i = battery_record::kCellVoltageOffset; i < battery_record::kSampleTimeOffset;
       ++i) {
    Check(host->last_published[i] == 0, "first publication holds no measurements");
  }
  fuzz_support::CheckMeasuredRecord(host->last_saved);
  return 0;
}
