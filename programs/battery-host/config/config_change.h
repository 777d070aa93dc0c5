#pragma once

// What a reloaded configuration changes against the running one, by the
// sections of the two documents: a device whose own section and the
// sections it depends on (its port's settings, the default poll interval,
// the history, the silence rule) read the same is kept as it runs; any other
// is re-created. Devices on one simulated line are simulated together, so a
// change to one re-creates them all.

#include <optional>
#include <string>
#include <vector>

#include "programs/battery-host/config/host_config.h"

struct ConfigChange {
  std::vector<unsigned int> added;
  std::vector<unsigned int> removed;
  std::vector<unsigned int> recreated;
  bool mqtt = false;  // the mqtt section changed: the publisher is restarted
  bool http = false;  // the http section changed: the server is restarted
  // output.records changed, to this: record lines on standard output start or stop at once.
  std::optional<bool> records;
  // Keys that take effect only when the host starts again.
  std::vector<std::string> at_next_start;

  bool Empty() const {
    return added.empty() && removed.empty() && recreated.empty() && !mqtt && !http && !records &&
           at_next_start.empty();
  }
};

ConfigChange CompareConfigs(const HostConfig& running, const HostConfig& next);

// "device 1002 re-created; mqtt restarted; record lines on standard output
// off", or "nothing changed".
std::string DescribeChange(const ConfigChange& change);
