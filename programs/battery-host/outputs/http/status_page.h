#pragma once

// GET /: the status page. One self-contained document (its style and script
// inside it, nothing fetched from elsewhere: a controller has no internet)
// that asks /api/v1/devices again every refresh_ms and draws, per device, a
// bar chart of its 32 cells coloured by where each stands against its limit,
// with the spread, the lowest and highest cell, the group values, the age of
// the newest record, live/stale/silent, the port and the cycle counts. Each
// bar carries its exact value in data-volts; each device the records it has
// completed in data-completed, so the value can be matched with its record line.

#include <string_view>

std::string_view StatusPage();
