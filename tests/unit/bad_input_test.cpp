// Bad input of every kind the device meets: answers it must reject, silence,
// chunks past the gathering bound, configurations jsoncpp cannot convert,
// cache images of the wrong size, queries it cannot answer, and host calls
// that throw. Each test shows the documented outcome and compares the whole
// device state before and after, so that nothing else changes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <json/reader.h>
#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <climits>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "battery/local_time.h"
#include "tests/support/device_harness.h"
#include "tests/support/device_snapshot.h"

namespace {

using test_frames::Bytes;
using test_frames::CellAnswer;
using test_frames::RisingCells;
using test_frames::ShortAnswer;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::uint8_t kA1 = 0xA1;

class BadInputTest : public DeviceTest {
 protected:
  // A configured device with one complete cycle behind it, so that a bad
  // input has values, a record and a history it could disturb.
  BadInputTest() {
    Json::Value config;
    config["appSetting"]["version"] = 2;
    config["appSetting"]["active_batteries"].append(3);
    Configure(config);
    testing::internal::CaptureStdout();
    RunCycle(RisingCells(2100, 5), 5350, 125, 2345);
    testing::internal::GetCapturedStdout();
    TakeEvents();
    host->published.clear();
    host->saved.clear();
    // Host state that no bad input may touch.
    device.batch_rules_.resize(2);
    device.ao_names_ = {"ao_1"};
    device.ao_values_["ao_1"] = 0.5f;
  }

  // Brings the next cycle to the request of `kind` (1 to 4), with one of its
  // re-sends spent, and marks the last activity as old, so that a fresh stamp
  // shows.
  void OutstandingRequest(int kind) {
    Tick();
    Tick();
    if (kind > 1) Rx(CellAnswer(kAddress, RisingCells(2200, 3)));
    if (kind > 2) Rx(ShortAnswer(kAddress, 5400));
    if (kind > 3) Rx(ShortAnswer(kAddress, 130));
    ASSERT_EQ(device.cmd_type_, kind);
    ASSERT_EQ(device.retry_count_, 1);
    TakeEvents();
    MakeActivityOld();
  }

  void MakeActivityOld() { device.last_update_ = LocalNow() - boost::posix_time::minutes(10); }

  DeviceSnapshot Snapshot() const { return DeviceSnapshot::Of(device); }

  // The last activity is now: the bad input was received.
  static void ExpectFreshStamp(const DeviceSnapshot& after) {
    EXPECT_LE((LocalNow() - after.last_update).total_seconds(), 1);
  }

