#pragma once

// The lines that `battery-host run` writes on standard output: one JSON
// object per line, flushed at once, so that they never mix within a line with
// the plug-in's own diagnostic lines on the same stream.
//
//   {"type":"record","data_id":1001,"sample_time":"2026-03-01T12:00:05",
//    "cells":[2.2,...],"group_voltage":70.4,"group_current":1.5,"temperature":25}
//   {"type":"threshold","data_id":1001,"name":"group_voltage","display_name":"整组电压",
//    "value":75.3,"limit":75,"state":"high","level":2}
//   {"type":"summary","data_id":1001,"cycles_started":6,"cycles_completed":5,
//    "cycles_given_up":1}

#include <json/value.h>
#include <json/writer.h>

#include <memory>
#include <ostream>
#include <string>

#include "battery/record.h"

// "YYYY-MM-DDTHH:MM:SS" from the record's 7 time bytes; empty when they are not a time.
std::string SampleTimeText(const Battery32_Data_t& record);

// The record line, in `line`. It is written by hand: a jsoncpp writer spent
// most of the live host's time on it. It is byte for byte what a
// JsonLineWriter writes for an object holding "cells" (32 FloatJson values),
// "data_id", "group_current", "group_voltage", "sample_time" (SampleTimeText,
// null when empty), "temperature" and "type": "record".
void RecordLine(const Battery32_Data_t& record, std::string& line);

// A float as the JSON number with the shortest text that reads back to it.
Json::Value FloatJson(float value);

class JsonLineWriter {
 public:
  explicit JsonLineWriter(std::ostream& out);
  void Write(const Json::Value& line);
  // A line already formatted as JSON.
  void Write(const std::string& line);

 private:
  std::ostream& out_;
  std::unique_ptr<Json::StreamWriter> writer_;
};
