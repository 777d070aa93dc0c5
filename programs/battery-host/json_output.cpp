#include "programs/battery-host/json_output.h"

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

Json::Value RecordJson(const Battery32_Data_t& record) {
  Json::Value line(Json::objectValue);
  line["type"] = "record";
  line["data_id"] = record.data_id;
  const std::string time = SampleTimeText(record);
  line["sample_time"] = time.empty() ? Json::Value() : Json::Value(time);
  Json::Value& cells = line["cells"] = Json::Value(Json::arrayValue);
  for (std::size_t i = 0; i < battery_link::kCellCount; ++i) {
    cells.append(FloatJson(battery_record::CellVoltage(record, i)));
  }
  using battery_record::Load;
  line["group_voltage"] = FloatJson(Load<float>(record, battery_record::kGroupVoltageOffset));
  line["group_current"] = FloatJson(Load<float>(record, battery_record::kGroupCurrentOffset));
  line["temperature"] = FloatJson(Load<float>(record, battery_record::kTemperatureOffset));
  return line;
}

JsonLineWriter::JsonLineWriter(std::ostream& out) : out_(out) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["precision"] = kFloatDigits;
  builder["emitUTF8"] = true;
  writer_.reset(builder.newStreamWriter());
}

void JsonLineWriter::Write(const Json::Value& line) {
  writer_->write(line, &out_);
  out_ << '\n';
  out_.flush();
}
