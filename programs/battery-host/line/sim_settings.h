#pragma once

// One simulated monitor on a line inside the host, as the configuration sets
// it up: its address and seed, and where the configuration says so, its
// values, its delays and its fault rates. What is left empty keeps the
// simulator's own default.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

// Probability (0..1) of each fault per answer, by the fault's name in the
// simulator's fault table (its key under "faults"); a fault not named does
// not happen. At most one fault hits an answer.
using SimFaultRates = std::map<std::string, double>;

struct SimMonitorSettings {
  std::uint8_t address = 0;  // as the monitor answers (the host stores it with the top bit set)
  std::uint32_t seed = 0;
  std::optional<float> cell_voltage;   // volts, base of every cell
  std::optional<float> group_voltage;  // volts
  std::optional<float> current;        // amperes
  std::optional<float> temperature;    // degrees Celsius
  std::optional<int> version;          // 2: group voltage in 0.01 V, else 0.1 V
  // The current as (amperes / 50 + 2) x 1250, as with a non-zero current_ratio;
  // else as amperes x 10.
  bool offset_current = false;
  SimFaultRates faults;
  std::optional<std::chrono::milliseconds> latency;    // time to answer
  std::optional<std::chrono::milliseconds> late;       // time to answer when late
  std::optional<std::chrono::milliseconds> split_gap;  // pause inside a split answer
};
