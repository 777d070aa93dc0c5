#pragma once

// `battery-host run`: loads the plug-in, creates and configures one device per
// configured monitor, restores each device's newest history record, and
// drives all devices through one event loop (turns on each line, serial or
// simulated lines, signals) until stopped or until every device has completed the
// requested number of polling cycles. SIGHUP reads the configuration again
// and applies what changed; one that does not check changes nothing.

#include <iosfwd>
#include <string>

struct RunOptions {
  std::string config_path;
  std::string plugin_path;  // empty: from the configuration, else beside the program
  std::string state_dir;    // empty: ChooseStateDir's rule (config/state_dir.h)
  long cycles = 0;          // 0: until SIGINT or SIGTERM
  bool trace = false;       // wire bytes per device on `err`
};

// The JSON lines go to standard output, and nothing else does: the plug-in's
// own lines go to `err` (or the configured file) like every message.
// Exit status: 0 when stopped or done; 2 for an invalid configuration, and
// for a plug-in, plug-in log or state directory named by it (or by the
// command line) that fails at start; 1 when the default plug-in or a device
// cannot be set up, another host holds the state directory or a port, or
// standard output fails.
int RunLiveHost(const RunOptions& options, std::ostream& err);
