#include "programs/battery-host/file_holder.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool IsNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool HasOpen(const fs::path& process, const struct stat& info) {
  std::error_code error;
  for (fs::directory_iterator fd(process / "fd", error), end; !error && fd != end;
       fd.increment(error)) {
    struct stat target {};
    // stat follows the link without opening what it names.
    if (::stat(fd->path().c_str(), &target) == 0 && target.st_dev == info.st_dev &&
        target.st_ino == info.st_ino) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string DescribeHolder(const struct stat& info) {
  const std::string self = std::to_string(::getpid());
  std::error_code error;
  for (fs::directory_iterator process("/proc", error), end; !error && process != end;
       process.increment(error)) {
    const std::string pid = process->path().filename().string();
    if (!IsNumber(pid) || pid == self || !HasOpen(process->path(), info)) continue;
    std::string name;
    std::getline(std::ifstream(process->path() / "comm"), name);
    return "PID " + pid + " (" + name + ")";
  }
  return "another process";
}

std::string LockExclusive(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return {};
  struct stat info {};
  ::fstat(fd, &info);
  return DescribeHolder(info);
}