  // The next poll tick starts a new cycle with the cell-voltage request.
  void ExpectNextTickStartsANewCycle() {
    Tick();
    EXPECT_THAT(TakeEvents(), ElementsAre("refresh", Tx(kA1)));
    EXPECT_EQ(device.cmd_type_, 1);
    EXPECT_EQ(device.retry_count_, 0);
  }
};

// ---------------------------------------------------------------------------
// Answers that are given up

struct RejectedAnswer {
  const char* what;
  int kind;        // the request outstanding
  Bytes chunk;     // what arrives
  Bytes held;      // what stays held after it
  std::size_t at;  // bytes already held when it arrives (taken from the answer)
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const RejectedAnswer& c, std::ostream* out) {
  *out << c.what;
}

Bytes Damaged(Bytes frame, std::size_t at, std::uint8_t value) {
  frame[at] = value;
  return frame;
}

Bytes WithChecksum(Bytes frame) {
  frame.back() = test_frames::Checksum(frame, 1, frame.size() - 1);
  return frame;
}

const Bytes kShort = ShortAnswer(DeviceTest::kAddress, 2500);
const Bytes kCells = CellAnswer(DeviceTest::kAddress, RisingCells(3000, 1));

class RejectedAnswerTest : public BadInputTest,
                           public ::testing::WithParamInterface<RejectedAnswer> {};

TEST_P(RejectedAnswerTest, GivesTheRequestUpAndChangesNothingElse) {
  const RejectedAnswer& c = GetParam();
  OutstandingRequest(c.kind);
  if (c.at > 0) {
    // An answer that has begun: its lead byte is taken as it is.
    std::copy(c.chunk.begin(), c.chunk.begin() + static_cast<long>(c.at),
              device.rx_buffer_.begin());
    device.rx_length_ = static_cast<std::uint32_t>(c.at);
  }
  DeviceSnapshot expected = Snapshot();

  EXPECT_EQ(Rx(Bytes(c.chunk.begin() + static_cast<long>(c.at), c.chunk.end())), 0) << c.what;

  const DeviceSnapshot after = Snapshot();
  ExpectFreshStamp(after);
  expected.last_update = after.last_update;
  expected.cmd_type = 0;
  expected.held = c.held;
  ExpectSameState(expected, after);
  EXPECT_THAT(TakeEvents(), IsEmpty()) << "nothing sent, published or reported";
  EXPECT_THAT(host->published, IsEmpty());
  ExpectNextTickStartsANewCycle();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Line, RejectedAnswerTest,
    ::testing::Values(
        RejectedAnswer{"group voltage, lead byte FE", 2, Damaged(kShort, 0, 0xFE), {}, 1},
        RejectedAnswer{"current, lead byte EE", 3, Damaged(kShort, 0, 0xEE), {}, 1},
        RejectedAnswer{"temperature, other address", 4, WithChecksum(Damaged(kShort, 1, 0x02)), {}, 0},
        RejectedAnswer{"group voltage, checksum", 2, Damaged(kShort, 4, 0xCF), {}, 0},
        RejectedAnswer{"temperature, checksum FE", 4, Damaged(kShort, 4, 0xFE), {}, 0},
        RejectedAnswer{"current, too few bytes", 3, Bytes(kShort.begin(), kShort.begin() + 4), Bytes(kShort.begin(), kShort.begin() + 4), 0},
        RejectedAnswer{"current, no lead byte at all", 3, {0x01, 0x09, 0xC4, 0xCE, 0x00}, {}, 0},
        RejectedAnswer{"cells, lead byte FE", 1, Damaged(kCells, 0, 0xFE), {}, 1},
        RejectedAnswer{"cells, other address", 1, WithChecksum(Damaged(kCells, 1, 0x7F)), {}, 0},
        RejectedAnswer{"cells, checksum", 1, Damaged(kCells, 66, 0x00), {}, 0},
        RejectedAnswer{"cells, value changed", 1, Damaged(kCells, 20, 0xFF), {}, 0}));
// clang-format on

TEST_F(BadInputTest, IncompleteCellAnswerOnlyWaits) {
  OutstandingRequest(1);
  DeviceSnapshot expected = Snapshot();
  const Bytes part(kCells.begin(), kCells.begin() + 66);

  EXPECT_EQ(Rx(part), 1);

  const DeviceSnapshot after = Snapshot();
  ExpectFreshStamp(after);
  expected.last_update = after.last_update;
  expected.held = part;
  ExpectSameState(expected, after);
  EXPECT_THAT(TakeEvents(), IsEmpty());
}

TEST_F(BadInputTest, ChunkReachingTheBoundIsRefusedWithoutStoringAByte) {
  OutstandingRequest(1);
  Rx(Bytes(kCells.begin(), kCells.begin() + 10));
  MakeActivityOld();
  const auto buffer_before = device.rx_buffer_;
  DeviceSnapshot expected = Snapshot();

  EXPECT_EQ(Rx(Bytes(71, 0xED)), 0);

  const DeviceSnapshot after = Snapshot();
  ExpectFreshStamp(after);
  expected.last_update = after.last_update;
  expected.cmd_type = 0;
  expected.held.clear();
  ExpectSameState(expected, after);
  EXPECT_EQ(device.rx_buffer_, buffer_before) << "nothing of the chunk is stored";
  EXPECT_THAT(TakeEvents(), IsEmpty());
  ExpectNextTickStartsANewCycle();
}

TEST_F(BadInputTest, SilentMonitorOnlyResendsAndRestarts) {
  OutstandingRequest(1);
  DeviceSnapshot expected = Snapshot();
  // One re-send is spent already; two remain.
  Tick();
  Tick();
  EXPECT_THAT(TakeEvents(), ElementsAre(Tx(kA1), Tx(kA1)));

  DeviceSnapshot after = Snapshot();
  ExpectFreshStamp(after);
  expected.last_update = after.last_update;
  expected.retry_count = 3;
  ExpectSameState(expected, after);

  ExpectNextTickStartsANewCycle();
  after = Snapshot();
  expected.last_update = after.last_update;
  expected.retry_count = 0;
  ExpectSameState(expected, after);
  EXPECT_THAT(host->published, IsEmpty());
  EXPECT_THAT(host->saved, IsEmpty());
}

// ---------------------------------------------------------------------------
// Host calls that throw leave the device towards the host

class ThrowingHost : public RecordingController {
 public:
  bool throw_on_peer = false;
  bool throw_on_publish = false;

