#pragma once

// `battery-host replay`: drives plug-in devices from a script and prints every
// call the plug-in makes on the host, the moment it makes it. A field engineer
// replays a captured wire trace with it; the end-to-end tests are such scripts.

#include <iosfwd>
#include <string>

// Runs the script read from `script` against the plug-in at `plugin_path`,
// writing the trace to `out` and errors to `err`. Returns the exit status:
// 0 at the end of the script, 2 for a malformed line, 1 when the plug-in
// cannot be loaded or fails unexpectedly.
int RunReplay(const std::string& plugin_path, std::istream& script, std::ostream& out,
              std::ostream& err);
