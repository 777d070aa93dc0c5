// battery-host run end to end: battery-monitor-sim on a pseudo-terminal, the
// host opening it through the tty layer like a serial port, the plug-in
// polling it. Published records are checked against the simulator's log of
// every answer it sent.

#include <gtest/gtest.h>
#include <json/reader.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/process.h"
#include "tests/soak/soak_check.h"
#include "tests/support/run_values.h"

namespace e2e {

namespace {

namespace fs = std::filesystem;
// Records, histories and decodings are read back as the soak reads them.
using namespace run_values;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::size_t kRingHeaderSize = 32;
constexpr std::size_t kRingEntrySize = 168;

// Generous: the machines are shared; no test asserts on speed.
constexpr seconds kRunLimit{50};

// What the simulator really sent, per address: only answers that left it intact.
// Short answers do not name their command: when a request is re-sent because
// its answer was only slow (a loaded machine), the second answer is taken for
// the next request. So a short value is checked against every short answer
// decoded the way the field that holds it is decoded.
struct SentValues {
  std::vector<std::array<float, kCells>> cells;
  std::set<float> group_voltage, group_current, temperature;
  void AddShort(unsigned raw) {
    group_voltage.insert(GroupVolts(raw));
    group_current.insert(GroupAmperes(raw));
    const float degrees = Degrees(raw);
    if (degrees != 0.0f) temperature.insert(degrees);
  }
};

std::map<unsigned, SentValues> ReadSimLog(const std::string& path) {
  std::map<unsigned, SentValues> sent;
  for (const Json::Value& line : JsonLines(ReadFile(path))) {
    if (!line["intact"].asBool()) continue;
    SentValues& values = sent[line["address"].asUInt()];
    const std::string command = line["command"].asString();
    const Json::Value& raw = line["raw"];
    if (command == "cells") {
      std::array<float, kCells> cells{};
      for (Json::ArrayIndex i = 0; i < kCells; ++i) cells[i] = CellVolts(raw[i].asUInt());
      values.cells.push_back(cells);
    } else {
      values.AddShort(raw.asUInt());
    }
  }
  return sent;
}

// Every value of the record was sent by the monitor; the cells as one answer.
void ExpectSent(const Measurement& m, const SentValues& sent, const std::string& what) {
  EXPECT_NE(std::find(sent.cells.begin(), sent.cells.end(), m.cells), sent.cells.end())
      << what << ": cells never sent";
  EXPECT_EQ(sent.group_voltage.count(m.group_voltage), 1u) << what << ": " << m.group_voltage;
  EXPECT_EQ(sent.group_current.count(m.group_current), 1u) << what << ": " << m.group_current;
  EXPECT_EQ(sent.temperature.count(m.temperature), 1u) << what << ": " << m.temperature;
}

// Records published by the host: each holds its own cycle's values, all of
// them sent by the monitor, from the first record of a fresh start on.
void ExpectRecordsFromMonitor(const std::vector<Json::Value>& records, const SentValues& sent) {
  ASSERT_FALSE(records.empty());
  for (std::size_t i = 0; i < records.size(); ++i) {
    ExpectSent(FromRecordJson(records[i]), sent, "record " + std::to_string(i + 1));
  }
}

struct Base {
  float cell, group, current, temperature;
};

// The simulator keeps its values within fixed bands around the bases it was given.
void ExpectNearBase(const Measurement& m, const Base& base) {
  for (const float cell : m.cells) EXPECT_NEAR(cell, base.cell, 0.0715f);
  EXPECT_NEAR(m.group_voltage, base.group, 2.05f);
  EXPECT_NEAR(m.group_current, base.current, 1.05f);
  EXPECT_NEAR(m.temperature, base.temperature, 2.01f);
}

class LiveHostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Made()); }
  void TearDown() override { sims_.clear(); }

  std::string Path(const std::string& name) const { return dir_.Path(name); }

  // Starts a simulator on a pty linked at `link`; skips the test where no pty can be made.
  void StartSim(const std::string& link, std::vector<std::string> args) {
    const std::string name = fs::path(link).filename().string();
    args.insert(args.begin(), {"--link", link, "--log", Path(name + ".log")});
    sims_.push_back(
        std::make_unique<Process>(programs().sim, args, Path(name + ".out"), Path(name + ".err")));
    ASSERT_TRUE(sims_.back()->Started());
    WaitFor([&] { return fs::exists(link) || !sims_.back()->Running(); }, seconds(20));
    if (!fs::exists(link) &&
        ReadFile(Path(name + ".err")).find("posix_openpt") != std::string::npos) {
      GTEST_SKIP() << "no pseudo-terminal here (emulated?): " << ReadFile(Path(name + ".err"));
    }
    ASSERT_TRUE(fs::exists(link)) << ReadFile(Path(name + ".err"));
  }

  std::map<unsigned, SentValues> StopSim(const std::string& link) {
    sims_.clear();
    return ReadSimLog(Path(fs::path(link).filename().string() + ".log"));
  }

  std::string WriteConfig(const std::string& text) {
    const std::string path = Path("host.json");
    std::ofstream(path) << text;
    return path;
  }

  // Runs the host to its end; returns its exit status (-1 when it had to be killed).
  int RunHost(const std::vector<std::string>& args) {
    Process host(programs().host, args, Path("host.out"), Path("host.err"));
    if (!host.Started()) return -1;
    return host.Wait(kRunLimit).value_or(-1);
  }

  std::vector<Json::Value> Output() const { return JsonLines(ReadFile(Path("host.out"))); }
  std::string Errors() const { return ReadFile(Path("host.err")); }

  TempFolder dir_{"live-host"};
  std::vector<std::unique_ptr<Process>> sims_;
};

