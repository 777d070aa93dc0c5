#pragma once

// A Battery2V32 on a recording host. The host writes every call the device
// makes as one trace line (see programs/battery-host/replay/trace_controller.h), so a
// test reads like the wire trace it checks; published and saved records are
// also kept as bytes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "battery/record.h"
#include "battery2v_32/battery2v_32.h"
#include "programs/battery-host/replay/trace_controller.h"
#include "tests/support/frames.h"

// Exposes the device's members to the tests.
class Battery2V32Probe : public Battery2V32 {
 public:
  using Battery2V32::active_batteries_;
  using Battery2V32::alarm_desc_;
  using Battery2V32::ao_names_;
  using Battery2V32::ao_values_;
  using Battery2V32::b_mode_;
  using Battery2V32::batch_rules_;
  using Battery2V32::battery_adjust_;
  using Battery2V32::battery_start_;
  using Battery2V32::battery_type_;
  using Battery2V32::baud_rate_;
  using Battery2V32::cell_count_;
  using Battery2V32::cells_;
  using Battery2V32::changed_;
  using Battery2V32::cmd_type_;
  using Battery2V32::current_ratio_;
  using Battery2V32::cycle_status_;
  using Battery2V32::data_;
  using Battery2V32::data_ready_;
  using Battery2V32::device_address_;
  using Battery2V32::dir_;
  using Battery2V32::group_a_;
  using Battery2V32::group_b_;
  using Battery2V32::group_current_;
  using Battery2V32::group_voltage_;
  using Battery2V32::group_voltage_ids_;
  using Battery2V32::group_voltage_valid_;
  using Battery2V32::last_update_;
  using Battery2V32::level_map_;
  using Battery2V32::r_current_field_;
  using Battery2V32::r_data_id_;
  using Battery2V32::retry_count_;
  using Battery2V32::rx_buffer_;
  using Battery2V32::rx_length_;
  using Battery2V32::save_interval_;
  using Battery2V32::signal_names_;
  using Battery2V32::t0_;
  using Battery2V32::t31_;
  using Battery2V32::temperature_;
  using Battery2V32::value_map_;
  using Battery2V32::version_;
};

class RecordingController : public TraceController {
 public:
  RecordingController()
      : TraceController([this](const std::string& line) { events.push_back(line); }) {}

  int SendSP(PXHVDevice& device, int sp_id, const unsigned char* data, unsigned int length,
             bool flag) override {
    published.emplace_back(data, data + length);
    return TraceController::SendSP(device, sp_id, data, length, flag);
  }
  int SaveDeviceHistory(PXHVDevice& device, const unsigned char* data,
                        unsigned int length) override {
    saved.emplace_back(data, data + length);
    return TraceController::SaveDeviceHistory(device, data, length);
  }

  std::vector<std::string> events;
  std::vector<test_frames::Bytes> published;
  std::vector<test_frames::Bytes> saved;
};

inline Battery32_Data_t RecordFrom(const test_frames::Bytes& bytes) {
  Battery32_Data_t record{};
  EXPECT_EQ(bytes.size(), sizeof record);
  std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
  return record;
}

class DeviceTest : public ::testing::Test {
 public:
  static constexpr unsigned int kDataId = 7;
  // The host stores the address with its top bit set; InitSetting clears it.
  static constexpr std::uint8_t kAddress = 0x01;

  // The trace line of a request to the test's monitor.
  static std::string Tx(std::uint8_t command) {
    return "tx " + test_frames::Hex(test_frames::Request(kAddress, command));
  }

 protected:
  DeviceTest() {
    device.Init(host, kDataId, Json::Value(Json::objectValue));
    device.device_address_ = kAddress;
  }

  // Address as the monitor answers, after InitSetting with `config`.
  void Configure(const Json::Value& config = Json::Value(Json::objectValue)) {
    device.device_address_ = static_cast<std::uint8_t>(kAddress | 0x80);
    device.InitSetting(config);
    host->events.clear();
  }

  int Tick() { return device.RefreshStatus(); }
  int Rx(test_frames::Bytes bytes) {
    return device.process(bytes.data(), static_cast<unsigned int>(bytes.size()));
  }
  std::vector<std::string> TakeEvents() { return std::exchange(host->events, {}); }

  // One clean polling cycle with the given answers; returns what process returned last.
  int RunCycle(const test_frames::CellRaw& cells, std::uint16_t group_raw,
               std::uint16_t current_raw, std::uint16_t temperature_raw) {
    Tick();
    Rx(test_frames::CellAnswer(kAddress, cells));
    Rx(test_frames::ShortAnswer(kAddress, group_raw));
    Rx(test_frames::ShortAnswer(kAddress, current_raw));
    return Rx(test_frames::ShortAnswer(kAddress, temperature_raw));
  }

  std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
  Battery2V32Probe device;
};
