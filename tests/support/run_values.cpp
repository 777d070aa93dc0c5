#include "tests/support/run_values.h"

#include <cstring>

namespace run_values {

namespace {

constexpr std::size_t kHistoryEntrySize = 160;
constexpr std::size_t kHistoryRecordOffset = 4;
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

Measurement FromRecordJson(const Json::Value& record) {
  Measurement m;
  for (Json::ArrayIndex i = 0; i < kCells; ++i) m.cells[i] = record["cells"][i].asFloat();
  m.group_voltage = record["group_voltage"].asFloat();
  m.group_current = record["group_current"].asFloat();
  m.temperature = record["temperature"].asFloat();
  return m;
}

std::vector<Measurement> ParseHistory(const std::string& bytes) {
  std::vector<Measurement> history;
  for (std::size_t at = 0; at + kHistoryEntrySize <= bytes.size(); at += kHistoryEntrySize) {
    const char* record = bytes.data() + at + kHistoryRecordOffset;
    Measurement m;
    std::memcpy(m.cells.data(), record + kRecordCellsOffset, sizeof m.cells);
    m.group_voltage = ReadFloat(record + kRecordGroupVoltageOffset);
    m.group_current = ReadFloat(record + kRecordGroupCurrentOffset);
    m.temperature = ReadFloat(record + kRecordTemperatureOffset);
    history.push_back(m);
  }
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
