#pragma once

// A record as the host keeps it: the plug-in's 152 bytes exactly as the
// device saved them, and what the host knew of them at that moment, which
// the bytes cannot say. Kept beside the bytes in the history ring, so a
// record restored or sent again from the history says what it said live.

#include <optional>

#include "battery/record.h"

struct RecordContext {
  // False when the device made no group-voltage threshold check in the
  // cycle: a peer whose group voltage it adds had none, and the plug-in put
  // 0 in the record's group voltage, which is no measurement.
  bool group_voltage_valid = true;
  // The local time zone's offset from UTC in force when the record's
  // sample_time was stamped, minutes east; empty when it was not noted (a
  // record kept by an earlier host).
  std::optional<int> utc_offset_minutes;

  bool operator==(const RecordContext& other) const {
    return group_voltage_valid == other.group_voltage_valid &&
           utc_offset_minutes == other.utc_offset_minutes;
  }
};

struct HostRecord {
  Battery32_Data_t data;
  RecordContext context;
};
