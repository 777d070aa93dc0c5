// What the end-to-end test of the status page cannot bring about with the
// shipped example: a device without a record, a port that is down, a port
// name that needs escaping, values that are not finite, a stale or silent
// device, a cell past its limit, and a gauge another output adds.

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "battery/record.h"
#include "programs/battery-host/outputs/http/devices_api.h"
#include "programs/battery-host/outputs/http/metrics.h"
#include "programs/battery-host/state/threshold_monitor.h"

namespace {

using Clock = DeviceState::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

struct Fixture {
  Fixture() {
    with_record.data_id = 7;
    with_record.completed = 4;
    with_record.poll_period = milliseconds(1000);
    Battery32_Data_t record{};
    battery_record::Store(record, battery_record::kCellVoltageOffset + 4 * 5, 2.5f);
    battery_record::Store(record, battery_record::kTemperatureOffset,
                          std::numeric_limits<float>::quiet_NaN());
    with_record.newest = HostRecord{record, {}};
    with_record.newest_at = now - milliseconds(2500);  // older than two poll periods
    without_record.data_id = 8;
    without_record.silent = true;
    thresholds.cells[5] = ThresholdState::kHigh;
  }
  std::vector<DeviceStatus> Devices() const {
    const AnswerTiming learned{microseconds(45'500), 64,   microseconds(5'100), microseconds(5'200),
                               microseconds(5'600),  false};
    const AnswerTiming dead{microseconds(88'000), 0, {}, {}, {}, true};
    return {
        {&with_record, &thresholds, &odd_port, &name, 0, 0x81, &limits, false, 1, 12, learned},
        {&without_record, &no_crossings, &odd_port, &name, 0, 0x82, &limits, false, 3, 0, dead}};
  }

  Clock::time_point now = Clock::now();
  DeviceState with_record, without_record;
  ThresholdStates thresholds, no_crossings;
  std::string odd_port = "/dev/a\"b\\c\nd";
  std::string name = "Battery monitor";
  ThresholdMonitor limits{{}};
};

void ExpectContains(const std::string& out, std::initializer_list<const char*> parts) {
  for (const char* part : parts) {
    EXPECT_NE(out.find(part), std::string::npos) << part << "\nin\n" << out;
  }
}

TEST(MetricsTest, WritesEveryDeviceAndEscapesLabels) {
  const Fixture f;
  Metrics metrics;
  metrics.AddHostGauge("battery_broker_connected", "1 while connected.", [] { return 1.0; });
  metrics.AddDeviceGauge("battery_outbox_messages", "Messages waiting.",
                         [](const DeviceState& device) -> std::optional<double> {
                           if (device.data_id == 8) return std::nullopt;
                           return 3.0;
                         });
  std::string out;
  metrics.Write(f.Devices(), f.now, out);

  ExpectContains(
      out,
      {
          "battery_cell_voltage_volts{data_id=\"7\",cell=\"6\",variable=\"battery_5_value\"} "
          "2.5\n",
          "battery_temperature_celsius{data_id=\"7\"} NaN\n",
          "battery_record_age_seconds{data_id=\"7\"} 2.5\n",
          "battery_cycles_total{data_id=\"7\",outcome=\"given_up\"} 1\n",
          "battery_cycles_total{data_id=\"8\",outcome=\"completed\"} 0\n",
          "battery_stale_bytes_total{data_id=\"7\"} 12\n",
          "battery_answer_timeout_seconds{data_id=\"7\"} 0.0455\n",
          "battery_answer_latency_seconds{data_id=\"7\",percentile=\"99\"} 0.0056\n",
          "battery_device_probed{data_id=\"8\"} 1\n",
          // A port two devices share is one sample.
          "# TYPE battery_port_up gauge\nbattery_port_up{port=\"/dev/a\\\"b\\\\c\\nd\"} 0\n# HELP",
          "# TYPE battery_outbox_messages gauge\nbattery_outbox_messages{data_id=\"7\"} 3\n# HELP",
          "# TYPE battery_broker_connected gauge\nbattery_broker_connected 1\n",
      });
  // Without a record of this run, no record samples.
  EXPECT_EQ(out.find("battery_group_voltage_volts{data_id=\"8\"}"), std::string::npos) << out;
  EXPECT_EQ(out.find("battery_record_age_seconds{data_id=\"8\"}"), std::string::npos) << out;
  EXPECT_EQ(out.find("battery_answer_latency_seconds{data_id=\"8\""), std::string::npos) << out;
}

TEST(DevicesApiTest, SaysFreshnessThresholdsAndMissingRecords) {
  const Fixture f;
  DevicesApi api(milliseconds(1000));
  std::string out;
  api.Write(f.Devices(), f.now, out);

  ExpectContains(out,
                 {
                     "\"status\":\"stale\"",
                     "\"status\":\"silent\"",
                     "\"record\":null,\"record_age_s\":null",
                     "\"cells\":[\"normal\",\"normal\",\"normal\",\"normal\",\"normal\",\"high\",",
                     "\"temperature\":null",
                     "\"port\":\"/dev/a\\\"b\\\\c\\nd\",\"port_down_events\":0,\"port_up\":false",
                     "\"refresh_ms\":1000",
                     "\"latency_ms\":{\"p50\":5.1,\"p90\":5.2,\"p99\":5.6,\"samples\":64}",
                     "\"answer_timeout_ms\":88.0,",
                     "\"latency_ms\":null",
                 });
}

}  // namespace
