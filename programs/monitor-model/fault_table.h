#pragma once

// The faults that the simulated monitor injects, one row each: its name, the
// rate it sets and what it does. The name is the fault's key under "faults"
// in the host's configuration and in the simulator's log; the simulator's
// option is the name with '-' for '_' after "--" (FaultOption). Included from
// .cpp files only.

#include <string>

#include "programs/monitor-model/monitor_model.h"

namespace monitor_sim {

struct FaultKind {
  Fault fault;
  const char* name;
  double FaultRates::*rate;
  const char* help;
};

// In the order in which an answer's draw meets them.
inline constexpr FaultKind kFaultKinds[] = {
    {Fault::kNoAnswer, "no_answer", &FaultRates::no_answer, "the monitor stays silent"},
    {Fault::kBadChecksum, "bad_checksum", &FaultRates::bad_checksum,
     "the answer's last byte is wrong"},
    {Fault::kWrongAddress, "wrong_address", &FaultRates::wrong_address,
     "the answer carries another address, its checksum matching it"},
    {Fault::kGarbage, "garbage", &FaultRates::garbage, "bytes without 0xED come before the answer"},
    {Fault::kSplit, "split", &FaultRates::split,
     "the answer is written in two chunks with a pause between"},
    {Fault::kLate, "late", &FaultRates::late,
     "the answer is written after the late delay instead of the latency"},
};

// The simulator's option for the fault: "--no-answer" for "no_answer".
inline std::string FaultOption(const FaultKind& kind) {
  std::string option = std::string("--") + kind.name;
  for (char& c : option) {
    if (c == '_') c = '-';
  }
  return option;
}

}  // namespace monitor_sim
