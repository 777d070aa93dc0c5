// The polling cycle: poll ticks, retries, gathering of answers and the
// decoding of the three short answers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "battery/local_time.h"
#include "tests/support/device_harness.h"

namespace {

using test_frames::Bytes;
using test_frames::CellAnswer;
using test_frames::Concat;
using test_frames::RisingCells;
using test_frames::ShortAnswer;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr std::uint8_t kA1 = 0xA1, kA2 = 0xA2, kA3 = 0xA3, kA4 = 0xA4;

// ---------------------------------------------------------------------------
// The state table, row by row

struct StateRow {
  const char* row;
  int state;    // cmd_type_ before the event
  int retries;  // retry_count_ before the event
  Bytes held;   // bytes held before the event
  bool tick;    // a poll tick, or else the chunk below
  Bytes chunk;
  int next_state;
  int result;
  std::uint32_t held_after;
  std::vector<std::string> events;  // each event must start with this text
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const StateRow& c, std::ostream* out) {
  *out << c.row;
}

class StateTableTest : public DeviceTest, public ::testing::WithParamInterface<StateRow> {};

TEST_P(StateTableTest, Row) {
  const StateRow& r = GetParam();
  device.cmd_type_ = r.state;
  device.retry_count_ = r.retries;
  std::copy(r.held.begin(), r.held.end(), device.rx_buffer_.begin());
  device.rx_length_ = static_cast<std::uint32_t>(r.held.size());

  const int result = r.tick ? Tick() : Rx(r.chunk);

  EXPECT_EQ(result, r.result);
  EXPECT_EQ(device.cmd_type_, r.next_state);
  EXPECT_EQ(device.rx_length_, r.held_after);
  const std::vector<std::string> events = TakeEvents();
  ASSERT_GE(events.size(), r.events.size());
  for (std::size_t i = 0; i < r.events.size(); ++i) EXPECT_THAT(events[i], StartsWith(r.events[i]));
  if (r.events.empty()) {
    EXPECT_THAT(events, IsEmpty());
  }
}

const Bytes kCells = CellAnswer(0x01, RisingCells());
const Bytes kShort = ShortAnswer(0x01, 2500);
Bytes BadChecksum(Bytes frame) {
  frame.back() = static_cast<std::uint8_t>(frame.back() + 1);
  return frame;
}
const Bytes kHeld7 = {0xED, 0x01, 0x07, 0xD0, 0x07, 0xD1, 0x07};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    PollingCycle, StateTableTest,
    ::testing::Values(
        StateRow{"idle tick starts a cycle", 0, 0, {}, true, {}, 1, 1, 0, {"refresh", DeviceTest::Tx(kA1)}},
        StateRow{"tick re-sends cells", 1, 0, kHeld7, true, {}, 1, 1, 0, {DeviceTest::Tx(kA1)}},
        StateRow{"tick re-sends group voltage", 2, 1, {}, true, {}, 2, 1, 0, {DeviceTest::Tx(kA2)}},
        StateRow{"tick re-sends current", 3, 2, {}, true, {}, 3, 1, 0, {DeviceTest::Tx(kA3)}},
        StateRow{"tick re-sends temperature", 4, 0, {}, true, {}, 4, 1, 0, {DeviceTest::Tx(kA4)}},
        StateRow{"retries used up restart the cycle", 4, 3, kHeld7, true, {}, 1, 1, 0, {"refresh", DeviceTest::Tx(kA1)}},
        StateRow{"chunk reaching 81 empties the buffer", 1, 0, kHeld7, false, Bytes(74, 0xED), 0, 0, 0, {}},
        StateRow{"chunk while idle is held from its 0xED", 0, 0, {}, false, {0x11, 0xED, 0x01}, 0, 0, 2, {}},
        StateRow{"partial cell answer keeps gathering", 1, 0, {}, false, Bytes(kCells.begin(), kCells.begin() + 66), 1, 1, 66, {}},
        StateRow{"valid cell answer asks for group voltage", 1, 0, {}, false, kCells, 2, 1, 0, {DeviceTest::Tx(kA2)}},
        StateRow{"invalid cell answer gives up", 1, 0, {}, false, BadChecksum(kCells), 0, 0, 0, {}},
        StateRow{"group voltage asks for current", 2, 0, {}, false, kShort, 3, 1, 0, {DeviceTest::Tx(kA3)}},
        StateRow{"current asks for temperature", 3, 0, {}, false, kShort, 4, 1, 0, {DeviceTest::Tx(kA4)}},
        StateRow{"temperature ends the cycle", 4, 0, {}, false, kShort, 0, 0, 0, {"sp 5011 0 ", "reset"}},
        StateRow{"too few bytes give up and stay held", 2, 0, {}, false, {0xED, 0x01, 0x09}, 0, 0, 3, {}},
        StateRow{"invalid short answer gives up", 3, 0, {}, false, BadChecksum(kShort), 0, 0, 0, {}}));
