// The soak's checks: a made-up run (trace, records, simulator log, history)
// passes when it is sound, and each kind of fault put into it is reported.

#include <gtest/gtest.h>

#include <json/value.h>
#include <json/writer.h>
#include <boost/crc.hpp>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/soak/soak_check.h"
#include "tests/support/frames.h"

namespace {

using soak::Measurement;
using soak::SentAnswer;

constexpr unsigned kDataId = 7;
constexpr const char* kLine = "/tmp/ttySOAK0";
constexpr const char* kStamp = "2026-03-01T12:00:05.123+01:00 ";

struct Exchange {
  std::string command;
  std::string fault = "none";
  bool answered = true;  // false: the monitor was busy and ignored the request
};

std::vector<Exchange> FullCycle() {
  return {{"cells"}, {"group_voltage"}, {"group_current"}, {"temperature"}};
}

unsigned CommandCode(const std::string& command) {
  if (command == "cells") return 0xA1;
  if (command == "group_voltage") return 0xA2;
  if (command == "group_current") return 0xA3;
  return 0xA4;
}

bool Intact(const std::string& fault) {
  return fault != "bad_checksum" && fault != "wrong_address" && fault != "no_answer";
}

// Builds a run of one device the way host and simulator would write it:
// every cycle's requests in the trace, every answer in the log with the
// number of its request, a record per completed cycle holding its values and
// the history holding the same; the host's error lines start with a time stamp.
class SoakRun {
 public:
  // `forge` changes what the device keeps of the cycle: its history entry and next record.
  void Cycle(const std::vector<Exchange>& exchanges, bool completes,
             const std::function<void(Measurement&)>& forge = nullptr) {
    ++cycles_;
    Trace("cycle " + std::to_string(cycles_));
    for (const Exchange& exchange : exchanges) Ask(exchange);
    if (!completes) return;
    if (forge) forge(current_);
    Publish(current_);
    history.push_back(current_);
  }

  void Summary(int started_offset = 0) {
    Json::Value line(Json::objectValue);
    line["type"] = "summary";
    line["data_id"] = kDataId;
    line["cycles_started"] = static_cast<Json::Int64>(cycles_ + started_offset);
    line["cycles_completed"] = static_cast<Json::Int64>(history.size());
    host_output += Write(line) + "\n";
  }

  soak::Report Check() const {
    return soak::Check(host_output, {{kLine, answers}}, {{kDataId, 1, kLine, history}});
  }

  // The values the n-th measurement (1 for the first) carries, decoded.
  static Measurement Values(int n) {
    Measurement m;
    for (std::size_t i = 0; i < soak::kCells; ++i) m.cells[i] = soak::CellVolts(CellRaw(n, i));
    m.group_voltage = soak::GroupVolts(GroupRaw(n));
    m.group_current = soak::GroupAmperes(CurrentRaw(n));
    m.temperature = soak::Degrees(TemperatureRaw(n));
    return m;
  }

  std::string host_output;
  std::vector<SentAnswer> answers;
  std::vector<Measurement> history;

  static unsigned GroupRaw(int n) { return 700u + static_cast<unsigned>(n); }
  static unsigned CurrentRaw(int n) { return 15u + static_cast<unsigned>(n); }

 private:
  static unsigned CellRaw(int n, std::size_t i) {
    return 2000u + 40u * static_cast<unsigned>(n) + static_cast<unsigned>(i);
  }
  static unsigned TemperatureRaw(int n) { return 2500u + static_cast<unsigned>(n); }

  void Ask(const Exchange& exchange) {
    const unsigned command = CommandCode(exchange.command);
    Trace("tx " + test_frames::Hex(test_frames::Request(1, static_cast<std::uint8_t>(command))));
    ++requests_;
    if (!exchange.answered) return;
    if (exchange.command == "cells") ++measurement_;
    SentAnswer answer{
        1,        exchange.command, RawOf(exchange.command), exchange.fault, Intact(exchange.fault),
        requests_};
    answers.push_back(answer);
    if (answer.intact) Take(exchange.command);
    if (answer.intact) Trace("rx ED 01 00 00 00");
  }