std::string Config(int poll_interval_ms, const std::vector<std::string>& devices,
                   const std::string& ports = "{}") {
  std::string list;
  for (const std::string& device : devices) list += (list.empty() ? "" : ",\n    ") + device;
  // Every record goes to the history.
  return "{\n  \"poll_interval_ms\": " + std::to_string(poll_interval_ms) +
         ",\n  \"history\": {\"interval_s\": 0},\n  \"ports\": " + ports +
         ",\n  \"devices\": [\n    " + list + "\n  ]\n}\n";
}

long long GivenUp(const std::vector<Json::Value>& lines, unsigned data_id) {
  const auto summary = OfType(lines, "summary", data_id);
  return summary.empty() ? -1 : summary.front()["cycles_given_up"].asInt64();
}

TEST_F(LiveHostTest, RecordsThroughAPtyHoldWhatTheSimulatorSent) {
  const std::string link = Path("ttyBAT0");
  const Base base{2.05f, 65.6f, 4.2f, 31.5f};
  StartSim(link, {"--address", "1", "--cell-voltage", "2.05", "--group-voltage", "65.6",
                  "--current", "4.2", "--temperature", "31.5", "--seed", "7"});
  if (IsSkipped()) return;
  const std::string config = WriteConfig(Config(150, {Device(2001, "129", link)}));
  ASSERT_EQ(RunHost({"run", "--config", config, "--cycles", "5", "--state-dir", Path("state")}), 0)
      << Errors();
  const SentValues sent = StopSim(link)[1];

  const auto records = OfType(Output(), "record", 2001);
  ASSERT_EQ(records.size(), 5u) << Errors();
  ExpectRecordsFromMonitor(records, sent);
  for (const Json::Value& record : records) ExpectNearBase(FromRecordJson(record), base);
  // The history holds what the records published; the newest is the last measurement sent.
  const auto history = ParseHistory(ReadFile(Path("state/device-2001.ring")));
  ASSERT_EQ(history.size(), 5u);
  for (std::size_t i = 0; i < history.size(); ++i) {
    EXPECT_EQ(history[i], FromRecordJson(records[i])) << "entry " << i + 1;
  }
  ASSERT_FALSE(sent.cells.empty());
  EXPECT_EQ(history.back().cells, sent.cells.back());
}