// clang-format on

// ---------------------------------------------------------------------------
// Poll ticks and the shared retry limit

TEST_F(DeviceTest, SilentMonitorGetsThreeResendsThenANewCycle) {
  EXPECT_EQ(Tick(), 1);
  EXPECT_THAT(TakeEvents(), ElementsAre("refresh", Tx(kA1)));
  for (int resend = 1; resend <= 3; ++resend) {
    EXPECT_EQ(Tick(), 1);
    EXPECT_THAT(TakeEvents(), ElementsAre(Tx(kA1))) << "re-send " << resend;
    EXPECT_EQ(device.retry_count_, resend);
  }
  EXPECT_EQ(Tick(), 1);
  EXPECT_THAT(TakeEvents(), ElementsAre("refresh", Tx(kA1)));
  EXPECT_EQ(device.retry_count_, 0);
}

TEST_F(DeviceTest, ResendsAreSharedByTheRequestsOfOneCycle) {
  Tick();
  Rx(CellAnswer(kAddress, RisingCells()));
  Rx(ShortAnswer(kAddress, 5350));
  Tick();  // waiting for the current
  Rx(ShortAnswer(kAddress, 100));
  Tick();  // waiting for the temperature, twice
  Tick();
  TakeEvents();
  EXPECT_EQ(device.retry_count_, 3);
  Tick();
  EXPECT_THAT(TakeEvents(), ElementsAre("refresh", Tx(kA1)));
  EXPECT_EQ(device.cmd_type_, 1);
}

TEST_F(DeviceTest, AcceptedAnswersDoNotClearTheRetryCount) {
  Tick();
  Tick();  // one re-send of the cell request
  Rx(CellAnswer(kAddress, RisingCells()));
  Rx(ShortAnswer(kAddress, 5350));
  EXPECT_EQ(device.retry_count_, 1);
  Rx(ShortAnswer(kAddress, 100));
  Rx(ShortAnswer(kAddress, 2500));
  EXPECT_EQ(device.retry_count_, 0);  // the completed cycle clears it
}

TEST_F(DeviceTest, TickDuringAnAnswerDropsTheGatheredBytes) {
  Tick();
  const Bytes answer = CellAnswer(kAddress, RisingCells());
  Rx(Bytes(answer.begin(), answer.begin() + 30));
  Tick();
  EXPECT_EQ(device.rx_length_, 0u);
  // The rest of the old answer goes through the lead-byte search of an empty
  // buffer; only from its first 0xED (if any) is it held.
  const Bytes rest(answer.begin() + 30, answer.end());
  Rx(rest);
  std::uint32_t from_lead = 0;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == 0xED) {
      from_lead = static_cast<std::uint32_t>(rest.size() - i);
      break;
    }
  }
  EXPECT_EQ(device.rx_length_, from_lead);
  EXPECT_EQ(device.cmd_type_, 1);
}

// ---------------------------------------------------------------------------
// Gathering received chunks

TEST_F(DeviceTest, CellAnswerInTwoChunksIsAcceptedOnTheSecond) {
  Tick();
  TakeEvents();
  const Bytes answer = CellAnswer(kAddress, RisingCells());
  EXPECT_EQ(Rx(Bytes(answer.begin(), answer.begin() + 30)), 1);
  EXPECT_THAT(TakeEvents(), IsEmpty());
  EXPECT_EQ(Rx(Bytes(answer.begin() + 30, answer.end())), 1);
  EXPECT_THAT(TakeEvents(), ElementsAre(Tx(kA2)));
}

TEST_F(DeviceTest, ShortAnswerSplitInTwoGivesTheRequestUp) {
  device.CallGroupVoltage();
  TakeEvents();
  const Bytes answer = ShortAnswer(kAddress, 5350);
  EXPECT_EQ(Rx(Bytes(answer.begin(), answer.begin() + 3)), 0);
  EXPECT_EQ(device.cmd_type_, 0);
  EXPECT_EQ(Rx(Bytes(answer.begin() + 3, answer.end())), 0);
  EXPECT_EQ(device.rx_length_, 5u);  // only held
  EXPECT_EQ(device.group_voltage_, 0.0f);
  Tick();
  EXPECT_THAT(TakeEvents(), ElementsAre("refresh", Tx(kA1)));
  EXPECT_EQ(device.rx_length_, 0u);
}

