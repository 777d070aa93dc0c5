#include "tests/support/run_values.h"

#include <json/reader.h>

#include <boost/crc.hpp>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "battery/byte_order.h"

namespace run_values {

namespace {

using byte_order::ReadLittleEndian;

constexpr std::size_t kRingHeaderSize = 32;
constexpr std::size_t kRingVersionOffset = 4;
constexpr std::size_t kRingCapacityOffset = 16;
constexpr std::size_t kRingIdOffset = 20;
constexpr std::size_t kEntryRecordOffset = 8;
constexpr std::size_t kRecordSize = 152;
// Layout 2: the UTC offset (int16, minutes; -32768 not known) and the flags
// (bit 0: group voltage no measurement) follow the record, then the CRC.
constexpr std::size_t kEntryUtcOffsetOffset = 160;
constexpr std::size_t kEntryFlagsOffset = 162;
constexpr std::size_t kRecordCellsOffset = 4;
constexpr std::size_t kRecordGroupVoltageOffset = 132;
constexpr std::size_t kRecordGroupCurrentOffset = 136;
constexpr std::size_t kRecordTemperatureOffset = 141;

float ReadFloat(const char* at) {
  float value = 0.0f;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace

std::vector<Json::Value> JsonLines(const std::string& text) {
  std::vector<Json::Value> lines;
  std::istringstream in(text);
  Json::CharReaderBuilder builder;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] != '{') continue;
    Json::Value value;
    std::string errors;
    std::istringstream json(line);
    if (Json::parseFromStream(builder, json, &value, &errors)) lines.push_back(value);
  }
  return lines;
}

std::string WithoutTimeStamp(const std::string& line) {
  // The stamp is one word of digits, '-', ':', '.', 'T' and the offset's sign.
  const std::size_t blank = line.find(' ');
  if (blank == std::string::npos || blank < 20 || line[4] != '-' || line[10] != 'T') return line;
  return line.substr(blank + 1);
}

Measurement FromRecordJson(const Json::Value& record) {
  Measurement m;
  for (Json::ArrayIndex i = 0; i < kCells; ++i) m.cells[i] = record["cells"][i].asFloat();
  m.group_voltage = record["group_voltage"].asFloat();
  m.group_current = record["group_current"].asFloat();
  m.temperature = record["temperature"].asFloat();
  return m;
}

Measurement FromRecord(const char* record) {
  Measurement m;
  std::memcpy(m.cells.data(), record + kRecordCellsOffset, sizeof m.cells);
  m.group_voltage = ReadFloat(record + kRecordGroupVoltageOffset);
  m.group_current = ReadFloat(record + kRecordGroupCurrentOffset);
  m.temperature = ReadFloat(record + kRecordTemperatureOffset);
  return m;
}

std::vector<HistoryEntry> ParseHistoryEntries(const std::string& bytes) {
  std::vector<HistoryEntry> entries;
  if (bytes.size() < kRingHeaderSize) return entries;
  const auto capacity = ReadLittleEndian<std::uint32_t>(bytes, kRingCapacityOffset);
  const bool with_context = ReadLittleEndian<std::uint32_t>(bytes, kRingVersionOffset) >= 2;
  const std::size_t crc_offset = with_context ? 164 : 160;
  const std::size_t entry_size = crc_offset + 4;
  for (std::uint32_t slot = 0; slot < capacity; ++slot) {
    const std::size_t at = kRingHeaderSize + std::size_t{slot} * entry_size;
    if (at + entry_size > bytes.size()) break;
    const char* entry = bytes.data() + at;
    const byte_order::ByteSpan entry_bytes{entry, entry_size};
    boost::crc_32_type crc;
    crc.process_bytes(entry, crc_offset);
    const auto sequence = ReadLittleEndian<std::uint64_t>(entry_bytes);
    if (crc.checksum() != ReadLittleEndian<std::uint32_t>(entry_bytes, crc_offset) ||
        sequence == 0 || sequence % capacity != slot) {
      continue;
    }
    HistoryEntry read;
    read.sequence = sequence;
    read.measurement = FromRecord(entry + kEntryRecordOffset);
    read.record.assign(entry + kEntryRecordOffset, kRecordSize);
    if (with_context) {
      const auto offset = ReadLittleEndian<std::int16_t>(entry_bytes, kEntryUtcOffsetOffset);
      if (offset != -32768) read.utc_offset_minutes = offset;
      read.group_voltage_valid =
          (ReadLittleEndian<std::uint16_t>(entry_bytes, kEntryFlagsOffset) & 1) == 0;
    }
    entries.push_back(read);
  }
  std::sort(entries.begin(), entries.end(),
            [](const HistoryEntry& a, const HistoryEntry& b) { return a.sequence < b.sequence; });
  // Entries left from a lap before the newest are no longer part of it.
  while (!entries.empty() && entries.front().sequence + capacity <= entries.back().sequence) {
    entries.erase(entries.begin());
  }
  return entries;
}

std::uint64_t ParseRingId(const std::string& bytes) {
  if (bytes.size() < kRingHeaderSize) return 0;
  return ReadLittleEndian<std::uint64_t>(bytes, kRingIdOffset);
}

std::vector<Measurement> ParseHistory(const std::string& bytes) {
  std::vector<Measurement> history;
  for (const HistoryEntry& entry : ParseHistoryEntries(bytes)) history.push_back(entry.measurement);
  return history;
}

float CellVolts(unsigned raw) {
  float volts = static_cast<float>(raw) / 1000.0f;
  volts = volts + 0.0f;
  return volts < 1.0f || volts > 4.0f ? 0.0f : volts;
}

float GroupVolts(unsigned raw) {
  float volts = static_cast<float>(raw) / 10.0f;
  volts = volts * 1.0f;
  return volts + 0.0f;
}

float GroupAmperes(unsigned raw) {
  return static_cast<float>(raw) / 10.0f;
}

float Degrees(unsigned raw) {
  const float degrees = static_cast<float>(raw) / 100.0f;
  return degrees > 0.0f && degrees <= 100.0f ? degrees : 0.0f;
}

}  // namespace run_values