TEST_F(LiveHostTest, TwoMonitorsShareOnePty) {
  const std::string link = Path("ttyBUS0");
  StartSim(link, {"--address", "1", "--address", "2", "--cell-voltage", "2.1", "--seed", "3"});
  if (IsSkipped()) return;
  const std::string config =
      WriteConfig(Config(100, {Device(3001, "129", link), Device(3002, "130", link)}));
  ASSERT_EQ(RunHost({"run", "--config", config, "--cycles", "4", "--state-dir", Path("state")}), 0)
      << Errors();
  auto sent = StopSim(link);

  for (const auto& [data_id, address] : {std::pair{3001u, 1u}, std::pair{3002u, 2u}}) {
    SCOPED_TRACE("device " + std::to_string(data_id));
    const auto records = OfType(Output(), "record", data_id);
    ASSERT_EQ(records.size(), 4u);
    ExpectRecordsFromMonitor(records, sent[address]);
    const SentValues& other = sent[address == 1 ? 2 : 1];
    const auto cells = FromRecordJson(records.back()).cells;
    EXPECT_EQ(std::find(other.cells.begin(), other.cells.end(), cells), other.cells.end())
        << "cells of the other monitor";
  }
}

TEST_F(LiveHostTest, FaultyMonitorPublishesOnlyValuesItSent) {
  const std::string link = Path("ttyFLT0");
  // 10% of the answers lost, corrupted, split or late.
  StartSim(link, {"--address", "1", "--seed", "11", "--no-answer", "0.03", "--bad-checksum", "0.02",
                  "--wrong-address", "0.01", "--garbage", "0.01", "--split", "0.02", "--late",
                  "0.01", "--late-ms", "150"});
  if (IsSkipped()) return;
  const std::string config = WriteConfig(Config(100, {Device(4001, "129", link)}));
  ASSERT_EQ(RunHost({"run", "--config", config, "--cycles", "12", "--state-dir", Path("state")}), 0)
      << Errors();
  const SentValues sent = StopSim(link)[1];

  const auto lines = Output();
  const auto records = OfType(lines, "record", 4001);
  ASSERT_EQ(records.size(), 12u);
  ExpectRecordsFromMonitor(records, sent);
  const long long given_up = GivenUp(lines, 4001);
  ASSERT_GE(given_up, 0);
  RecordProperty("cycles_given_up", static_cast<int>(given_up));
  std::cout << "[ faults   ] 12 cycles completed, " << given_up << " given up" << std::endl;
}

// Unplugged for longer than the device may stay silent: the port's going down
// and coming back and the device's silence and return are status lines.
TEST_F(LiveHostTest, UnpluggedPortIsReportedAndPollingResumes) {
  const std::string link = Path("ttyUSB9");
  StartSim(link, {"--address", "1", "--unplug-after", "10", "--unplug-for", "3000"});
  if (IsSkipped()) return;
  // Silent when no cycle ends for two periods (one, and one of slack): the
  // longest turn of a slow monitor, about 1 s, each.
  std::string config_text = Config(100, {Device(5001, "129", link)});
  config_text.insert(1, "\"silent_after_periods\": 1,");
  const std::string config = WriteConfig(config_text);
  ASSERT_EQ(RunHost({"run", "--config", config, "--cycles", "6", "--state-dir", Path("state")}), 0)
      << Errors();
  const SentValues sent = StopSim(link)[1];

  const std::string errors = Errors();
  EXPECT_NE(errors.find("battery-host: " + link + ": "), std::string::npos) << errors;
  EXPECT_NE(errors.find("retrying"), std::string::npos) << errors;
  EXPECT_NE(errors.find("open again, polling resumes"), std::string::npos) << errors;
  EXPECT_NE(ReadFile(Path("ttyUSB9.err")).find("plugged in again"), std::string::npos);
  const auto lines = Output();
  const auto records = OfType(lines, "record", 5001);
  ASSERT_EQ(records.size(), 6u);
  ExpectRecordsFromMonitor(records, sent);
  std::vector<std::string> events;
  for (const Json::Value& line : lines) {
    if (line["type"] == "status") events.push_back(line["event"].asString());
  }
  EXPECT_EQ(events, (std::vector<std::string>{"port_down", "silent", "port_up", "answering"}));
  const auto summary = OfType(lines, "summary", 5001);
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary.front()["silent_events"].asInt(), 1);
  EXPECT_EQ(summary.front()["port_down_events"].asInt(), 1);
}

