#include "programs/battery-host/outputs/json_output.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <iterator>

#include "battery/byte_order.h"
#include "programs/battery-host/support/text_format.h"

namespace {

// Enough significant digits for every float's shortest form.
constexpr int kFloatDigits = 9;
// Below 2^24 every integer is a float, so a float's shortest text in fixed
// notation holds exactly the digits that "%.9g" writes for the double it
// reads back as, laid out the same way; only other values take the round trip.
constexpr float kExactIntegers = 16777216.0f;

// The monitor's values are whole counts of millivolts, tenths or hundredths,
// scaled by single-precision division: each is the float nearest to a whole
// number of thousandths. Below 10,000 in magnitude neighbouring floats lie
// less than 0.001 apart, so of all texts with three decimals or fewer only
// that thousandth reads back as the float: it is the float's shortest text,
// in fixed notation (there never longer than the exponent form), as
// std::to_chars writes it, here with integer arithmetic.
constexpr double kThousandthsBound = 1e7;

// Writes such a float's text at `at` and returns its end; nullptr, with
// nothing written, for any other float.
char* WriteThousandths(char* at, float value) {
  const double scaled = static_cast<double>(value) * 1000.0;  // exact
  if (!(std::fabs(scaled) < kThousandthsBound)) return nullptr;
  const auto count = static_cast<std::int32_t>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
  // Single-precision division rounds to the float nearest to count / 1000.
  if (static_cast<float>(count) / 1000.0f != value) return nullptr;
  auto rest = static_cast<std::uint32_t>(count < 0 ? -count : count);
  const std::uint32_t fraction = rest % 1000;
  rest /= 1000;                          // below 10,000: four digits at most
  if (std::signbit(value)) *at++ = '-';  // -0.0 as well
  if (rest >= 1000) *at++ = static_cast<char>('0' + rest / 1000);
  if (rest >= 100) *at++ = static_cast<char>('0' + rest / 100 % 10);
  if (rest >= 10) *at++ = static_cast<char>('0' + rest / 10 % 10);
  *at++ = static_cast<char>('0' + rest % 10);
  *at++ = '.';
  at[0] = static_cast<char>('0' + fraction / 100);
  at[1] = static_cast<char>('0' + fraction / 10 % 10);
  at[2] = static_cast<char>('0' + fraction % 10);
  // Trailing zeros go; a whole number keeps ".0".
  char* end = at + 3;
  while (end - at > 1 && end[-1] == '0') --end;
  return end;
}

// Room for any number's text ("-1.17549435e-38" is among the longest).
constexpr std::size_t kNumberRoom = 32;

// Writes the number's text at `at`, where kNumberRoom chars are free, and
// returns its end.
char* WriteNumber(char* at, float value) {
  if (!std::isfinite(value)) return std::copy_n("null", 4, at);
  if (char* end = WriteThousandths(at, value)) return end;
  char* const room = at + kNumberRoom - 2;  // and ".0"
  char* end = std::to_chars(at, room, value).ptr;
  if (std::fabs(value) >= kExactIntegers || std::find(at, end, 'e') != end) {
    double read_back = 0.0;
    std::from_chars(at, end, read_back);
    end = std::to_chars(at, room, read_back, std::chars_format::general, kFloatDigits).ptr;
  }
  // A whole number still reads as one that was a float.
  if (std::none_of(at, end, [](char c) { return c == '.' || c == 'e'; })) {
    *end++ = '.';
    *end++ = '0';
  }
  return end;
}

void AppendNumber(std::string& out, float value) {
  char text[kNumberRoom];
  out.append(text, WriteNumber(text, value));
}

// Whether host_text::Quoted writes `text` as it is between the quotes.
bool NeedsNoEscape(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
}

// `text` as host_text::Quoted quotes it, appended without a string of its own
// when nothing in it needs an escape (every key, and most values).
void AppendQuoted(std::string& out, std::string_view text) {
  if (!NeedsNoEscape(text)) {
    out += host_text::Quoted(text);
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

// `value` in decimal with at least `width` digits, zeros in front, as
// printf's "%0*u" writes it.
void AppendPadded(std::string& out, unsigned value, int width) {
  char text[16];
  char* const end = text + sizeof text;
  char* begin = end;
  do {
    *--begin = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (end - begin < width) *--begin = '0';
  out.append(begin, end);
}

// "+HH:MM" for an offset; the text of the last one asked for is kept, as
// records follow one another with the same offset.
const std::string& OffsetText(int minutes_east) {
  thread_local std::optional<int> cached_minutes;
  thread_local std::string cached;
  if (cached_minutes != minutes_east) {
    cached = host_text::FormatUtcOffset(minutes_east);
    cached_minutes = minutes_east;
  }
  return cached;
}

}  // namespace

std::string& JsonLine::Add(std::string_view key) {
  members_.push_back({key, values_.size(), 0});
  return values_;
}

JsonLine& JsonLine::String(std::string_view key, std::string_view text) {
  AppendQuoted(Add(key), text);
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
  // Written in place: room for the brackets and each number with its comma,
  // cut back to what was written.
  std::string& out = Add(key);
  const std::size_t begin = out.size();
  out.resize(begin + 2 + count * (kNumberRoom + 1));
  char* const text = out.data();
  char* at = text + begin;
  *at++ = '[';
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) *at++ = ',';
    at = WriteNumber(at, values[i]);
  }
  *at++ = ']';
  out.resize(static_cast<std::size_t>(at - text));
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
  // Keys are string literals that need no escape: the text is written in
  // place, in room for the braces and each member with its quotes, colon and
  // comma, and cut back to what was written. A key with an escape takes the
  // longer way.
  std::size_t room = 2;
  bool plain = true;
  for (const Member& member : members_) {
    room += member.key.size() + 4 + (member.end - member.begin);
    plain = plain && NeedsNoEscape(member.key);
  }
  if (plain) {
    text_.resize(room);
    char* const text = text_.data();
    char* at = text;
    *at++ = '{';
    for (const Member& member : members_) {
      if (at - text > 1) *at++ = ',';
      *at++ = '"';
      at = std::copy(member.key.begin(), member.key.end(), at);
      *at++ = '"';
      *at++ = ':';
      at = std::copy(values_.data() + member.begin, values_.data() + member.end, at);
    }
    *at++ = '}';
    text_.resize(static_cast<std::size_t>(at - text));
  } else {
    text_ = '{';
    for (const Member& member : members_) {
      if (text_.size() > 1) text_ += ',';
      AppendQuoted(text_, member.key);
      text_ += ':';
      text_.append(values_, member.begin, member.end - member.begin);
    }
    text_ += '}';
  }
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
  // The fields come from bytes and the year from 16 bits: none is negative.
  const int fields[] = {local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min,
                        local->tm_sec};
  std::string text;
  text.reserve(sizeof "YYYY-MM-DDTHH:MM:SS+HH:MM" + 8);
  AppendPadded(text, static_cast<unsigned>(local->tm_year + 1900), 4);
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    text += "--T::"[i];
    AppendPadded(text, static_cast<unsigned>(fields[i]), 2);
  }
  if (utc_offset_minutes) {
    text += OffsetText(*utc_offset_minutes);
  } else {
    text += host_text::UtcOffset(*local);
  }
  return text;
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
