#pragma once

// One problem found in a configuration file, as check-config and run report it.

#include <stdexcept>
#include <string>

struct ConfigProblem {
  std::string file;
  int line = 0;
  std::string key;  // path of the key, e.g. devices[0].config.appSetting.version
  std::string message;
  bool warning = false;  // reported, but the configuration stays usable
};

// "FILE:LINE: KEY: MESSAGE", with "warning: " before KEY for warnings.
std::string FormatProblem(const ConfigProblem& problem);

// What the configuration (or the command line in its place) names fails as
// run starts: a plug-in that does not load, a log or state directory that
// cannot be made. A restart cannot mend it, so run exits 2, as for a
// configuration that does not check.
class ConfigFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