TEST_F(LiveHostTest, EchoOfAHalfDuplexAdapterIsDropped) {
  const std::string link = Path("ttyECH0");
  StartSim(link, {"--address", "1", "--echo"});
  if (IsSkipped()) return;
  const std::string ports = "{\"" + link + "\": {\"echo\": true}}";
  const std::string config = WriteConfig(Config(150, {Device(6001, "129", link)}, ports));
  ASSERT_EQ(RunHost({"run", "--config", config, "--cycles", "4", "--state-dir", Path("state")}), 0)
      << Errors();
  const SentValues sent = StopSim(link)[1];

  const auto lines = Output();
  const auto records = OfType(lines, "record", 6001);
  ASSERT_EQ(records.size(), 4u);
  ExpectRecordsFromMonitor(records, sent);
  // Left in place, the echo would spoil every short answer and no cycle could complete.
  EXPECT_LT(GivenUp(lines, 6001), 4);
}

// Every answer in two chunks: the plug-in takes a short answer only whole in
// one chunk, so only a quiet gap on the port lets a cycle complete.
TEST_F(LiveHostTest, SplitAnswersCompleteWithAQuietGap) {
  const std::string link = Path("ttySPL0");
  StartSim(link, {"--address", "1", "--split", "1", "--split-gap-ms", "10"});
  if (IsSkipped()) return;
  const std::string ports = "{\"" + link + "\": {\"quiet_ms\": 50}}";
  const std::string config = WriteConfig(Config(400, {Device(6101, "129", link)}, ports));
  ASSERT_EQ(RunHost({"run", "--config", config, "--cycles", "3", "--state-dir", Path("state")}), 0)
      << Errors();
  const SentValues sent = StopSim(link)[1];

  const auto records = OfType(Output(), "record", 6101);
  ASSERT_EQ(records.size(), 3u);
  ExpectRecordsFromMonitor(records, sent);
}

TEST_F(LiveHostTest, SplitShortAnswersAreGivenUpWithoutAQuietGap) {
  const std::string link = Path("ttySPL1");
  StartSim(link, {"--address", "1", "--split", "1", "--split-gap-ms", "40"});
  if (IsSkipped()) return;
  const std::string config = WriteConfig(Config(100, {Device(6102, "129", link)}));
  Process host(programs().host,
               {"run", "--config", config, "--trace", "--state-dir", Path("state")},
               Path("host.out"), Path("host.err"));
  ASSERT_TRUE(host.Started());
  const auto started = [this] {
    const std::string trace = Errors();
    std::size_t count = 0;
    for (std::size_t at = trace.find(" cycle "); at != std::string::npos;
         at = trace.find(" cycle ", at + 1)) {
      ++count;
    }
    return count;
  };
  WaitFor([&] { return started() >= 4 || !host.Running(); }, seconds(30), milliseconds(50));
  ASSERT_GE(started(), 4u) << Errors();
  EXPECT_EQ(host.Stop(), std::optional<int>(0));
  const auto lines = Output();
  const auto summary = OfType(lines, "summary", 6102);
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_GE(summary.front()["cycles_started"].asInt64(), 4);
  EXPECT_EQ(summary.front()["cycles_completed"].asInt64(), 0);
  EXPECT_TRUE(OfType(lines, "record", 6102).empty());
}

// Trace lines "battery-host: DATA_ID WHAT ..." of one kind, in order: the data ids.
std::vector<unsigned> TraceOf(const std::string& trace, const std::string& what) {
  std::vector<unsigned> ids;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(WithoutTimeStamp(line));
    std::string prefix, id, word;
    if (words >> prefix >> id >> word && prefix == "battery-host:" && word == what) {
      ids.push_back(static_cast<unsigned>(std::stoul(id)));
    }
  }
  return ids;
}

// The host's own lines: under valgrind the wrapper's notes ("==PID== ...")
// share standard error with them; its errors fail the run by its exit status.
std::string WithoutWrapperLines(const std::string& text) {
  std::string kept;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto end = line.find("== ", 2);
    const bool wrapper = line.rfind("==", 0) == 0 && end != std::string::npos &&
                         std::all_of(line.begin() + 2, line.begin() + static_cast<long>(end),
                                     [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!wrapper) kept += line + '\n';
  }
  return kept;
}

