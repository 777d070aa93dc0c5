#pragma once

// A header of line/ with two includes that the build refuses, config/ (line/
// uses only support/) and the simulator's model (no header includes it),
// between two it allows.

#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/line/echo_filter.h"
#include "programs/battery-host/support/back_off.h"
#include "programs/monitor-model/monitor_model.h"