  std::vector<unsigned> RawOf(const std::string& command) const {
    if (command == "cells") {
      std::vector<unsigned> raw;
      for (std::size_t i = 0; i < soak::kCells; ++i) raw.push_back(CellRaw(measurement_, i));
      return raw;
    }
    if (command == "group_voltage") return {GroupRaw(measurement_)};
    if (command == "group_current") return {CurrentRaw(measurement_)};
    return {TemperatureRaw(measurement_)};
  }

  // What the plug-in keeps of an accepted answer.
  void Take(const std::string& command) {
    const Measurement values = Values(measurement_);
    if (command == "cells") current_.cells = values.cells;
    if (command == "group_voltage") current_.group_voltage = values.group_voltage;
    if (command == "group_current") current_.group_current = values.group_current;
    if (command == "temperature") current_.temperature = values.temperature;
  }

  void Publish(const Measurement& m) {
    Json::Value line(Json::objectValue);
    line["type"] = "record";
    line["data_id"] = kDataId;
    Json::Value& cells = line["cells"] = Json::Value(Json::arrayValue);
    for (const float cell : m.cells) cells.append(cell);
    line["group_voltage"] = m.group_voltage;
    line["group_current"] = m.group_current;
    line["temperature"] = m.temperature;
    host_output += Write(line) + "\n" + kStamp + "battery-host: 7 plug-in: rvSize is 0\n";
  }

  void Trace(const std::string& what) {
    host_output += std::string(kStamp) + "battery-host: " + std::to_string(kDataId) + " " + what +
                   " (" + kLine + ")\n";
  }

  static std::string Write(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
  }