// The field case: a third of the answers come just before the answer timeout,
// so many short ones arrive just after their request has been re-sent, and the
// re-send draws a second answer. Each value must come from the answer to its
// own request, never from one to another request.
TEST_F(LiveHostTest, LateAnswersNeverLandInAnotherRequestsPlace) {
  const std::string link = Path("ttyLATE0");
  StartSim(link, {"--address", "1", "--seed", "21", "--late", "0.3", "--late-ms", "57"});
  if (IsSkipped()) return;
  const std::string ports = "{\"" + link + "\": {\"answer_timeout_ms\": 60}}";
  const std::string config = WriteConfig(Config(0, {Device(4101, "129", link)}, ports));
  Process host(
      programs().host,
      {"run", "--config", config, "--cycles", "30", "--trace", "--state-dir", Path("state")},
      Path("host.log"), Path("host.log"));
  ASSERT_EQ(host.Wait(kRunLimit), std::optional<int>(0)) << ReadFile(Path("host.log"));
  sims_.clear();

  const std::string output = WithoutWrapperLines(ReadFile(Path("host.log")));
  const soak::Report report =
      soak::Check(output, {{link, soak::ParseSimLog(ReadFile(Path("ttyLATE0.log")))}},
                  {{4101, 1, link, ParseHistory(ReadFile(Path("state/device-4101.ring")))}});
  std::string problems;
  for (const std::string& problem : report.problems) problems += problem + "\n";
  EXPECT_TRUE(report.Passed()) << problems;
  EXPECT_EQ(report.values_checked, 30 * 4);
  EXPECT_EQ(report.values_in_other_field, 0);
  EXPECT_EQ(report.values_never_sent, 0);
  // Late cell answers outlast the timeout: their re-sends hold the next request.
  EXPECT_FALSE(TraceOf(output, "held").empty()) << output;
  const auto late = report.faults_injected.find("late");
  std::cout << "[ late     ] " << (late == report.faults_injected.end() ? 0 : late->second)
            << " late answers, " << report.stale_bytes << " stale bytes dropped" << std::endl;
}

// A monitor that never answers shares the line with one that does: its first
// two turns are its request and the plug-in's three re-sends, then it is taken
// for dead and probed with one request a turn, further and further apart,
// while the other device's cycles follow each other at once.
TEST_F(LiveHostTest, DeadMonitorIsProbedAndLeavesTheSharedLineToTheOther) {
  const std::string link = Path("ttyBUS1");
  StartSim(link, {"--address", "1", "--seed", "5"});
  if (IsSkipped()) return;
  const std::string config =
      WriteConfig(Config(0, {Device(4201, "129", link), Device(4202, "130", link)}));
  Process host(programs().host,
               {"run", "--config", config, "--trace", "--state-dir", Path("state")},
               Path("host.log"), Path("host.log"));
  ASSERT_TRUE(host.Started());
  // Two turns of four requests, then probes 1 s and 2 s apart.
  const auto probes_seen = [&] {
    const std::string output = ReadFile(Path("host.log"));
    const auto ids = TraceOf(output, "tx");
    return std::count(ids.begin(), ids.end(), 4202u) >= 8 + 2;
  };
  WaitFor([&] { return probes_seen() || !host.Running(); }, kRunLimit, milliseconds(50));
  EXPECT_EQ(host.Stop(), std::optional<int>(0));
  const std::string output = ReadFile(Path("host.log"));
  const auto lines = JsonLines(output);

  // Runs of requests by the same device, in the order they went out.
  std::vector<std::pair<unsigned, int>> runs;
  for (const unsigned id : TraceOf(output, "tx")) {
    if (runs.empty() || runs.back().first != id) runs.emplace_back(id, 0);
    ++runs.back().second;
  }
  // The dead monitor's turns, and the other's requests before each.
  std::vector<std::pair<int, int>> dead_turns;
  int others = 0;
  for (const auto& [id, requests] : runs) {
    if (id == 4201) others = requests;
    if (id == 4202) dead_turns.emplace_back(requests, std::exchange(others, 0));
  }
  ASSERT_GE(dead_turns.size(), 4u) << output;
  for (std::size_t turn = 0; turn < dead_turns.size(); ++turn) {
    EXPECT_EQ(dead_turns[turn].first, turn < 2 ? 4 : 1)
        << "turn " << turn << " of the dead monitor";
    // A second at least between probes: cycles of the other device.
    if (turn > 2) {
      EXPECT_GE(dead_turns[turn].second, 8) << "before turn " << turn;
    }
  }
  EXPECT_EQ(GivenUp(lines, 4201), 0);
  // Probes re-send the cycle's first request: cycles are given up more slowly.
  EXPECT_GE(GivenUp(lines, 4202), 2);
  const auto summary = OfType(lines, "summary", 4202);
  ASSERT_FALSE(summary.empty()) << output;
  EXPECT_EQ(summary.front()["silent_events"].asInt(), 1);
}