  float Get_SP_Value(PXHVDevice& device, unsigned int data_id, const std::string& name) override {
    if (throw_on_peer) throw std::runtime_error("host lost its database");
    return RecordingController::Get_SP_Value(device, data_id, name);
  }
  int SendSP(PXHVDevice& device, int sp_id, const unsigned char* data, unsigned int length,
             bool flag) override {
    if (throw_on_publish) throw std::runtime_error("publication failed");
    return RecordingController::SendSP(device, sp_id, data, length, flag);
  }
};

class ThrowingHostTest : public ::testing::Test {
 protected:
  ThrowingHostTest() {
    device.Init(host, DeviceTest::kDataId, Json::Value(Json::objectValue));
    device.device_address_ = DeviceTest::kAddress;
  }

  int Rx(Bytes bytes) {
    return device.process(bytes.data(), static_cast<unsigned int>(bytes.size()));
  }

  std::shared_ptr<ThrowingHost> host = std::make_shared<ThrowingHost>();
  Battery2V32Probe device;
};

TEST_F(ThrowingHostTest, PeerLookUpErrorOtherThanOutOfRangeLeavesProcess) {
  device.group_voltage_ids_ = {11};
  device.CallGroupVoltage();
  host->events.clear();
  host->throw_on_peer = true;
  DeviceSnapshot expected = DeviceSnapshot::Of(device);

  EXPECT_THROW(Rx(ShortAnswer(DeviceTest::kAddress, 5350)), std::runtime_error);

  const DeviceSnapshot after = DeviceSnapshot::Of(device);
  expected.last_update = after.last_update;
  expected.group_voltage = 535.0f;  // this device's own part, before the peers
  ExpectSameState(expected, after);
  EXPECT_THAT(host->events, IsEmpty()) << "no current request follows";
}

TEST_F(ThrowingHostTest, PublicationErrorLeavesTheRestOfTheEndOfCycleUndone) {
  device.CallTemperature();
  host->events.clear();
  host->throw_on_publish = true;
  device.ao_names_ = {"ao_1"};
  device.ao_values_["ao_1"] = 1.0f;
  DeviceSnapshot expected = DeviceSnapshot::Of(device);

  EXPECT_THROW(Rx(ShortAnswer(DeviceTest::kAddress, 2345)), std::runtime_error);

  const DeviceSnapshot after = DeviceSnapshot::Of(device);
  // Decoded, the cycle closed and the record stamped; then the error.
  expected.last_update = after.last_update;
  expected.temperature = 23.45f;
  expected.cmd_type = 0;
  expected.data_ready = true;
  std::copy(after.record.begin() + battery_record::kSampleTimeOffset, after.record.end(),
            expected.record.begin() + battery_record::kSampleTimeOffset);
  ExpectSameState(expected, after);
  EXPECT_THAT(host->events, IsEmpty()) << "no reset, threshold, AO report or history";
}

// ---------------------------------------------------------------------------
// Configurations that jsoncpp cannot convert

Json::Value ParseConfig(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value value;
  std::string errors;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors;
  return value;
}

class UnconvertibleConfigTest : public DeviceTest {
 protected:
  UnconvertibleConfigTest() {
    // The address as the host stores it, before InitSetting corrects it.
    device.device_address_ = static_cast<std::uint8_t>(kAddress | 0x80);
  }

  // Runs InitSetting, which must throw jsoncpp's exception; returns the state
  // from before the call.
  DeviceSnapshot ExpectJsonError(const std::string& text) {
    const Json::Value config = ParseConfig(text);
    const DeviceSnapshot before = DeviceSnapshot::Of(device);
    testing::internal::CaptureStdout();
    EXPECT_THROW(device.InitSetting(config), Json::Exception) << text;
    output = testing::internal::GetCapturedStdout();
    return before;
  }

