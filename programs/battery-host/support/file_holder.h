#pragma once

// Who holds the lock on a file: for the message of a host that finds its
// state directory or a port taken by another process.

#include <sys/stat.h>

#include <string>

// The kernel's table of file locks.
inline constexpr const char* kProcLocks = "/proc/locks";

// "PID 1234 (battery-host)" for the process that holds a lock on the file of
// `info`, as the lock table `locks` tells ("PID 1234" when the process itself
// is hidden), else "another process". Under the service's sandbox
// (ProcSubset=pid) there is no lock table: the text says the holder cannot be
// named here and how root finds it.
std::string DescribeHolder(const struct stat& info, const char* locks = kProcLocks);

// Takes an exclusive flock on `fd` without waiting: empty when it is taken (or
// the file system has no locks), else who holds it.
std::string LockExclusive(int fd);