TEST_F(LiveHostTest, RestartRestoresTheNewestIntactRecord) {
  const std::string config = WriteConfig(Config(50, {Device(7001, "129", "sim")}));
  ASSERT_EQ(RunHost({"run", "--config", config, "--cycles", "3", "--state-dir", Path("state")}), 0)
      << Errors();
  const std::string history = Path("state/device-7001.ring");
  const auto size = fs::file_size(history);
  const auto saved = ParseHistory(ReadFile(history));
  ASSERT_EQ(saved.size(), 3u);
  // A power cut in the middle of writing the third entry (slot 3 of the
  // header's capacity): its CRC no longer verifies.
  {
    std::fstream file(history, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(kRingHeaderSize + 3 * kRingEntrySize + 40);
    file.put('\x5A');
  }

  ASSERT_EQ(RunHost({"run", "--config", config, "--cycles", "1", "--trace", "--state-dir",
                     Path("state")}),
            0)
      << Errors();
  EXPECT_NE(Errors().find("restored entry 2 of"), std::string::npos) << Errors();
  // The plug-in publishes the restored record first (the trace shows it); it
  // is not a record of this run, so no record line carries it.
  const std::string sp_line = " sp 5011 ";
  const std::size_t sp = Errors().find(sp_line);
  ASSERT_NE(sp, std::string::npos) << Errors();
  std::istringstream hex(Errors().substr(sp + sp_line.size(), 152 * 3));
  std::string bytes;
  for (std::string byte; bytes.size() < 152 && hex >> byte;) {
    bytes += static_cast<char>(std::stoul(byte, nullptr, 16));
  }
  ASSERT_EQ(bytes.size(), 152u);
  EXPECT_EQ(FromRecord(bytes.data()), saved[1]);
  const auto records = OfType(Output(), "record", 7001);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(FromRecordJson(records.front()).cells, saved[1].cells);
  // The next entry, this cycle's record, takes the torn one's place; the file keeps its size.
  const auto after = ParseHistory(ReadFile(history));
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after.back(), FromRecordJson(records.front()));
  EXPECT_EQ(fs::file_size(history), size);
}

TEST_F(LiveHostTest, ShippedExampleRunsOnSimulatedMonitors) {
  ASSERT_EQ(RunHost({"run", "--config", programs().example, "--cycles", "2", "--state-dir",
                     Path("state")}),
            0)
      << Errors();
  const auto lines = Output();
  for (const unsigned data_id : {1001u, 1002u, 1003u}) {
    EXPECT_EQ(OfType(lines, "record", data_id).size(), 2u) << data_id;
    EXPECT_GE(GivenUp(lines, data_id), 0) << data_id;
  }
  // Standard output is JSON lines and nothing else; the plug-in's lines go to standard error.
  std::istringstream out(ReadFile(Path("host.out")));
  std::size_t count = 0;
  for (std::string line; std::getline(out, line); ++count) {
    EXPECT_FALSE(line.empty() || line.front() != '{' || line.back() != '}') << line;
  }
  EXPECT_EQ(count, lines.size());
  EXPECT_NE(Errors().find("battery-host: 1001 plug-in: rvSize is 0"), std::string::npos);
}

