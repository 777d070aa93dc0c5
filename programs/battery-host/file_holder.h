#pragma once

// Who holds the lock on a file: for the message of a host that finds its
// state directory or a port taken by another process.

#include <sys/stat.h>

#include <string>

// "PID 1234 (battery-host)" for the process that holds a lock on the file of
// `info` (as /proc/locks tells), else "another process".
std::string DescribeHolder(const struct stat& info);

// Takes an exclusive flock on `fd` without waiting: empty when it is taken (or
// the file system has no locks), else who holds it.
std::string LockExclusive(int fd);
