#pragma once

// What a host line reads of its port's settings: the adapter's echo, the
// gathering of what arrives until the line is quiet, the answer timeout and
// whether each monitor's latency is learned, and, on a simulated line,
// whether it keeps time.

#include <chrono>
#include <optional>

struct PortSettings {
  bool echo = false;  // the adapter echoes what is sent: drop the echo
  // 0: every read goes to the device as it comes; else what arrives is
  // gathered until the line has been quiet this long (at most 80 bytes a chunk).
  std::chrono::milliseconds quiet{0};
  // How long the cell answer is awaited before its request is re-sent, at
  // most (a monitor's learned latency may shorten it); empty: from the line speed.
  std::optional<std::chrono::milliseconds> answer_timeout;
  bool learn_latency = true;  // learn how soon each monitor answers
  bool paced = true;          // a simulated line keeps time at the baud rate
};
