// Decoding of the 67-byte cell-voltage answer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>

#include "tests/support/device_harness.h"

namespace {

using test_frames::Bytes;
using test_frames::CellAnswer;
using test_frames::CellRaw;
using test_frames::Concat;
using test_frames::RisingCells;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class CellVoltageTest : public DeviceTest {
 protected:
  CellVoltageTest() {
    device.CallVoltage();
    TakeEvents();
  }
};

TEST_F(CellVoltageTest, IncompleteAnswerWaits) {
  const Bytes answer = CellAnswer(kAddress, RisingCells());
  EXPECT_EQ(Rx(Bytes(answer.begin(), answer.begin() + 66)), 1);
  EXPECT_EQ(device.cmd_type_, 1);
  EXPECT_EQ(device.rx_length_, 66u);
  EXPECT_EQ(device.cells_[0], 0.0f);
  EXPECT_THAT(TakeEvents(), IsEmpty());
}

TEST_F(CellVoltageTest, ValidAnswerIsDecodedAndTheCycleMovesOn) {
  EXPECT_EQ(Rx(CellAnswer(kAddress, RisingCells(2000, 10))), 1);
  for (std::size_t i = 0; i < 32; ++i) {
    EXPECT_EQ(device.cells_[i], static_cast<float>(2000 + 10 * i) / 1000.0f) << i;
  }
  EXPECT_THAT(TakeEvents(), ElementsAre(Tx(0xA2)));
  EXPECT_EQ(device.cmd_type_, 2);
}

TEST_F(CellVoltageTest, BytesBehindTheAnswerAreDiscarded) {
  EXPECT_EQ(Rx(Concat(CellAnswer(kAddress, RisingCells()), {0xED, 0x01, 0x02})), 1);
  EXPECT_EQ(device.rx_length_, 0u);
  EXPECT_EQ(device.cmd_type_, 2);
}

struct RejectCase {
  const char* what;
  std::size_t byte;
  std::uint8_t value;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const RejectCase& c, std::ostream* out) {
  *out << c.what;
}

class CellAnswerRejectTest : public CellVoltageTest,
                             public ::testing::WithParamInterface<RejectCase> {};

TEST_P(CellAnswerRejectTest, CellsKeepTheirValues) {
  const RejectCase& c = GetParam();
  device.cells_.fill(3.25f);
  Bytes answer = CellAnswer(kAddress, RisingCells());
  answer[c.byte] = c.value;
  // Keep the frame's own checksum right when the address is what is wrong.
  if (c.byte == 1) answer[66] = test_frames::Checksum(answer, 1, 66);
  device.rx_buffer_[0] = answer[0];
  device.rx_length_ = 1;  // an answer has begun, so the lead byte is not searched for
  EXPECT_EQ(Rx(Bytes(answer.begin() + 1, answer.end())), 0) << c.what;
  EXPECT_EQ(device.cmd_type_, 0);
  EXPECT_EQ(device.rx_length_, 0u);
  EXPECT_THAT(device.cells_, ::testing::Each(3.25f));
  EXPECT_THAT(TakeEvents(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Frames, CellAnswerRejectTest,
                         ::testing::Values(RejectCase{"lead byte", 0, 0xEE},
                                           RejectCase{"other address", 1, 0x02},
                                           RejectCase{"checksum", 66, 0x00},
                                           RejectCase{"value changed", 40, 0x99}));

struct WindowCase {
  std::uint16_t raw;
  float adjust;
  float expected;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const WindowCase& c, std::ostream* out) {
  *out << "raw " << c.raw << " adjust " << c.adjust;
}

class CellWindowTest : public CellVoltageTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(CellWindowTest, OffsetThenAcceptanceWindow) {
  const WindowCase& c = GetParam();
  device.battery_adjust_ = c.adjust;
  CellRaw raw = RisingCells();
  raw[5] = c.raw;
  ASSERT_EQ(Rx(CellAnswer(kAddress, raw)), 1);
  EXPECT_EQ(device.cells_[5], c.expected);
  EXPECT_EQ(device.cells_[4], 2.004f + c.adjust) << "neighbours are decoded as usual";
}

INSTANTIATE_TEST_SUITE_P(
    Decoding, CellWindowTest,
    ::testing::Values(WindowCase{1000, 0.0f, 1.0f}, WindowCase{4000, 0.0f, 4.0f},
                      WindowCase{999, 0.0f, 0.0f}, WindowCase{4001, 0.0f, 0.0f},
                      WindowCase{0, 0.0f, 0.0f}, WindowCase{65535, 0.0f, 0.0f},
                      WindowCase{2345, 0.0f, 2.345f},
                      WindowCase{600, 0.5f, 0.6f + 0.5f},  // inside only after the offset
                      WindowCase{3600, 0.5f, 0.0f},        // above 4.0 after the offset
                      WindowCase{1200, -0.25f, 0.0f},      // below 1.0 after the offset
                      WindowCase{2000, -0.25f, 1.75f}));

TEST_F(CellVoltageTest, ReversedOrderFillsFromTheOtherEnd) {
  device.dir_ = 1;
  ASSERT_EQ(Rx(CellAnswer(kAddress, RisingCells(2000, 10))), 1);
  EXPECT_EQ(device.cells_[31], 2.0f);  // bytes 2 and 3
  EXPECT_EQ(device.cells_[0], 2.31f);  // bytes 64 and 65
  EXPECT_EQ(device.cells_[30], 2.01f);
}

TEST_F(CellVoltageTest, OffsetThatIsNotANumberFailsTheWindow) {
  device.battery_adjust_ = std::numeric_limits<float>::quiet_NaN();
  ASSERT_EQ(Rx(CellAnswer(kAddress, RisingCells())), 1);
  EXPECT_THAT(device.cells_, ::testing::Each(0.0f));
}

TEST_F(CellVoltageTest, DecodingCoversAll32CellsWhateverTheCellCount) {
  device.cell_count_ = 8;
  ASSERT_EQ(Rx(CellAnswer(kAddress, RisingCells(3000, 1))), 1);
  EXPECT_EQ(device.cells_[31], 3.031f);
}

}  // namespace
