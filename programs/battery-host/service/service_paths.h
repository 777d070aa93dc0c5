#pragma once

// Where the host's files are when it runs as an installed service.

#include <string>

namespace service_paths {

// The configuration `battery-host run` reads when none is given.
extern const char* const kDefaultConfig;

// The state directory the service manager made for the host (StateDirectory=):
// the first path of $STATE_DIRECTORY, or empty when it is not set.
std::string StateDirectoryFromEnvironment();

}  // namespace service_paths
