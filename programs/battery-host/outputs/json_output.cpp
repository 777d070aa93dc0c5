#include "programs/battery-host/outputs/json_output.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "battery/byte_order.h"
#include "programs/battery-host/support/text_format.h"

namespace {

// Enough significant digits for every float's shortest form.
constexpr int kFloatDigits = 9;
// Below 2^24 every integer is a float, so a float's shortest text in fixed
// notation holds exactly the digits that "%.9g" writes for the double it
// reads back as, laid out the same way; only other values take the round trip.
constexpr float kExactIntegers = 16777216.0f;

void AppendNumber(std::string& out, float value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char text[32];
  char* end = std::to_chars(text, text + sizeof text, value).ptr;
  if (std::fabs(value) >= kExactIntegers || std::find(text, end, 'e') != end) {
    double read_back = 0.0;
    std::from_chars(text, end, read_back);
    end =
        std::to_chars(text, text + sizeof text, read_back, std::chars_format::general, kFloatDigits)
            .ptr;
  }
  out.append(text, end);
  // A whole number still reads as one that was a float.
  if (std::none_of(text, end, [](char c) { return c == '.' || c == 'e'; })) out += ".0";
}

}  // namespace

std::string& JsonLine::Add(std::string_view key) {
  members_.push_back({key, values_.size(), 0});
  return values_;
}

JsonLine& JsonLine::String(std::string_view key, std::string_view text) {
  Add(key) += host_text::Quoted(text);
  return *this;
}

JsonLine& JsonLine::Integer(std::string_view key, long long value) {
  char text[24];
  char* end = std::to_chars(text, text + sizeof text, value).ptr;
  Add(key).append(text, end);
  return *this;
}

JsonLine& JsonLine::Number(std::string_view key, float value) {
  AppendNumber(Add(key), value);
  return *this;
}

JsonLine& JsonLine::Numbers(std::string_view key, const float* values, std::size_t count) {
  std::string& out = Add(key);
  out += '[';
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) out += ',';
    AppendNumber(out, values[i]);
  }
  out += ']';
  return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
  Add(key) += "null";
  return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
  Add(key) += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Raw(std::string_view key, std::string_view json) {
  Add(key) += json;
  return *this;
}

std::string_view JsonLine::Finish() {
  FinishObject();
  text_ += '\n';
  return text_;
}

std::string_view JsonLine::FinishObject() {
  // Each value's text ends where the next member's begins.
  for (std::size_t i = 0; i < members_.size(); ++i) {
    members_[i].end = i + 1 < members_.size() ? members_[i + 1].begin : values_.size();
  }
  std::sort(members_.begin(), members_.end(),
            [](const Member& a, const Member& b) { return a.key < b.key; });
  text_ = '{';
  for (const Member& member : members_) {
    if (text_.size() > 1) text_ += ',';
    text_ += host_text::Quoted(member.key);
    text_ += ':';
    text_.append(values_, member.begin, member.end - member.begin);
  }
  text_ += '}';
  members_.clear();
  values_.clear();
  return text_;
}

std::optional<std::tm> SampleLocalTime(const Battery32_Data_t& record) {
  const std::uint8_t* t = record.sample_time;
  const unsigned year = byte_order::ReadLittleEndian<std::uint16_t>(record.sample_time);
  if (year == 0 || t[2] < 1 || t[2] > 12 || t[3] < 1 || t[3] > 31) return std::nullopt;
  std::tm local{};
  local.tm_year = static_cast<int>(year) - 1900;
  local.tm_mon = t[2] - 1;
  local.tm_mday = t[3];
  local.tm_hour = t[4];
  local.tm_min = t[5];
  local.tm_sec = t[6];
  return local;
}

std::string SampleTimeText(const Battery32_Data_t& record, std::optional<int> utc_offset_minutes) {
  const auto local = SampleLocalTime(record);
  if (!local) return {};
  char text[64];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local->tm_year + 1900,
                local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec);
  if (utc_offset_minutes) return text + host_text::FormatUtcOffset(*utc_offset_minutes);
  return text + host_text::UtcOffset(*local);
}

void RecordLine(const HostRecord& host_record, JsonLine& line, std::string_view type) {
  using battery_record::Load;
  const Battery32_Data_t& record = host_record.data;
  std::array<float, battery_link::kCellCount> cells;
  for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = battery_record::CellVoltage(record, i);
  line.String("type", type).Integer("data_id", record.data_id);
  const std::string time = SampleTimeText(record, host_record.context.utc_offset_minutes);
  if (time.empty()) {
    line.Null("sample_time");
  } else {
    line.String("sample_time", time);
  }
  line.Numbers("cells", cells.data(), cells.size());
  if (host_record.context.group_voltage_valid) {
    line.Number("group_voltage", Load<float>(record, battery_record::kGroupVoltageOffset));
  } else {
    line.Null("group_voltage");
  }
  line.Number("group_current", Load<float>(record, battery_record::kGroupCurrentOffset))
      .Number("temperature", Load<float>(record, battery_record::kTemperatureOffset));
}