TEST_F(DeviceTest, GarbageBeforeTheLeadByteIsSkippedAndBytesAfterDropped) {
  device.CallGroupVoltage();
  const Bytes chunk = Concat(Concat({0x00, 0xFE, 0x13}, ShortAnswer(kAddress, 5350)), {0x42, 0x43});
  EXPECT_EQ(Rx(chunk), 1);
  EXPECT_FLOAT_EQ(device.group_voltage_, 535.0f);
  EXPECT_EQ(device.rx_length_, 0u);
  EXPECT_EQ(device.cmd_type_, 3);
}

TEST_F(DeviceTest, ChunkWithoutLeadByteIsNotHeld) {
  device.CallVoltage();
  EXPECT_EQ(Rx({0x01, 0x02, 0xFE, 0xFF}), 1);
  EXPECT_EQ(device.rx_length_, 0u);
}

TEST_F(DeviceTest, ChunkWhileIdleOnlyHoldsBytesAndStampsActivity) {
  device.last_update_ = LocalNow() - boost::posix_time::hours(1);
  const float voltage_before = device.group_voltage_;
  EXPECT_EQ(Rx(ShortAnswer(kAddress, 5350)), 0);
  EXPECT_EQ(device.rx_length_, 5u);
  EXPECT_EQ(device.cmd_type_, 0);
  EXPECT_EQ(device.group_voltage_, voltage_before);
  EXPECT_LE((LocalNow() - device.last_update_).total_seconds(), 1);
  EXPECT_THAT(TakeEvents(), IsEmpty());
}

struct BoundCase {
  std::uint32_t held;
  std::uint32_t chunk;
  bool refused;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const BoundCase& c, std::ostream* out) {
  *out << c.held << " held + " << c.chunk;
}

class GatheringBoundTest : public DeviceTest, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(GatheringBoundTest, HeldPlusNewMustStayBelow81) {
  const BoundCase& c = GetParam();
  // No request outstanding: the bytes are only held, so the count shows what passed.
  device.cmd_type_ = 0;
  device.rx_buffer_[0] = 0xED;
  device.rx_length_ = c.held;
  std::vector<unsigned char> chunk(c.chunk, 0x55);
  chunk[0] = 0xED;
  const int result = device.process(chunk.data(), c.chunk);
  if (c.refused) {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(device.cmd_type_, 0);
    EXPECT_EQ(device.rx_length_, 0u);
  } else {
    EXPECT_EQ(device.rx_length_, c.held + c.chunk);
  }
}

INSTANTIATE_TEST_SUITE_P(PollingCycle, GatheringBoundTest,
                         ::testing::Values(BoundCase{0, 80, false}, BoundCase{0, 81, true},
                                           BoundCase{0, 200, true}, BoundCase{10, 70, false},
                                           BoundCase{10, 71, true}, BoundCase{66, 14, false},
                                           BoundCase{66, 15, true}, BoundCase{79, 1, false},
                                           BoundCase{80, 1, true}));

TEST_F(DeviceTest, ValidAnswerInAnOversizedChunkIsRefusedWhole) {
  device.CallGroupVoltage();
  const Bytes chunk = Concat(ShortAnswer(kAddress, 5350), Bytes(76, 0x00));
  ASSERT_EQ(chunk.size(), 81u);
  EXPECT_EQ(Rx(chunk), 0);
  EXPECT_EQ(device.group_voltage_, 0.0f);
}

// A length near the top of the unsigned range would wrap "held + length"
// below the bound; such a chunk must be refused before a byte is read.
TEST_F(DeviceTest, HugeLengthsCannotWrapTheBound) {
  unsigned char small[4] = {0xED, 0x01, 0x02, 0x03};
  for (const std::uint32_t held : {10u, 79u}) {
    // Sums that wrap to 0 and to held - 1, one that just does not wrap, and one in between.
    for (const std::uint32_t length :
         {UINT32_MAX - held + 1u, UINT32_MAX, UINT32_MAX - held, 0x80000000u}) {
      device.CallVoltage();
      device.rx_length_ = held;
      EXPECT_EQ(device.process(small, length), 0) << held << " + " << length;
      EXPECT_EQ(device.rx_length_, 0u);
      EXPECT_EQ(device.cmd_type_, 0);
    }
  }
}

