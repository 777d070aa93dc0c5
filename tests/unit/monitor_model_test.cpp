// The simulated monitor: requests found in a byte stream, answers built for
// them, drift within bounds, faults as configured.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "programs/monitor-model/monitor_model.h"
#include "programs/monitor-model/simulated_line.h"
#include "tests/support/frames.h"

namespace {

using battery_link::Command;
using monitor_sim::MonitorModel;
using monitor_sim::MonitorSettings;
using monitor_sim::Request;
using monitor_sim::RequestParser;
using test_frames::Bytes;

std::vector<std::string> ParseAll(const Bytes& stream) {
  RequestParser parser;
  std::vector<std::string> found;
  for (const std::uint8_t byte : stream) {
    if (const auto request = parser.Feed(byte)) {
      found.push_back(
          test_frames::Hex({request->address, static_cast<std::uint8_t>(request->command)}));
    }
  }
  return found;
}

struct ParseCase {
  const char* name;
  Bytes stream;
  std::vector<std::string> requests;  // "address command"
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ParseCase& c, std::ostream* out) {
  *out << c.name;
}

class RequestParserTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RequestParserTest, FindsWellFormedRequests) {
  EXPECT_EQ(ParseAll(GetParam().stream), GetParam().requests);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Streams, RequestParserTest,
    ::testing::Values(
        ParseCase{"one", {0xFE, 0xFE, 0x01, 0xA1, 0xA2}, {"01 A1"}},
        ParseCase{"two_back_to_back", test_frames::Concat(test_frames::Request(0x01, 0xA2), test_frames::Request(0x5D, 0xA3)), {"01 A2", "5D A3"}},
        ParseCase{"leading_garbage", {0x00, 0xFE, 0x13, 0xFE, 0xFE, 0x02, 0xA4, 0xA6}, {"02 A4"}},
        ParseCase{"bad_checksum", {0xFE, 0xFE, 0x01, 0xA1, 0xA3}, {}},
        ParseCase{"answer_on_the_line", test_frames::ShortAnswer(0x01, 0xFEFE), {}},
        ParseCase{"three_leads", {0xFE, 0xFE, 0xFE, 0x01, 0xA1, 0xA2}, {"01 A1"}},
        ParseCase{"cut_short", {0xFE, 0xFE, 0x01, 0xA1}, {}}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

Bytes AnswerBytes(const monitor_sim::Reply& reply) {
  return Bytes(reply.bytes.begin(), reply.bytes.begin() + static_cast<long>(reply.size));
}

struct AnswerCase {
  Command command;
  float value;        // base value of the asked measurement
  std::uint16_t raw;  // expected on the line
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const AnswerCase& c, std::ostream* out) {
  *out << static_cast<int>(c.command);
}

class ShortAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(ShortAnswerTest, RequestBytesInAnswerBytesOut) {
  const AnswerCase& c = GetParam();
  MonitorSettings settings;
  settings.address = 0x01;
  settings.group_voltage = settings.current = settings.temperature = c.value;
  MonitorModel monitor(settings);
  const auto reply = monitor.Answer(Request{0x01, c.command});
  ASSERT_TRUE(reply);
  const std::uint16_t raw = c.command == Command::kGroupVoltage   ? monitor.Values().group_voltage
                            : c.command == Command::kGroupCurrent ? monitor.Values().group_current
                                                                  : monitor.Values().temperature;
  EXPECT_EQ(AnswerBytes(*reply), test_frames::ShortAnswer(0x01, raw));
  // The drift keeps the value within its band around the base.
  EXPECT_NEAR(raw, c.raw, c.command == Command::kTemperature ? 200 : 20);
}

INSTANTIATE_TEST_SUITE_P(Values, ShortAnswerTest,
                         ::testing::Values(AnswerCase{Command::kGroupVoltage, 53.5f, 535},
                                           AnswerCase{Command::kGroupCurrent, 2.5f, 25},
                                           AnswerCase{Command::kTemperature, 25.0f, 2500}));

TEST(MonitorModelTest, CellAnswerCarriesTheMeasuredCells) {
  MonitorModel monitor(MonitorSettings{});
  const auto reply = monitor.Answer(Request{0x01, Command::kCellVoltages});
  ASSERT_TRUE(reply);
  test_frames::CellRaw cells{};
  std::copy(monitor.Values().cells.begin(), monitor.Values().cells.end(), cells.begin());
  EXPECT_EQ(AnswerBytes(*reply), test_frames::CellAnswer(0x01, cells));
}

TEST(MonitorModelTest, IgnoresOtherAddresses) {
  MonitorModel monitor(MonitorSettings{});
  EXPECT_FALSE(monitor.Answer(Request{0x02, Command::kCellVoltages}));
  EXPECT_FALSE(monitor.Answer(Request{0x81, Command::kTemperature}));
}

TEST(MonitorModelTest, EncodingsFollowThePluginSettings) {
  EXPECT_EQ(monitor_sim::EncodeGroupVoltage(53.5f, 1), 535);
  EXPECT_EQ(monitor_sim::EncodeGroupVoltage(53.5f, 2), 5350);
  EXPECT_EQ(monitor_sim::EncodeCurrent(0.0f, monitor_sim::CurrentEncoding::kOffset), 2500);
  EXPECT_EQ(monitor_sim::EncodeCurrent(100.0f, monitor_sim::CurrentEncoding::kOffset), 5000);
  EXPECT_EQ(monitor_sim::EncodeCurrent(-3.0f, monitor_sim::CurrentEncoding::kTenths), 0);
  EXPECT_EQ(monitor_sim::EncodeCell(2.2005f), 2201);
  EXPECT_EQ(monitor_sim::EncodeTemperature(1000.0f), 65535);
}

TEST(MonitorModelTest, ValuesDriftButStayInTheirBands) {
  MonitorSettings settings;
  settings.cell_voltage = 2.0f;
  MonitorModel monitor(settings);
  std::uint16_t lowest = 0xFFFF, highest = 0;
  for (int i = 0; i < 5000; ++i) {
    monitor.Answer(Request{0x01, Command::kCellVoltages});
    for (const std::uint16_t raw : monitor.Values().cells) {
      lowest = std::min(lowest, raw);
      highest = std::max(highest, raw);
    }
  }
  EXPECT_LT(lowest, 2000);
  EXPECT_GT(highest, 2000);
  EXPECT_GE(lowest, 2000 - 70);
  EXPECT_LE(highest, 2000 + 70);
}

TEST(MonitorModelTest, SameSeedSameValues) {
  MonitorModel first(MonitorSettings{});
  MonitorModel second(MonitorSettings{});
  first.Answer(Request{0x01, Command::kCellVoltages});
  second.Answer(Request{0x01, Command::kCellVoltages});
  EXPECT_EQ(first.Values().cells, second.Values().cells);
}

struct FaultCase {
  const char* name;
  double monitor_sim::FaultRates::*rate;
  monitor_sim::Fault fault;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name;
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

// With a rate of 1 every answer has the fault, and it shows on the line.
TEST_P(FaultTest, AlwaysInjectedAtRateOne) {
  MonitorSettings settings;
  settings.faults.*GetParam().rate = 1.0;
  MonitorModel monitor(settings);
  for (int i = 0; i < 20; ++i) {
    const auto reply = monitor.Answer(Request{0x01, Command::kGroupCurrent});
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->fault, GetParam().fault);
    const Bytes clean = test_frames::ShortAnswer(0x01, monitor.Values().group_current);
    const Bytes sent = AnswerBytes(*reply);
    switch (reply->fault) {
      case monitor_sim::Fault::kNoAnswer:
        EXPECT_TRUE(sent.empty());
        break;
      case monitor_sim::Fault::kBadChecksum:
        EXPECT_EQ(Bytes(sent.begin(), sent.end() - 1), Bytes(clean.begin(), clean.end() - 1));
        EXPECT_NE(sent.back(), clean.back());
        EXPECT_LT(sent.back(), 0xFE);
        break;
      case monitor_sim::Fault::kWrongAddress:
        EXPECT_EQ(sent, test_frames::ShortAnswer(0x02, monitor.Values().group_current));
        break;
      case monitor_sim::Fault::kGarbage: {
        ASSERT_GT(sent.size(), clean.size());
        const Bytes garbage(sent.begin(), sent.end() - static_cast<long>(clean.size()));
        EXPECT_EQ(std::count(garbage.begin(), garbage.end(), 0xED), 0);
        EXPECT_EQ(Bytes(sent.end() - static_cast<long>(clean.size()), sent.end()), clean);
        break;
      }
      case monitor_sim::Fault::kSplit:
        EXPECT_EQ(sent, clean);
        EXPECT_GT(reply->split_at, 0u);
        EXPECT_LT(reply->split_at, sent.size());
        break;
      case monitor_sim::Fault::kLate:
        EXPECT_EQ(sent, clean);
        EXPECT_EQ(reply->delay, settings.late);
        break;
      case monitor_sim::Fault::kNone:
        break;
    }
    EXPECT_EQ(reply->Intact(), reply->fault != monitor_sim::Fault::kNoAnswer &&
                                   reply->fault != monitor_sim::Fault::kBadChecksum &&
                                   reply->fault != monitor_sim::Fault::kWrongAddress);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        FaultCase{"no_answer", &monitor_sim::FaultRates::no_answer, monitor_sim::Fault::kNoAnswer},
        FaultCase{"bad_checksum", &monitor_sim::FaultRates::bad_checksum, monitor_sim::Fault::kBadChecksum},
        FaultCase{"wrong_address", &monitor_sim::FaultRates::wrong_address, monitor_sim::Fault::kWrongAddress},
        FaultCase{"garbage", &monitor_sim::FaultRates::garbage, monitor_sim::Fault::kGarbage},
        FaultCase{"split", &monitor_sim::FaultRates::split, monitor_sim::Fault::kSplit},
        FaultCase{"late", &monitor_sim::FaultRates::late, monitor_sim::Fault::kLate}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST(MonitorModelTest, FaultRateIsRoughlyKept) {
  MonitorSettings settings;
  settings.faults.no_answer = 0.1;
  MonitorModel monitor(settings);
  int silent = 0;
  for (int i = 0; i < 10000; ++i) {
    silent += monitor.Answer(Request{0x01, Command::kTemperature})->fault ==
              monitor_sim::Fault::kNoAnswer;
  }
  EXPECT_GT(silent, 800);
  EXPECT_LT(silent, 1200);
}

// The log of a simulated line names the request each answer answers, counting
// every request heard: for other addresses, and while a monitor is busy.
TEST(SimulatedLineTest, AnswersNameTheNumberOfTheRequestTheyAnswer) {
  boost::asio::io_context io;
  monitor_sim::SimulatedLine line(
      io, [](const std::uint8_t*, std::size_t) {}, false, 0);
  for (const unsigned address : {1u, 2u}) {
    MonitorSettings settings;
    settings.address = static_cast<std::uint8_t>(address);
    line.AddMonitor(settings);
  }
  std::vector<std::pair<unsigned, std::uint64_t>> logged;  // address, request number
  line.SetAnswerLog(
      [&logged](const MonitorModel& monitor, const Request& request, const monitor_sim::Reply&) {
        logged.emplace_back(monitor.Address(), request.number);
      });
  Bytes requests;
  for (const auto& [address, command] :
       {std::pair{0x05, 0xA1}, std::pair{0x02, 0xA2}, std::pair{0x01, 0xA3}}) {
    const Bytes frame = test_frames::Request(static_cast<std::uint8_t>(address),
                                             static_cast<std::uint8_t>(command));
    requests.insert(requests.end(), frame.begin(), frame.end());
  }
  // Request 1 is for nobody, 2 is answered, 3 comes while the line is busy with 2's answer.
  line.FromController(requests.data(), requests.size());
  io.run();
  const Bytes last = test_frames::Request(0x01, 0xA4);
  line.FromController(last.data(), last.size());
  io.restart();
  io.run();
  EXPECT_EQ(logged, (std::vector<std::pair<unsigned, std::uint64_t>>{{2u, 2u}, {1u, 4u}}));
  // A log line carries the number.
  const Json::Value described = monitor_sim::DescribeAnswer(
      MonitorModel(MonitorSettings{}), Request{0x01, Command::kTemperature, 7}, {});
  EXPECT_EQ(described["request"].asUInt64(), 7u);
}

}  // namespace
