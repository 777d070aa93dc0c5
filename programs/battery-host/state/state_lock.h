#pragma once

// One host per state directory: the host holds an exclusive flock on the
// file battery-host.lock in it, which says who holds it ("PID NAME"). The
// kernel drops the lock when the process ends, however it ends.

#include <filesystem>

inline constexpr const char* kStateLockFile = "battery-host.lock";

class StateDirLock {
 public:
  // Takes the lock of `dir`; throws std::runtime_error naming the holder when
  // another process has it. A directory that may not be written is locked
  // through the directory itself.
  explicit StateDirLock(const std::filesystem::path& dir);
  ~StateDirLock();
  StateDirLock(const StateDirLock&) = delete;
  StateDirLock& operator=(const StateDirLock&) = delete;

 private:
  int fd_ = -1;
};
