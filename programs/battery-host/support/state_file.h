#pragma once

// What the files of the state directory share: the CRC-32 of their
// little-endian numbers (battery/byte_order.h), whole reads and writes at an
// offset, and opening without ever blocking on what is found in a file's place.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "programs/battery-host/support/file_failure.h"

namespace state_file {

std::uint32_t Crc32(const unsigned char* data, std::size_t size);

struct Opened {
  int fd = -1;
  std::optional<FileFailure> failure;  // of an open that failed
  // errno of a failed open; 0 when it opened or was refused by the host.
  int Error() const { return failure ? failure->error : 0; }
};

// Opens `path` without ever waiting on it (a FIFO or a device could block
// open() for good) and keeps it only when it is a regular file. With O_CREAT
// in `flags` a missing file is made with mode 0644.
Opened OpenRegular(const std::string& path, int flags);

// Writes all of `size` bytes at `offset`; false with errno set when it could not.
bool WriteAt(int fd, const unsigned char* data, std::size_t size, std::uint64_t offset);
// Reads up to `size` bytes at `offset`; how many were read.
std::size_t ReadAt(int fd, unsigned char* data, std::size_t size, std::uint64_t offset);

}  // namespace state_file