// A full disk under standard output: the run ends at once, loudly.
TEST_F(LiveHostTest, StandardOutputThatFailsEndsTheRun) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string config = WriteConfig(Config(50, {Device(7101, "129", "sim")}));
  Process host(programs().host,
               {"run", "--config", config, "--cycles", "50", "--state-dir", Path("state")},
               "/dev/full", Path("host.err"));
  EXPECT_EQ(host.Wait(kRunLimit), std::optional<int>(1)) << Errors();
  EXPECT_NE(Errors().find("battery-host: standard output: No space left on device; the run ends"),
            std::string::npos)
      << Errors();
}

TEST_F(LiveHostTest, SigtermEndsTheRunCleanly) {
  const std::string config = WriteConfig(Config(50, {Device(8001, "129", "sim")}));
  Process host(programs().host, {"run", "--config", config, "--state-dir", Path("state")},
               Path("host.out"), Path("host.err"));
  ASSERT_TRUE(host.Started());
  WaitFor([&] { return OfType(Output(), "record", 8001).size() >= 2 || !host.Running(); },
          seconds(30), milliseconds(50));
  ASSERT_GE(OfType(Output(), "record", 8001).size(), 2u) << Errors();
  EXPECT_EQ(host.Stop(), std::optional<int>(0));
  const auto lines = Output();
  const auto summary = OfType(lines, "summary", 8001);
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary.front()["cycles_completed"].asUInt64(), OfType(lines, "record", 8001).size());
}

