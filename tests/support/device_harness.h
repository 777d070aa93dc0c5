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

// Every member of a Battery2V32, the host's included, once: (member, the
// name of its copy in a DeviceSnapshot). The probe below exposes them; the
// snapshot (device_snapshot.h) copies and compares them.
// clang-format off
#define BATTERY2V32_MEMBERS(X)                                 \
  /* host members */                                           \
  X(data_id_, data_id)                                         \
  X(cycle_status_, cycle_status)                               \
  X(last_update_, last_update)                                 \
  X(data_ready_, data_ready)                                   \
  X(changed_, changed)                                         \
  X(batch_rules_, batch_rules)                                 \
  X(ao_names_, ao_names)                                       \
  X(ao_values_, ao_values)                                     \
  X(level_map_, level_map)                                     \
  X(value_map_, value_map)                                     \
  X(device_address_, device_address)                           \
  X(rx_buffer_, held) /* the rx_length_ bytes held */          \
  X(baud_rate_, baud_rate)                                     \
  /* Battery */                                                \
  X(cmd_type_, cmd_type)                                       \
  X(version_, version)                                         \
  X(dir_, dir)                                                 \
  X(retry_count_, retry_count)                                 \
  X(group_voltage_, group_voltage)                             \
  X(group_current_, group_current)                             \
  X(temperature_, temperature)                                 \
  X(battery_type_, battery_type)                               \
  X(group_a_, group_a)                                         \
  X(group_b_, group_b)                                         \
  X(battery_adjust_, battery_adjust)                           \
  X(active_batteries_, active_batteries)                       \
  X(group_voltage_ids_, group_voltage_ids)                     \
  X(group_voltage_valid_, group_voltage_valid)                 \
  X(battery_start_, battery_start)                             \
  X(current_ratio_, current_ratio)                             \
  X(r_data_id_, r_data_id)                                     \
  X(r_current_field_, r_current_field)                         \
  X(save_interval_, save_interval)                             \
  X(t0_, t0)                                                   \
  X(t31_, t31)                                                 \
  /* UniDataDevice and Battery2V32 */                          \
  X(data_, record)                                             \
  X(b_mode_, b_mode)                                           \
  X(alarm_desc_, alarm_desc)                                   \
  X(signal_names_, signal_names)                               \
  X(cells_, cells)                                             \
  X(cell_count_, cell_count)
// clang-format on

// Exposes the device's members to the tests.
class Battery2V32Probe : public Battery2V32 {
 public:
#define BATTERY_EXPOSE(member, field) using Battery2V32::member;
  BATTERY2V32_MEMBERS(BATTERY_EXPOSE)
#undef BATTERY_EXPOSE
  using Battery2V32::rx_length_;  // held in the snapshot as the length of `held`
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
