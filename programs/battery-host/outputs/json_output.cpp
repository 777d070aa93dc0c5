#include "programs/battery-host/outputs/json_output.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {
// Enough significant digits for every float's shortest form.
constexpr int kFloatDigits = 9;
}  // namespace

std::string SampleTimeText(const Battery32_Data_t& record) {
  const std::uint8_t* t = record.sample_time;
  const unsigned year = t[0] | (static_cast<unsigned>(t[1]) << 8);
  if (year == 0 || t[2] < 1 || t[2] > 12 || t[3] < 1 || t[3] > 31) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", year, t[2], t[3], t[4], t[5],
                t[6]);
  return text;
}

Json::Value FloatJson(float value) {
  if (!std::isfinite(value)) return Json::Value();
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text - 1, value).ptr;
  *end = '\0';
  return std::strtod(text, nullptr);
}

namespace {

// A decimal number as significant digits (no leading zeros) and the power of
// ten of the first of them.
struct Decimal {
  std::string digits;
  int exponent = 0;
};

// From the text std::to_chars writes for a finite float, without its sign.
Decimal ParseDecimal(const char* at, const char* end) {
  Decimal decimal;
  int point = -1;  // digits before the decimal point, counting leading zeros
  int seen = 0;
  for (; at != end && *at != 'e'; ++at) {
    if (*at == '.') {
      point = seen;
      continue;
    }
    ++seen;
    if (decimal.digits.empty() && *at == '0') {
      continue;
    }
    if (decimal.digits.empty()) decimal.exponent = seen;
    decimal.digits += *at;
  }
  if (point < 0) point = seen;
  int power = 0;
  if (at != end) std::from_chars(at + (at[1] == '+' ? 2 : 1), end, power);
  decimal.exponent = point - decimal.exponent + power;
  return decimal;
}

// Rounds to `precision` significant digits as printf does for an exact value
// (ties to even), then drops trailing zeros as %g does.
void RoundTo(Decimal& decimal, std::size_t precision) {
  std::string& digits = decimal.digits;
  if (digits.size() > precision) {
    const char first_dropped = digits[precision];
    const bool beyond_half = digits.find_first_not_of('0', precision + 1) != std::string::npos;
    const bool odd = (digits[precision - 1] - '0') % 2 == 1;
    const bool up = first_dropped > '5' || (first_dropped == '5' && (beyond_half || odd));
    digits.resize(precision);
    for (std::size_t k = precision; up && k-- > 0;) {
      if (digits[k] != '9') {
        ++digits[k];
        break;
      }
      digits[k] = '0';
      if (k == 0) {
        digits.insert(digits.begin(), '1');
        digits.pop_back();
        ++decimal.exponent;
      }
    }
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}

// printf's "%.9g" layout of the digits, with ".0" after a whole number as jsoncpp adds it.
void AppendLaidOut(std::string& out, const Decimal& decimal) {
  const std::string& digits = decimal.digits;
  const int exponent = decimal.exponent;
  if (exponent < -4 || exponent >= kFloatDigits) {
    out += digits.front();
    if (digits.size() > 1) out += "." + digits.substr(1);
    // At least two digits of exponent, as printf writes them.
    const int magnitude = std::abs(exponent);
    out += exponent < 0 ? "e-" : "e+";
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
    return;
  }
  if (exponent < 0) {
    out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    return;
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out += digits + std::string(whole - digits.size(), '0') + ".0";
  } else {
    out += digits.substr(0, whole) + "." + digits.substr(whole);
  }
}

// `value` as a JsonLineWriter writes FloatJson(value): the double read back
// from the float's shortest text, printed with "%.9g", ".0" added to a whole
// number; "null" when not finite. The shortest text is exact, so rounding its
// digits gives what printf gives for the double.
void AppendFloat(std::string& out, float value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char text[32];
  const char* end = std::to_chars(text, text + sizeof text, value).ptr;
  const char* at = text;
  if (*at == '-') out += *at++;
  Decimal decimal = ParseDecimal(at, end);
  if (decimal.digits.empty()) {
    out += "0.0";
    return;
  }
  RoundTo(decimal, kFloatDigits);
  AppendLaidOut(out, decimal);
}

}  // namespace

void RecordLine(const Battery32_Data_t& record, std::string& line) {
  using battery_record::Load;
  line = "{\"cells\":[";
  for (std::size_t i = 0; i < battery_link::kCellCount; ++i) {
    if (i != 0) line += ',';
    AppendFloat(line, battery_record::CellVoltage(record, i));
  }
  line += "],\"data_id\":" + std::to_string(record.data_id) + ",\"group_current\":";
  AppendFloat(line, Load<float>(record, battery_record::kGroupCurrentOffset));
  line += ",\"group_voltage\":";
  AppendFloat(line, Load<float>(record, battery_record::kGroupVoltageOffset));
  const std::string time = SampleTimeText(record);
  line += ",\"sample_time\":" + (time.empty() ? std::string("null") : "\"" + time + "\"");
  line += ",\"temperature\":";
  AppendFloat(line, Load<float>(record, battery_record::kTemperatureOffset));
  line += ",\"type\":\"record\"}";
}

JsonLineWriter::JsonLineWriter(std::ostream& out) : out_(out) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["precision"] = kFloatDigits;
  builder["emitUTF8"] = true;
  writer_.reset(builder.newStreamWriter());
}

void JsonLineWriter::Write(const std::string& line) {
  out_ << line << '\n';
  out_.flush();
}

void JsonLineWriter::Write(const Json::Value& line) {
  writer_->write(line, &out_);
  out_ << '\n';
  out_.flush();
}
