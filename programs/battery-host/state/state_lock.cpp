#include "programs/battery-host/state/state_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "programs/battery-host/support/file_holder.h"
#include "programs/battery-host/support/text_format.h"

namespace {

constexpr const char* kProgramName = "battery-host";

// "PID NAME" as the holder wrote it, for the message.
std::string WrittenHolder(int fd) {
  std::array<char, 64> text{};
  const ssize_t got = ::pread(fd, text.data(), text.size() - 1, 0);
  if (got <= 0) return {};
  std::string line(text.data(), static_cast<std::size_t>(got));
  line = line.substr(0, line.find('\n'));
  const std::size_t blank = line.find(' ');
  if (blank == std::string::npos || blank == 0) return {};
  return "PID " + line.substr(0, blank) + " (" + line.substr(blank + 1) + ")";
}

}  // namespace

StateDirLock::StateDirLock(const std::filesystem::path& dir) {
  const std::string path = (dir / kStateLockFile).string();
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  const bool own_file = fd_ >= 0;
  if (!own_file) fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    throw std::runtime_error("state directory " + dir.string() + ": " + std::strerror(errno));
  }
  struct stat info {};
  ::fstat(fd_, &info);
  if (own_file && !S_ISREG(info.st_mode)) {
    ::close(fd_);
    throw std::runtime_error(path + " is " + host_text::FileKind(info.st_mode) +
                             ", not a lock file");
  }
  std::string holder = LockExclusive(fd_);
  if (!holder.empty()) {
    if (own_file) {
      const std::string written = WrittenHolder(fd_);
      if (!written.empty()) holder = written;
    }
    ::close(fd_);
    throw std::runtime_error("state directory " + dir.string() + " is in use by " + holder +
                             "; one host per state directory");
  }
  // A lock file without the PID locks all the same; only a second host's message is poorer.
  if (own_file && ::ftruncate(fd_, 0) == 0) {
    const std::string line = std::to_string(::getpid()) + " " + kProgramName + "\n";
    const ssize_t written = ::pwrite(fd_, line.data(), line.size(), 0);
    static_cast<void>(written);
  }
}

StateDirLock::~StateDirLock() {
  if (fd_ >= 0) ::close(fd_);
}
