#pragma once

// What a device's port may be, and what can be told about a port's path
// without opening it (opening a serial port can change its modem lines, and
// a running host may hold it).

#include <optional>
#include <string>

// Empty when `port` is "sim", "sim:NAME" or an absolute path; else what is wrong.
std::string PortNameProblem(const std::string& port);

struct PortFileProblem {
  bool error = false;  // false: a warning, the port may still work
  std::string message;
};

// Looks at the file that a port's path names: a path that does not exist
// (yet: a USB adapter not plugged in) is a warning, one that exists and is not
// a character device is an error, and so is a character device that the
// kernel files under another class than tty (/dev/null and its kin are
// "mem"). Pseudo-terminals have no class in /sys and pass.
std::optional<PortFileProblem> CheckPortFile(const std::string& path);

// What a port's path names, so that two names of one port (a symbolic link
// and its target) are found to be one: the device number of a character
// device; the name itself for a sim port or a path that names none (yet).
std::string PortIdentity(const std::string& port);
