#include "programs/battery-host/support/file_holder.h"

#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// A file as /proc/locks names it: "MAJOR:MINOR:INODE", the device numbers in hex.
std::string LockedFileName(const struct stat& info) {
  char name[64];
  std::snprintf(name, sizeof name, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  return name;
}

}  // namespace

std::string DescribeHolder(const struct stat& info, const char* locks_path) {
  std::ifstream locks(locks_path);
  if (!locks) {
    return "another process, which this host cannot see (as root, `fuser -v FILE` or `lsof "
           "FILE` names it)";
  }
  // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiting locks have "->" after the number.
  const std::string file = LockedFileName(info);
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, locked;
    fields >> number >> kind >> mode >> access >> pid >> locked;
    if (kind == "->" || locked != file || pid == std::to_string(::getpid())) continue;
    std::string name;
    // Another user's process is invisible under ProtectProc=invisible.
    if (!std::getline(std::ifstream("/proc/" + pid + "/comm"), name)) return "PID " + pid;
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
