#pragma once

// What a run of `battery-host run` leaves behind, read back as values: record
// lines, history files, and the plug-in's decodings of raw answers with its
// default settings (one rounded single-precision operation at a time).

#include <json/value.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace run_values {

inline constexpr std::size_t kCells = 32;

struct Measurement {
  std::array<float, kCells> cells{};
  float group_voltage = 0.0f;
  float group_current = 0.0f;
  float temperature = 0.0f;

  bool operator==(const Measurement& other) const {
    return cells == other.cells && group_voltage == other.group_voltage &&
           group_current == other.group_current && temperature == other.temperature;
  }
  bool IsZero() const { return *this == Measurement{}; }
};

// The JSON lines of a program's output; other lines (the plug-in's own) are skipped.
std::vector<Json::Value> JsonLines(const std::string& text);
// A line of the host's standard error without the time stamp that starts it
// ("2026-03-01T12:00:05.123+01:00 battery-host: ..."); unchanged without one.
std::string WithoutTimeStamp(const std::string& line);

// A record line of the host's output ({"type":"record", "cells":[...], ...}).
Measurement FromRecordJson(const Json::Value& record);
// The 152-byte record of a history entry.
Measurement FromRecord(const char* record);

struct HistoryEntry {
  std::uint64_t sequence = 0;
  Measurement measurement;
  std::string record;  // the 152 bytes
  bool group_voltage_valid = true;
  std::optional<int> utc_offset_minutes;
};
// A history ring file, read as its layout is documented: the entries whose
// CRC verifies and whose sequence number belongs in their slot, oldest first.
std::vector<HistoryEntry> ParseHistoryEntries(const std::string& bytes);
// The ring id in its header (bytes 20..27); 0 for a ring made before ids.
std::uint64_t ParseRingId(const std::string& bytes);
// Their measurements.
std::vector<Measurement> ParseHistory(const std::string& bytes);

// 0 outside the cell acceptance window 1.0 to 4.0 V.
float CellVolts(unsigned raw);
float GroupVolts(unsigned raw);
float GroupAmperes(unsigned raw);
// 0 for raw values outside (0, 100] degrees, which the plug-in does not store.
float Degrees(unsigned raw);

}  // namespace run_values