  std::string output;
};

TEST_F(UnconvertibleConfigTest, DeviceSettingKeepsTheKeysReadBeforeIt) {
  DeviceSnapshot expected =
      ExpectJsonError(R"({"appSetting": {"battery_type": 2, "version": [2], "dir": 1}})");
  expected.device_address = kAddress;  // corrected before the settings are read
  expected.battery_type = 2;           // read before the array
  expected.record[0] = kDataId;        // stamped first of all
  ExpectSameState(expected, DeviceSnapshot::Of(device));
  EXPECT_EQ(output, "");
}

TEST_F(UnconvertibleConfigTest, ListElementStopsTheListAndEveryKeyAfterIt) {
  DeviceSnapshot expected =
      ExpectJsonError(R"({"appSetting": {"active_batteries": [4, [5], 6], "battery_start": 3}})");
  expected.device_address = kAddress;
  expected.active_batteries = {4};
  expected.record[0] = kDataId;
  ExpectSameState(expected, DeviceSnapshot::Of(device));

  expected = ExpectJsonError(R"({"appSetting": {"group_voltage": [1001, {"id": 1}], "t0": 1}})");
  expected.device_address = static_cast<std::uint8_t>(kAddress | 0x80);  // corrected again
  expected.group_voltage_ids = {1001};
  ExpectSameState(expected, DeviceSnapshot::Of(device));
}

TEST_F(UnconvertibleConfigTest, ModeAsAnObjectStopsBeforeTheDeviceSettings) {
  DeviceSnapshot expected =
      ExpectJsonError(R"({"appSetting": {"b_mode": {"value": 3}, "version": 2}})");
  expected.record[0] = kDataId;
  ExpectSameState(expected, DeviceSnapshot::Of(device));  // the address is not corrected
  EXPECT_EQ(output, "");
}

TEST_F(UnconvertibleConfigTest, ThresholdPartKeepsTheMembersStoredBeforeIt) {
  DeviceSnapshot expected = ExpectJsonError(R"({
    "appSetting": {"b_mode": 3, "version": 2},
    "thresholdSetting": {
      "a_first": {"SignalName": "A", "NMAlarmID": 1, "ID": 2, "SignalNumber": 3},
      "b_second": {"SignalName": ["B"]},
      "c_third": {"SignalName": "C"}}})");
  expected.record[0] = kDataId;
  expected.b_mode = 3;
  expected.signal_names = {{"a_first", "A"}};
  expected.alarm_desc = {{"a_first", "1;2;3;"}};
  expected.level_map = {{"a_first", 0}};
  expected.value_map = {{"a_first", 0.0f}};
  ExpectSameState(expected, DeviceSnapshot::Of(device));  // no version, no address correction
  EXPECT_EQ(output,
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere a_first\n"
            "mobile:a_first:1;2;3; level:0 value:0\nhere b_second\n");
}

// ---------------------------------------------------------------------------
// Cache images of the wrong size

TEST_F(BadInputTest, RefusedCacheImagesChangeNothing) {
  MakeActivityOld();
  const DeviceSnapshot before = Snapshot();
  const Bytes image(200, 0x41);
  for (const int length : {0, 1, 151, 153, 200, -152, INT_MAX, INT_MIN}) {
    EXPECT_EQ(device.LoadFromCache(image.data(), length), 0) << length;
  }
  EXPECT_EQ(device.LoadFromCache(nullptr, 152), 0);
  for (const std::size_t size : {0u, 151u, 153u}) {
    EXPECT_EQ(device.LoadFromCache(std::string(size, 'A')), 0) << size;
  }
  ExpectSameState(before, Snapshot());
  EXPECT_THAT(TakeEvents(), IsEmpty());
}

// ---------------------------------------------------------------------------
// Queries that are refused

TEST_F(BadInputTest, RefusedQueriesChangeNothing) {
  struct Refusal {
    const char* name;
    const char* message;
  };
  auto refuse = [&](const Refusal& r) {
    const DeviceSnapshot before = Snapshot();
    try {
      device.Get_Value(kDataId, r.name);
      ADD_FAILURE() << r.name << " was answered";
    } catch (const std::out_of_range& error) {
      EXPECT_STREQ(error.what(), r.message) << r.name;
    }
    ExpectSameState(before, Snapshot());
  };
  refuse({"battery_32_value", "不支持变量"});
  refuse({"Group_Voltage", "不支持变量"});
  MakeActivityOld();
  refuse({"battery_0_value", "数据已超时"});
  device.data_ready_ = false;
  refuse({"group_voltage", "数据未就绪"});
  EXPECT_THAT(TakeEvents(), IsEmpty());
}

}  // namespace
