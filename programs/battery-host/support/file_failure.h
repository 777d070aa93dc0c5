#pragma once

// A failed operation on a file of the state directory, kept as a value: what
// was tried and the system's reason apart, so a caller can tell a full disk
// (ENOSPC) from a read-only one (EROFS) without reading a message.

#include <cstring>
#include <string>
#include <vector>

struct FileFailure {
  std::string what;  // "pwrite", "create PATH.new", "not a regular file but a FIFO: refused"
  int error = 0;     // errno; 0 when no system call failed

  // "what: the system's reason", as the log says it.
  std::string Text() const { return error == 0 ? what : what + ": " + std::strerror(error); }
};

// What opening or writing a state file repaired, carried over or failed on:
// one line each, for the log.
using FileNotes = std::vector<std::string>;
