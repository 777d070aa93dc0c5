#pragma once

// Where the host keeps its state (the history rings, the MQTT cursors, the
// lock), by one rule for `run` and `check-config`: never among the installed
// files under /etc or /usr, which a package upgrade replaces and the service
// may not write.

#include <optional>
#include <string>

// The state folder of an installation (systemd's StateDirectory=battery-host).
extern const char* const kInstalledStateDir;
// The default beside a configuration that lies outside the system folders.
inline constexpr const char* kStateDirBesideConfig = "battery-state";

// The state directory of a run: `option` (--state-dir) when given, else the
// configuration's state_dir `configured` (relative to the configuration's
// folder), else battery-state beside the configuration, or kInstalledStateDir
// when that would lie under a system folder (the installed configuration in
// /etc, the examples in /usr/share/doc).
std::string ChooseStateDir(const std::string& option, const std::string& config_file,
                           const std::string& configured);

// What is wrong with `path` as a state directory because it resolves
// (relative to the working folder, through every symbolic link that exists)
// under /etc or /usr; nothing otherwise.
std::optional<std::string> SystemFolderProblem(const std::string& path);