TEST_F(DeviceTest, NullChunkIsNotRead) {
  device.CallVoltage();
  device.rx_buffer_[0] = 0xED;
  device.rx_length_ = 10;
  device.last_update_ = LocalNow() - boost::posix_time::hours(1);
  EXPECT_EQ(device.process(nullptr, 50), 1);
  EXPECT_EQ(device.rx_length_, 10u);
  EXPECT_EQ(device.cmd_type_, 1);
  EXPECT_LE((LocalNow() - device.last_update_).total_seconds(), 1);
}

TEST_F(DeviceTest, UnknownRequestKindIsGivenUp) {
  device.cmd_type_ = 9;
  EXPECT_EQ(Rx(ShortAnswer(kAddress, 1)), 0);
  EXPECT_EQ(device.cmd_type_, 0);
}

// ---------------------------------------------------------------------------
// Decoding of the short answers

// Single-precision arithmetic one rounded step at a time, as the line values
// are decoded; `volatile` keeps the compiler from fusing the steps here too.
float Step(float value) {
  volatile float rounded = value;
  return rounded;
}

struct GroupVoltageCase {
  int version;
  std::uint16_t raw;
  float gain;
  float offset;
  float expected;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const GroupVoltageCase& c, std::ostream* out) {
  *out << "version " << c.version << " raw " << c.raw;
}

class GroupVoltageTest : public DeviceTest,
                         public ::testing::WithParamInterface<GroupVoltageCase> {};

TEST_P(GroupVoltageTest, ScaledWithGainThenOffset) {
  const GroupVoltageCase& c = GetParam();
  device.version_ = c.version;
  device.group_a_ = c.gain;
  device.group_b_ = c.offset;
  device.group_voltage_valid_ = false;
  device.CallGroupVoltage();
  TakeEvents();
  EXPECT_EQ(Rx(ShortAnswer(kAddress, c.raw)), 1);
  EXPECT_EQ(device.group_voltage_, c.expected);
  EXPECT_TRUE(device.group_voltage_valid_);
  EXPECT_THAT(TakeEvents(), ElementsAre(Tx(kA3)));
}

INSTANTIATE_TEST_SUITE_P(
    PollingCycle, GroupVoltageTest,
    ::testing::Values(
        GroupVoltageCase{2, 5350, 1.0f, 0.0f, 53.5f}, GroupVoltageCase{1, 5350, 1.0f, 0.0f, 535.0f},
        GroupVoltageCase{0, 5350, 1.0f, 0.0f, 535.0f},
        GroupVoltageCase{3, 5350, 1.0f, 0.0f, 535.0f},
        GroupVoltageCase{2, 5350, 1.5f, 0.25f, 80.5f}, GroupVoltageCase{1, 0, 2.0f, -1.0f, -1.0f},
        GroupVoltageCase{2, 65535, 1.0f, 0.0f, 655.35f},
        // Two roundings: 5337/100 = 53.37 (float), times 1.1, plus 0.3.
        GroupVoltageCase{2, 5337, 1.1f, 0.3f, Step(Step(Step(5337.0f / 100.0f) * 1.1f) + 0.3f)}));

TEST_F(DeviceTest, PeerGroupVoltagesAreAddedInListOrder) {
  device.group_voltage_ids_ = {11, 12};
  host->SetPeerValue(11, "group_voltage", 52.25f);
  host->SetPeerValue(12, "group_voltage", 0.125f);
  device.CallGroupVoltage();
  TakeEvents();
  EXPECT_EQ(Rx(ShortAnswer(kAddress, 500)), 1);
  EXPECT_EQ(device.group_voltage_, (52.25f + 50.0f) + 0.125f);
  EXPECT_TRUE(device.group_voltage_valid_);
  EXPECT_THAT(TakeEvents(), ElementsAre("sp-value 11 \"group_voltage\" -> 52.25",
                                        "sp-value 12 \"group_voltage\" -> 0.125", Tx(kA3)));
}

