#pragma once

// Each device's history ring (state/history_ring.h): its capacity and how
// often an entry is written. The defaults keep a day at one entry every two
// minutes: 118,112 bytes and 720 entry writes a day per device.

#include <chrono>
#include <cstdint>

struct HistorySettings {
  std::uint32_t entries = 720;
  std::chrono::seconds interval{120};  // at most one entry per interval; 0: every record
};
