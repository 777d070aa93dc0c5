#include "programs/battery-host/config/state_dir.h"

#include <filesystem>
#include <system_error>

#include "programs/battery-host/config/host_config.h"

namespace fs = std::filesystem;

// The installation layout decides the folder (CMake's BATTERY_STATE_DIR).
const char* const kInstalledStateDir = BATTERY_STATE_DIR;

namespace {

// Folders of installed files: the configuration and the programs, libraries
// and documentation of the package (on a merged /usr, /lib and /bin too).
constexpr const char* kSystemFolders[] = {"/etc", "/usr"};

// The system folder that `path` resolves into, or nullptr.
const char* SystemFolderOf(const fs::path& path, fs::path& resolved) {
  std::error_code error;
  resolved = fs::weakly_canonical(fs::absolute(path, error), error);
  // A path that cannot be resolved is DirectoryProblem's to report.
  if (error) return nullptr;
  for (const char* folder : kSystemFolders) {
    const fs::path inside = resolved.lexically_relative(folder);
    if (!inside.empty() && *inside.begin() != "..") return folder;
  }
  return nullptr;
}

}  // namespace

std::string ChooseStateDir(const std::string& option, const std::string& config_file,
                           const std::string& configured) {
  if (!option.empty()) return option;
  if (!configured.empty()) return RelativeToConfig(config_file, configured);
  const std::string beside = RelativeToConfig(config_file, kStateDirBesideConfig);
  fs::path resolved;
  return SystemFolderOf(beside, resolved) == nullptr ? beside : kInstalledStateDir;
}

std::optional<std::string> SystemFolderProblem(const std::string& path) {
  fs::path resolved;
  const char* folder = SystemFolderOf(path, resolved);
  if (folder == nullptr) return std::nullopt;
  const std::string shown =
      resolved == fs::path(path) ? path : path + " (" + resolved.string() + ")";
  return shown + " lies under " + folder +
         ", among installed files: keep the state under /var/lib (the service's is " +
         kInstalledStateDir + ")";
}