TEST_F(DeviceTest, MissingPeerVoltageZeroesTheSumForThisCycle) {
  device.group_voltage_ids_ = {11, 12, 13};
  host->SetPeerValue(11, "group_voltage", 52.25f);
  host->SetPeerValue(13, "group_voltage", 1.0f);
  device.CallGroupVoltage();
  TakeEvents();
  EXPECT_EQ(Rx(ShortAnswer(kAddress, 500)), 1);
  EXPECT_EQ(device.group_voltage_, 0.0f);
  EXPECT_FALSE(device.group_voltage_valid_);
  // The remaining ids are skipped; the cycle goes on with the current.
  EXPECT_THAT(TakeEvents(), ElementsAre("sp-value 11 \"group_voltage\" -> 52.25",
                                        "sp-value 12 \"group_voltage\" !! out_of_range", Tx(kA3)));
  EXPECT_EQ(device.cmd_type_, 3);
}

struct CurrentCase {
  const char* what;
  int ratio;
  int source_id;
  const char* source_field;
  std::uint16_t raw;
  float expected;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const CurrentCase& c, std::ostream* out) {
  *out << c.what;
}

class CurrentTest : public DeviceTest, public ::testing::WithParamInterface<CurrentCase> {};

TEST_P(CurrentTest, Decoded) {
  const CurrentCase& c = GetParam();
  device.current_ratio_ = c.ratio;
  device.r_data_id_ = c.source_id;
  device.r_current_field_ = c.source_field;
  device.group_current_ = -7.0f;
  host->SetPeerValue(21, "I", 42.5f);
  device.CallCurrent();
  TakeEvents();
  EXPECT_EQ(Rx(ShortAnswer(kAddress, c.raw)), 1) << c.what;
  EXPECT_EQ(device.group_current_, c.expected) << c.what;
  EXPECT_EQ(device.cmd_type_, 4) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    PollingCycle, CurrentTest,
    ::testing::Values(CurrentCase{"tenths", 0, 0, "", 125, 12.5f},
                      CurrentCase{"transducer zero", 1, 0, "", 2500, 0.0f},
                      CurrentCase{"transducer full", 1, 0, "", 5000, 100.0f},
                      CurrentCase{"transducer bottom", 1, 0, "", 0, -100.0f},
                      CurrentCase{"transducer beats source", 5, 21, "I", 5000, 100.0f},
                      CurrentCase{"source device", 0, 21, "I", 125, 42.5f},
                      CurrentCase{"source without field", 0, 21, "", 125, 12.5f},
                      CurrentCase{"source cannot answer keeps last", 0, 22, "I", 125, -7.0f}));

struct TemperatureCase {
  std::uint16_t raw;
  float expected;  // with -3.5 as the previous value
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const TemperatureCase& c, std::ostream* out) {
  *out << "raw " << c.raw;
}

class TemperatureTest : public DeviceTest, public ::testing::WithParamInterface<TemperatureCase> {};

TEST_P(TemperatureTest, WindowAndEndOfCycle) {
  const TemperatureCase& c = GetParam();
  device.temperature_ = -3.5f;
  device.CallTemperature();
  TakeEvents();
  EXPECT_EQ(Rx(ShortAnswer(kAddress, c.raw)), 0);
  EXPECT_EQ(device.temperature_, c.expected);
  EXPECT_EQ(device.cmd_type_, 0);
  EXPECT_TRUE(device.data_ready_);
  EXPECT_EQ(device.cycle_status_, 1);  // the record went out
  EXPECT_EQ(host->published.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(PollingCycle, TemperatureTest,
                         ::testing::Values(TemperatureCase{0, -3.5f}, TemperatureCase{1, 0.01f},
                                           TemperatureCase{2345, 23.45f},
                                           TemperatureCase{10000, 100.0f},
                                           TemperatureCase{10001, -3.5f},
                                           TemperatureCase{65535, -3.5f}));

TEST_F(DeviceTest, GivenUpCyclePublishesNothingButKeepsDecodedValues) {
  Tick();
  Rx(CellAnswer(kAddress, RisingCells()));
  Rx(ShortAnswer(kAddress, 5350));
  Rx(BadChecksum(ShortAnswer(kAddress, 125)));
  EXPECT_EQ(device.cmd_type_, 0);
  EXPECT_FLOAT_EQ(device.group_voltage_, 535.0f);
  EXPECT_FLOAT_EQ(device.cells_[0], 2.0f);
  EXPECT_TRUE(host->published.empty());
  EXPECT_FALSE(device.data_ready_);
  Tick();
  EXPECT_THAT(TakeEvents(), testing::Contains("refresh"));
}

TEST_F(DeviceTest, EveryRequestStampsActivity) {
  device.last_update_ = LocalNow() - boost::posix_time::hours(2);
  Tick();
  EXPECT_LE((LocalNow() - device.last_update_).total_seconds(), 1);
}

}  // namespace