  int cycles_ = 0;
  int measurement_ = 0;
  std::uint64_t requests_ = 0;
  Measurement current_;
};

bool Mentions(const soak::Report& report, const std::string& text) {
  for (const std::string& problem : report.problems) {
    if (problem.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string All(const soak::Report& report) {
  std::string text;
  for (const std::string& problem : report.problems) text += problem + "\n";
  return text;
}

TEST(SoakCheckTest, SoundRunPasses) {
  SoakRun run;
  run.Cycle(FullCycle(), true);
  run.Cycle(
      {{"cells", "no_answer"}, {"cells"}, {"group_voltage"}, {"group_current"}, {"temperature"}},
      true);
  run.Cycle({{"cells"}, {"group_voltage", "bad_checksum"}}, false);
  run.Cycle(FullCycle(), true);
  run.Summary();
  const soak::Report report = run.Check();
  EXPECT_TRUE(report.Passed()) << All(report);
  EXPECT_EQ(report.cycles_started, 4);
  EXPECT_EQ(report.cycles_completed, 3);
  EXPECT_EQ(report.cycles_fault_free, 2);
  EXPECT_EQ(report.answers, 15);
  EXPECT_EQ(report.values_checked, 12);  // four of each completed cycle
  EXPECT_EQ(report.faults_injected.at("no_answer"), 1);
  EXPECT_EQ(report.given_up_by_cause.at("bad_checksum"), 1);
  EXPECT_EQ(report.completed_despite.at("no_answer"), 1);
  EXPECT_EQ(report.given_up_then_fault_free, 1);
  EXPECT_EQ(report.longest_recovery, 1);
}

// A value the device kept that is not the answer to its own request.
struct ForgedCase {
  const char* name;
  std::function<void(SoakRun&)> run;
  std::string expected;
  long long soak::Report::*counter;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ForgedCase& c, std::ostream* out) {
  *out << c.name;
}

class ForgedValueTest : public ::testing::TestWithParam<ForgedCase> {};

TEST_P(ForgedValueTest, IsReportedAndCounted) {
  SoakRun run;
  run.Cycle(FullCycle(), true);
  GetParam().run(run);
  run.Cycle(FullCycle(), true);
  run.Summary();
  const soak::Report report = run.Check();
  EXPECT_TRUE(Mentions(report, GetParam().expected)) << All(report);
  EXPECT_EQ(report.*GetParam().counter, 1) << All(report);
  EXPECT_EQ(
      report.values_in_other_field + report.values_never_sent + report.values_from_other_request,
      1);
}

using Forge = std::function<void(Measurement&)>;
void ForgeSecondCycle(SoakRun& run, const Forge& forge) {
  run.Cycle(FullCycle(), true, forge);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Values, ForgedValueTest,
    ::testing::Values(
        ForgedCase{"cells_never_sent", [](SoakRun& r) { ForgeSecondCycle(r, [](Measurement& m) { m.cells[5] += 0.001f; }); }, "cycle 2: cells are not those of the cycle's own cell answer (never sent)", &soak::Report::values_never_sent},
        ForgedCase{"cells_of_the_cycle_before", [](SoakRun& r) { ForgeSecondCycle(r, [](Measurement& m) { m.cells = SoakRun::Values(1).cells; }); }, "cycle 2: cells are not those of the cycle's own cell answer (those of another cell request)", &soak::Report::values_from_other_request},
        ForgedCase{"current_from_the_group_voltage_answer", [](SoakRun& r) { ForgeSecondCycle(r, [](Measurement& m) { m.group_current = soak::GroupAmperes(SoakRun::GroupRaw(2)); }); }, "cycle 2: group current 70.199997 is the answer to a group_voltage request", &soak::Report::values_in_other_field},
        ForgedCase{"temperature_from_the_current_answer", [](SoakRun& r) { ForgeSecondCycle(r, [](Measurement& m) { m.temperature = soak::Degrees(SoakRun::CurrentRaw(2)); }); }, "cycle 2: temperature 0.170000 is the answer to a group_current request", &soak::Report::values_in_other_field},
        ForgedCase{"group_voltage_of_a_rejected_answer", [](SoakRun& r) { r.Cycle({{"cells"}, {"group_voltage", "wrong_address"}}, false); r.Cycle(FullCycle(), true, [](Measurement& m) { m.group_voltage = soak::GroupVolts(SoakRun::GroupRaw(2)); }); }, "cycle 3: group voltage 70.199997 was never sent", &soak::Report::values_never_sent}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST(SoakCheckTest, FaultFreeCycleGivenUpIsReported) {
  SoakRun run;
  run.Cycle(FullCycle(), true);
  run.Cycle(FullCycle(), false);
  run.Cycle(FullCycle(), true);
  run.Summary();
  const soak::Report report = run.Check();
  EXPECT_TRUE(Mentions(report, "cycle 2: no fault was injected, yet it was given up"))
      << All(report);
}

TEST(SoakCheckTest, CycleAfterASplitAnswerNeedNotComplete) {
  SoakRun run;
  run.Cycle({{"cells"}, {"group_voltage", "split"}}, false);
  // The rest of the split answer may reach the next cycle.
  run.Cycle(FullCycle(), false);
  run.Cycle({{"cells", "late"},
             {"cells", "none", false},
             {"group_voltage"},
             {"group_current"},
             {"temperature"}},
            true);
  run.Cycle(
      {{"cells", "none", false}, {"cells"}, {"group_voltage"}, {"group_current"}, {"temperature"}},
      true);
  run.Summary();
  const soak::Report report = run.Check();
  EXPECT_TRUE(report.Passed()) << All(report);
  EXPECT_EQ(report.given_up_by_cause.at("split"), 1);
  EXPECT_EQ(report.given_up_by_cause.at("late or split answer of the turn before"), 1);
  EXPECT_EQ(report.cycles_fault_free, 0);
  EXPECT_EQ(report.longest_recovery, 2);
}

TEST(SoakCheckTest, HistoryThatDiffersFromThePublishedRecordIsReported) {
  SoakRun run;
  run.Cycle(FullCycle(), true);
  run.Cycle(FullCycle(), true);
  run.Cycle(FullCycle(), true);
  run.history[1].temperature = 99.0f;
  run.Summary();
  EXPECT_TRUE(Mentions(run.Check(), "history entry 2: not what record 2 published"))
      << All(run.Check());
}

TEST(SoakCheckTest, LogThatDoesNotLineUpWithTheTraceIsReported) {
  SoakRun run;
  run.Cycle(FullCycle(), true);
  run.answers[1].command = "temperature";
  run.answers[3].request = 9;
  run.Summary();
  const soak::Report report = run.Check();
  EXPECT_TRUE(Mentions(report, "answer to request 2 does not match the request")) << All(report);
  EXPECT_TRUE(Mentions(report, "answer to request 9, but the trace has 4 requests"));
}

TEST(SoakCheckTest, SummaryThatDisagreesWithTheTraceIsReported) {
  SoakRun run;
  run.Cycle(FullCycle(), true);
  run.Summary(1);
  EXPECT_TRUE(Mentions(run.Check(), "summary says 2 started")) << All(run.Check());
}

TEST(SoakCheckTest, UnknownHostMessageIsReported) {
  SoakRun run;
  run.Cycle(FullCycle(), true);
  run.host_output += "battery-host: /tmp/ttySOAK0: end of file (hang-up); retrying in 250 ms\n";
  run.Summary();
  EXPECT_TRUE(Mentions(run.Check(), "retrying in 250 ms")) << All(run.Check());
}

TEST(SoakCheckTest, DecodingsFollowThePlugin) {
  EXPECT_EQ(soak::CellVolts(999), 0.0f);
  EXPECT_EQ(soak::CellVolts(1000), 1.0f);
  EXPECT_EQ(soak::CellVolts(4001), 0.0f);
  EXPECT_EQ(soak::GroupVolts(5350), 535.0f);
  EXPECT_EQ(soak::GroupAmperes(15), 1.5f);
  EXPECT_EQ(soak::Degrees(0), 0.0f);
  EXPECT_EQ(soak::Degrees(10000), 100.0f);
  EXPECT_EQ(soak::Degrees(10001), 0.0f);
}

TEST(SoakCheckTest, LogAndHistoryFilesAreRead) {
  const auto answers = soak::ParseSimLog(
      "{\"address\":1,\"command\":\"temperature\",\"fault\":\"late\",\"intact\":true,"
      "\"raw\":2512,\"request\":4}\nnot json\n");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].command, "temperature");
  EXPECT_EQ(answers[0].fault, "late");
  EXPECT_TRUE(answers[0].intact);
  EXPECT_EQ(answers[0].raw, std::vector<unsigned>{2512});
  EXPECT_EQ(answers[0].request, 4u);

  // A ring of 4 entries: 32-byte header (capacity at 16), 164-byte entries
  // (sequence number, record at 8, CRC-32 of the first 160 bytes).
  std::string ring(32 + 4 * 164, '\0');
  ring[16] = 4;
  const auto put_entry = [&ring](std::uint8_t sequence, float cell, bool torn) {
    char* entry = &ring[32 + std::size_t{sequence} % 4 * 164];
    entry[0] = static_cast<char>(sequence);
    std::memcpy(entry + 8 + 4 + 4 * 31, &cell, 4);
    const float temperature = 24.5f;
    std::memcpy(entry + 8 + 141, &temperature, 4);
    boost::crc_32_type crc;
    crc.process_bytes(entry, 160);
    const std::uint32_t sum = crc.checksum() ^ (torn ? 1u : 0u);
    std::memcpy(entry + 160, &sum, 4);
  };
  put_entry(6, 2.25f, false);
  put_entry(5, 2.5f, false);
  put_entry(7, 2.75f, true);
  const auto history = soak::ParseHistory(ring);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].cells[31], 2.5f);
  EXPECT_EQ(history[1].cells[31], 2.25f);
  EXPECT_EQ(history[1].temperature, 24.5f);
}

}  // namespace
