#include "programs/battery-host/service/service_paths.h"

#include <cstdlib>

namespace service_paths {

// The installation layout decides the folder (CMake's BATTERY_DEFAULT_CONFIG).
const char* const kDefaultConfig = BATTERY_DEFAULT_CONFIG;

std::string StateDirectoryFromEnvironment() {
  const char* value = std::getenv("STATE_DIRECTORY");
  if (value == nullptr) return {};
  // systemd separates the paths of several state directories with colons.
  const std::string paths = value;
  return paths.substr(0, paths.find(':'));
}

}  // namespace service_paths
