#pragma once

// One problem found in a configuration file, as check-config and run report it.

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
