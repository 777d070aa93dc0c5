#pragma once

// The lines that `battery-host run` writes on standard output: one JSON
// object per line, flushed at once, so that they never mix within a line with
// the plug-in's own diagnostic lines on the same stream.
//
//   {"cells":[2.2,...],"data_id":1001,"group_current":1.5,"group_voltage":70.4,
//    "sample_time":"2026-03-01T12:00:05+01:00","temperature":25.0,"type":"record"}
//   {"data_id":1001,"display_name":"整组电压","level":2,"limit":75.0,
//    "name":"group_voltage","state":"high","type":"threshold","value":75.3}
//   {"cycles_completed":5,"cycles_given_up":1,"cycles_started":6,"data_id":1001,
//    "type":"summary"}
//
// Members are written in the byte order of their keys and numbers as
// described at JsonLine::Number, as jsoncpp's writer wrote them before: the
// lines stay byte for byte what they were.

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "battery/record.h"
#include "programs/battery-host/state/host_record.h"

// One JSON object, built member by member, written on one line.
class JsonLine {
 public:
  // `key` is viewed, not copied: it must live until the line is finished
  // (keys are string literals).
  JsonLine& String(std::string_view key, std::string_view text);
  JsonLine& Integer(std::string_view key, long long value);
  // The double that the float's shortest round-trip text reads back as,
  // written with 9 significant digits as printf's "%.9g" does, ".0" added to a
  // whole number: 2.23f gives 2.23, 25.0f gives 25.0, 1e10f gives 1e+10. A
  // value that is not finite gives null.
  JsonLine& Number(std::string_view key, float value);
  JsonLine& Numbers(std::string_view key, const float* values, std::size_t count);
  JsonLine& Null(std::string_view key);
  JsonLine& Bool(std::string_view key, bool value);
  // A value that is already JSON text (an object or array made by another line).
  JsonLine& Raw(std::string_view key, std::string_view json);

  // The object with its members in key order and a newline; the line is empty
  // afterwards, ready for the next one, and keeps its buffers.
  std::string_view Finish();
  // The same without the newline, to go inside another object or an array.
  std::string_view FinishObject();

 private:
  struct Member {
    std::string_view key;
    std::size_t begin;  // of the value's text in values_
    std::size_t end;    // set by Finish
  };
  // Starts a member whose value's text follows in values_.
  std::string& Add(std::string_view key);

  std::vector<Member> members_;
  std::string values_;
  std::string text_;
};

// The record's 7 time bytes (local time) as calendar fields; empty when they
// are not a time.
std::optional<std::tm> SampleLocalTime(const Battery32_Data_t& record);

// "YYYY-MM-DDTHH:MM:SS+HH:MM" from the record's 7 time bytes and the UTC
// offset noted when it was stamped (else the time zone's offset at that
// local time, a guess in the hour repeated when daylight saving ends);
// empty when they are not a time.
std::string SampleTimeText(const Battery32_Data_t& record, std::optional<int> utc_offset_minutes);

// The record line's members: "cells", "data_id", "group_current",
// "group_voltage" (null when it is no measurement), "sample_time"
// (SampleTimeText, null when empty), "temperature" and "type": "record" (or
// `type`).
void RecordLine(const HostRecord& record, JsonLine& line, std::string_view type = "record");
