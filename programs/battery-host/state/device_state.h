#pragma once

// What the host knows of one device as a run goes on: its cycles, its newest
// record, whether it answers. The controller and the lines keep it; the
// outputs read it.

#include <optional>

#include "battery/record.h"

struct DeviceState {
  unsigned int data_id = 0;
  long started = 0;    // polling cycles started
  long completed = 0;  // of them, completed with a record
  // The newest record of this run (a record restored from the history is not one).
  std::optional<Battery32_Data_t> newest;
  bool silent = false;  // no cycle completed for the configured number of poll periods
  long silent_events = 0;
  long port_down_events = 0;
};
