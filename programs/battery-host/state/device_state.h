#pragma once

// What the host knows of one device as a run goes on: its cycles, its newest
// record, whether it answers. The controller and the lines keep it; the
// outputs read it.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "battery/link.h"
#include "programs/battery-host/state/host_record.h"

// Where a variable stands against its threshold limit: inside it (or without
// one), above "high" or below "low", as the last crossing or return left it.
enum class ThresholdState : std::uint8_t { kNormal, kHigh, kLow };
// "normal", "high", "low".
const char* ThresholdStateName(ThresholdState state);

class ThresholdMonitor;

// Every variable the plug-in checks against a limit.
struct ThresholdStates {
  std::array<ThresholdState, battery_link::kCellCount> cells{};
  ThresholdState group_voltage = ThresholdState::kNormal;
  ThresholdState group_current = ThresholdState::kNormal;
  ThresholdState temperature = ThresholdState::kNormal;

  // The state of a variable by its name; nullptr for a name that is none of them.
  ThresholdState* Find(std::string_view name);
  const ThresholdState* Find(std::string_view name) const {
    return const_cast<ThresholdStates*>(this)->Find(name);
  }
};

struct DeviceState {
  using Clock = std::chrono::steady_clock;

  unsigned int data_id = 0;
  long started = 0;    // polling cycles started
  long completed = 0;  // of them, completed with a record
  // The newest record of this run (a record restored from the history is not
  // one), and when it came.
  std::optional<HostRecord> newest;
  Clock::time_point newest_at{};
  bool silent = false;  // its cycles were given up, or ended not at all, for a while (SilenceWatch)
  long silent_events = 0;
  long port_down_events = 0;
  // The device's poll period: its poll interval, but no shorter than its line
  // may need to serve every device on it once.
  Clock::duration poll_period{};
};

// How current a device's values are: live while its newest record is younger
// than two poll periods (one cycle may come late), stale when it is older or
// there is none yet, silent once it has completed no cycle for the configured
// number of poll periods.
enum class Freshness : std::uint8_t { kLive, kStale, kSilent };
Freshness FreshnessOf(const DeviceState& device, DeviceState::Clock::time_point now);
// "live", "stale", "silent".
const char* FreshnessName(Freshness freshness);

// How a device's line waits for its answers: the timeout in force for its
// cell request, the latency it has shown (request's last byte to answer's
// first byte, over its last answers; none yet: samples 0), and whether it is
// taken for dead and probed.
struct AnswerTiming {
  std::chrono::microseconds answer_timeout{};
  std::size_t latency_samples = 0;
  std::chrono::microseconds latency_p50{}, latency_p90{}, latency_p99{};
  bool probed = false;
};

// A device as the outputs show it at one moment: its state with what its line
// knows.
struct DeviceStatus {
  const DeviceState* state;
  const ThresholdStates* thresholds;
  const std::string* port;         // the line's name
  const std::string* name;         // what people call the device
  int cell_start;                  // cell i is shown as cell_start + i + 1
  unsigned address;                // as configured
  const ThresholdMonitor* limits;  // which variables have a limit, and what it is
  bool port_up;
  long given_up;  // cycles that ended without a record
  std::uint64_t stale_bytes;
  AnswerTiming timing;
};
