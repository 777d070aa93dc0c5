#pragma once

// Checks of a soak run of `battery-host run --trace` against simulated
// monitors (battery-monitor-sim --log), one simulator per line.
//
// The host's standard output and standard error go to one file, so its
// trace lines (cycle starts, requests, chunks) and its record lines stand in
// the order in which they happened. Each simulator answer names the number
// of the request it answers, counted over every request its line heard; the
// N-th `tx` line of a line in the trace is that request. With that:
//
// - Values: each published record may carry only what the monitor sent in
//   answer to requests written before the record was published, that is in
//   that cycle or an earlier one. The cells must be one intact cell answer,
//   never older than the cells of the device's record before. Short answers
//   do not name their request (a late answer to a re-sent request can be
//   taken for the next request's), so each short value must be the decoding,
//   as its field decodes, of some intact short answer sent by then.
// - History: the record published at the end of cycle k+1 holds the values
//   of cycle k, which is what the history saved at the end of cycle k holds.
// - Recovery: every cycle without an injected fault completes. A cycle is
//   fault-free when each of its requests was answered, no answer had a fault,
//   no request was re-sent, and the turn before on the line had no late or
//   split answer whose bytes could spill into it. Since every fault-free
//   cycle completes, the first one after each given-up cycle does too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/run_values.h"

namespace soak {

using run_values::CellVolts;
using run_values::Degrees;
using run_values::FromRecordJson;
using run_values::GroupAmperes;
using run_values::GroupVolts;
using run_values::kCells;
using run_values::Measurement;
using run_values::ParseHistory;

// One line of a simulator's log.
struct SentAnswer {
  unsigned address = 0;
  std::string command;  // cells, group_voltage, group_current, temperature
  std::vector<unsigned> raw;
  std::string fault;  // none, no_answer, bad_checksum, ...
  bool intact = false;
  std::uint64_t request = 0;
};

struct LineInput {
  std::string name;  // the port as the trace names it
  std::vector<SentAnswer> answers;
};

struct DeviceInput {
  unsigned data_id = 0;
  unsigned monitor_address = 0;  // as the monitor answers (configured address ^ 0x80)
  std::string line;
  std::vector<Measurement> history;  // the device's history file, oldest first
};

struct Report {
  long long cycles_started = 0;
  long long cycles_completed = 0;
  long long cycles_fault_free = 0;
  long long records_checked = 0;  // published records whose values were looked up
  long long answers = 0;
  std::map<std::string, long long> faults_injected;    // by kind, per answer
  std::map<std::string, long long> given_up_by_cause;  // fault kinds, or what else
  std::map<std::string, long long> completed_despite;  // fault kinds of completed cycles
  long long given_up_then_fault_free = 0;  // given-up cycles whose next cycle was fault-free
  long long longest_recovery = 0;          // most cycles from a given-up one to a completion
  std::vector<std::string> problems;
  bool Passed() const { return problems.empty(); }
};

// Reads the host's combined output, the simulators' logs and the histories.
Report Check(const std::string& host_output, const std::vector<LineInput>& lines,
             const std::vector<DeviceInput>& devices);

// A simulator's log; malformed lines are skipped.
std::vector<SentAnswer> ParseSimLog(const std::string& text);

}  // namespace soak
