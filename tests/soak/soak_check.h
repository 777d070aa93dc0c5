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
// - Values: each value of a completed cycle (its record holds the cycle's own
//   values) must be the decoding of an intact answer to a request of that
//   very cycle and of its own kind: the cells of a cell answer, the group
//   voltage of a group-voltage answer, and so on. A request may have been
//   sent more than once; either copy's answer will do. A value that matches
//   an answer of another kind was taken for the wrong request; one that
//   matches no intact answer at all was never sent. Both are counted.
// - History: the history saved at the end of cycle k holds what the record
//   of cycle k published.
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
using run_values::WithoutTimeStamp;

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
  long long values_checked = 0;             // cells, group voltage, current, temperature
  long long values_in_other_field = 0;      // the decoding of an answer of another kind
  long long values_never_sent = 0;          // the decoding of no intact answer at all
  long long values_from_other_request = 0;  // of their kind, but not this cycle's request
  long long stale_bytes = 0;                // dropped by the host, from the summaries
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
