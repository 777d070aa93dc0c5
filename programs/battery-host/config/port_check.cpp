#include "programs/battery-host/config/port_check.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/support/text_format.h"

namespace {

// The class the kernel files a character device under ("tty", "mem", ...);
// empty when /sys does not say.
std::string DeviceClass(dev_t device) {
  const std::string link = "/sys/dev/char/" + std::to_string(major(device)) + ":" +
                           std::to_string(minor(device)) + "/subsystem";
  std::error_code error;
  const auto target = std::filesystem::read_symlink(link, error);
  return error ? std::string() : target.filename().string();
}

}  // namespace

std::string PortNameProblem(const std::string& port) {
  const bool sim = port == kSimPort || (IsSimPort(port) && port.size() > std::strlen(kSimPort) + 1);
  if (sim || (!port.empty() && port.front() == '/')) return {};
  return "expected \"sim\", \"sim:NAME\" or the absolute path of a serial port (e.g. "
         "/dev/ttyUSB0), found '" +
         port + "'";
}

std::optional<PortFileProblem> CheckPortFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      return PortFileProblem{false, path +
                                        " does not exist (yet): run keeps trying to open it (an "
                                        "adapter not plugged in?) and gives up after open_timeout_s"
                                        " with --cycles"};
    }
    return PortFileProblem{false, path + ": " + std::strerror(errno)};
  }
  if (!S_ISCHR(info.st_mode)) {
    return PortFileProblem{true, path + " is " + host_text::FileKind(info.st_mode) +
                                     ", not a serial port (a character device)"};
  }
  const std::string device_class = DeviceClass(info.st_rdev);
  if (!device_class.empty() && device_class != "tty") {
    return PortFileProblem{true, path + " is a character device of class '" + device_class +
                                     "', not a serial port (class 'tty')"};
  }
  return std::nullopt;
}

std::string PortIdentity(const std::string& port) {
  struct stat info {};
  if (IsSimPort(port) || ::stat(port.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return port;
  // Paths start with '/' and sim ports with "sim": this names neither.
  return "character device " + std::to_string(major(info.st_rdev)) + ":" +
         std::to_string(minor(info.st_rdev));
}
