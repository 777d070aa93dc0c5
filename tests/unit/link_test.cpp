// Frames on the line and the link checksum.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/support/device_harness.h"

namespace {

using test_frames::Bytes;

struct ChecksumCase {
  Bytes covered;
  unsigned expected;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ChecksumCase& c, std::ostream* out) {
  *out << test_frames::Hex(c.covered);
}

class ChecksumTest : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(ChecksumTest, SumModulo256ThenModulo254) {
  const ChecksumCase& c = GetParam();
  EXPECT_EQ(Battery::GetMMCheckSum(c.covered.data(), static_cast<int>(c.covered.size())),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, ChecksumTest,
    ::testing::Values(ChecksumCase{{0x01, 0xA1}, 0xA2},        // request to 0x01
                      ChecksumCase{{0x5D, 0xA1}, 0x00},        // sum 254 gives 0
                      ChecksumCase{{0x5D, 0xA2}, 0x01},        // sum 255 gives 1
                      ChecksumCase{{0x5D, 0xA3}, 0x00},        // sum 256 wraps to 0
                      ChecksumCase{{0x5D, 0xA4}, 0x01},        // wraps to 1
                      ChecksumCase{{0x01, 0x09, 0xC4}, 0xCE},  // short answer, raw 2500
                      ChecksumCase{{0xFF, 0xFF, 0xFF}, 0xFD},  // bytes are unsigned
                      ChecksumCase{{0xFD}, 0xFD},              // largest checksum
                      ChecksumCase{{}, 0x00}));

TEST(ChecksumTest, NonPositiveCountGivesZero) {
  const unsigned char bytes[] = {0x12, 0x34};
  EXPECT_EQ(Battery::GetMMCheckSum(bytes, 0), 0);
  EXPECT_EQ(Battery::GetMMCheckSum(bytes, -5), 0);
}

TEST(ChecksumTest, NeverFEOrFF) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const unsigned char bytes[] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b)};
      ASSERT_LT(Battery::GetMMCheckSum(bytes, 2), 0xFE) << a << " " << b;
    }
  }
}

struct RequestCase {
  std::uint8_t address;
  void (Battery::*call)();
  std::string frame;
  int kind;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const RequestCase& c, std::ostream* out) {
  *out << c.frame;
}

class RequestFrameTest : public DeviceTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestFrameTest, FrameOnTheLineAndOutstandingKind) {
  const RequestCase& c = GetParam();
  device.device_address_ = c.address;
  (device.*c.call)();
  EXPECT_EQ(TakeEvents(), std::vector<std::string>{"tx " + c.frame});
  EXPECT_EQ(device.cmd_type_, c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, RequestFrameTest,
    ::testing::Values(RequestCase{0x01, &Battery::CallVoltage, "FE FE 01 A1 A2", 1},
                      RequestCase{0x01, &Battery::CallGroupVoltage, "FE FE 01 A2 A3", 2},
                      RequestCase{0x01, &Battery::CallCurrent, "FE FE 01 A3 A4", 3},
                      RequestCase{0x01, &Battery::CallTemperature, "FE FE 01 A4 A5", 4},
                      RequestCase{0x5D, &Battery::CallVoltage, "FE FE 5D A1 00", 1},
                      RequestCase{0x5D, &Battery::CallGroupVoltage, "FE FE 5D A2 01", 2},
                      RequestCase{0x5D, &Battery::CallCurrent, "FE FE 5D A3 00", 3},
                      RequestCase{0x5D, &Battery::CallTemperature, "FE FE 5D A4 01", 4}));

// Short answers while the group-voltage request is outstanding: accepted ones
// move the cycle on to the current request, rejected ones give it up.
struct AnswerCase {
  const char* what;
  Bytes answer;
  bool accepted;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const AnswerCase& c, std::ostream* out) {
  *out << c.what;
}

class ShortAnswerCheckTest : public DeviceTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ShortAnswerCheckTest, LeadAddressAndChecksum) {
  const AnswerCase& c = GetParam();
  device.CallGroupVoltage();
  TakeEvents();
  const int result = Rx(c.answer);
  EXPECT_EQ(result, c.accepted ? 1 : 0) << c.what;
  EXPECT_EQ(device.cmd_type_, c.accepted ? 3 : 0) << c.what;
  EXPECT_EQ(TakeEvents().size(), c.accepted ? 1u : 0u) << c.what;
  EXPECT_EQ(device.rx_length_, 0u) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ShortAnswerCheckTest,
    ::testing::Values(
        AnswerCase{"valid", {0xED, 0x01, 0x09, 0xC4, 0xCE}, true},
        AnswerCase{"other address, right checksum", {0xED, 0x02, 0x09, 0xC4, 0xCF}, false},
        AnswerCase{"wrong checksum", {0xED, 0x01, 0x09, 0xC4, 0xCD}, false},
        // The byte sum 0x1FE would give 0xFE without the final reduction.
        AnswerCase{"checksum FE is never valid", {0xED, 0x01, 0xFE, 0xFF, 0xFE}, false},
        AnswerCase{"checksum FF is never valid", {0xED, 0x01, 0xFE, 0x00, 0xFF}, false},
        AnswerCase{"reduced checksum of sum FF", {0xED, 0x01, 0xFE, 0x00, 0x01}, true},
        AnswerCase{"raw FFFF is unsigned", {0xED, 0x01, 0xFF, 0xFF, 0xFF % 254}, true}));

TEST_F(DeviceTest, LeadByteFEIsNotAnAnswer) {
  // With the buffer empty only 0xED starts an answer, so FE bytes are skipped;
  // once an answer has begun, a frame starting with FE fails the lead check.
  device.CallGroupVoltage();
  device.rx_buffer_[0] = 0xFE;
  device.rx_buffer_[1] = 0x01;
  device.rx_buffer_[2] = 0x09;
  device.rx_length_ = 3;
  EXPECT_EQ(Rx({0xC4, 0xCE}), 0);
  EXPECT_EQ(device.cmd_type_, 0);
}

TEST_F(DeviceTest, RawValuesAreUnsigned) {
  device.CallGroupVoltage();
  Rx(test_frames::ShortAnswer(kAddress, 0xFFFF));
  EXPECT_FLOAT_EQ(device.group_voltage_, 6553.5f);
}

}  // namespace