// A reload (SIGHUP) on a shared line: the device whose settings stay polls
// on as it was, the device whose threshold changed is set up anew and the
// new limit applies; a configuration that does not check changes nothing.
TEST_F(LiveHostTest, HangUpReloadsTheConfiguration) {
  const std::string link = Path("ttyBUS1");
  StartSim(link, {"--address", "1", "--address", "2"});
  if (IsSkipped()) return;
  constexpr int kPollMs = 500;
  const auto config_with = [&](const std::string& limit) {
    return WriteConfig(
        Config(kPollMs, {Device(3101, "129", link),
                         R"({"data_id": 3102, "address": 130, "port": ")" + link +
                             R"(", "thresholds": {"temperature": {"high": )" + limit + "}}}"}));
  };
  const std::string config = config_with("90");
  Process host(programs().host, {"run", "--config", config, "--state-dir", Path("state")},
               Path("host.out"), Path("host.err"));
  ASSERT_TRUE(host.Started());
  // Arrival times of the kept device's records, looked at every 10 ms.
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  const auto watch_until = [&](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    while (!done() && host.Running() && std::chrono::steady_clock::now() < deadline) {
      const std::size_t records = OfType(Output(), "record", 3101).size();
      while (arrivals.size() < records) arrivals.push_back(std::chrono::steady_clock::now());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  };
  ASSERT_TRUE(watch_until([&] { return arrivals.size() >= 3; })) << Errors();

  config_with("0");
  ASSERT_EQ(::kill(host.Pid(), SIGHUP), 0);
  const std::size_t before = arrivals.size();
  ASSERT_TRUE(watch_until([&] {
    return !OfType(Output(), "threshold", 3102).empty() && arrivals.size() >= before + 3;
  })) << Errors();
  const auto crossing = OfType(Output(), "threshold", 3102).front();
  EXPECT_EQ(crossing["name"].asString(), "temperature");
  EXPECT_EQ(crossing["limit"].asFloat(), 0.0f);
  const std::string errors = Errors();
  EXPECT_NE(errors.find("reloaded: device 3102 re-created"), std::string::npos) << errors;
  // Restored from its history only at the start: the kept device was never set up again.
  const auto restored = [&](unsigned data_id) {
    std::size_t count = 0;
    const std::string text = "battery-host: " + std::to_string(data_id) + ": restored entry";
    for (std::size_t at = errors.find(text); at != std::string::npos;
         at = errors.find(text, at + 1))
      ++count;
    return count;
  };
  EXPECT_EQ(restored(3101), 0u);
  EXPECT_EQ(restored(3102), 1u);
  std::chrono::steady_clock::duration gap{};
  for (std::size_t k = before; k < arrivals.size(); ++k)
    gap = std::max(gap, arrivals[k] - arrivals[k - 1]);
  std::cout << "[ reload   ] longest time between records of the kept device: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(gap).count() << " ms (poll "
            << kPollMs << " ms)" << std::endl;

  std::ofstream(config) << "{\"devices\": [\n";
  ASSERT_EQ(::kill(host.Pid(), SIGHUP), 0);
  const std::size_t at_broken = arrivals.size();
  ASSERT_TRUE(watch_until([&] {
    return Errors().find("is not valid; the running configuration stays") != std::string::npos &&
           arrivals.size() >= at_broken + 2;
  })) << Errors();
  EXPECT_EQ(host.Stop(), std::optional<int>(0)) << Errors();
  const auto lines = Output();
  ASSERT_EQ(OfType(lines, "summary", 3101).size(), 1u);
  EXPECT_EQ(OfType(lines, "summary", 3101).front()["cycles_completed"].asUInt64(),
            OfType(lines, "record", 3101).size());
}

struct BadConfig {
  const char* name;
  std::string text;
  std::string expected;  // part of the message: "host.json:LINE: KEY: ..."
};

class CheckConfigTest : public LiveHostTest, public ::testing::WithParamInterface<BadConfig> {};

TEST_P(CheckConfigTest, NamesFileLineAndKey) {
  const std::string path = WriteConfig(GetParam().text);
  EXPECT_EQ(RunHost({"check-config", path}), 2);
  EXPECT_NE(ReadFile(Path("host.out")).find(path + ":" + GetParam().expected), std::string::npos)
      << ReadFile(Path("host.out"));
  // `run` refuses the same file before it starts anything.
  EXPECT_EQ(RunHost({"run", "--config", path, "--state-dir", Path("state")}), 2);
  EXPECT_TRUE(Output().empty());
  EXPECT_FALSE(fs::exists(Path("state")));
}

INSTANTIATE_TEST_SUITE_P(
    Problems, CheckConfigTest,
    ::testing::Values(
        BadConfig{"unknown_key", "{\"poll_interval_ms\": 100,\n \"tick\": 5,\n \"devices\": []}",
                  "2: tick: unknown key"},
        BadConfig{"syntax", "{\"poll_interval_ms\": 100\n \"devices\": []}", "2: column"},
        BadConfig{"array_setting",
                  "{\"devices\": [{\"data_id\": 1, \"address\": 129, \"port\": \"sim\",\n"
                  "  \"config\": {\"appSetting\": {\n    \"version\": [2]}}}]}",
                  "3: devices[0].config.appSetting.version: expected a single value"},
        BadConfig{"duplicate_id",
                  "{\"devices\": [\n{\"data_id\": 1, \"address\": 129, \"port\": \"sim\"},\n"
                  "{\"data_id\": 1, \"address\": 130, \"port\": \"sim\"}]}",
                  "3: devices[1].data_id: data id 1 is used by another device"},
        BadConfig{"host_key_type",
                  "{\"devices\": [{\"data_id\": 1, \"address\": 129, \"port\": \"sim\",\n"
                  "  \"thresholds\": {\"temperature\": {\"high\": \"hot\"}}}]}",
                  "2: devices[0].thresholds.temperature.high: expected a number, found a string"},
        BadConfig{"echo_type", "{\"ports\": {\"/dev/ttyS1\":\n {\"echo\": 1}},\n \"devices\": []}",
                  "2: ports./dev/ttyS1.echo: expected true or false"},
        BadConfig{"quiet_range",
                  "{\"ports\": {\"/dev/ttyS1\":\n {\"quiet_ms\": -1}},\n \"devices\": []}",
                  "2: ports./dev/ttyS1.quiet_ms: expected an integer from 0 to 1000"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(LiveHostTest, ShippedExampleIsValid) {
  EXPECT_EQ(RunHost({"check-config", programs().example}), 0) << ReadFile(Path("host.out"));
  EXPECT_NE(ReadFile(Path("host.out")).find("valid, 3 device(s)"), std::string::npos);
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return e2e::ReadProgramArguments(argc, argv, true) ? RUN_ALL_TESTS() : 2;
}
