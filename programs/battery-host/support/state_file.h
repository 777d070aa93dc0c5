#pragma once

// What the files of the state directory share: little-endian numbers, their
// CRC-32, whole reads and writes at an offset, and opening without ever
// blocking on what is found in a file's place.

#include <cstddef>
#include <cstdint>
#include <string>

namespace state_file {

std::uint32_t Crc32(const unsigned char* data, std::size_t size);

template <typename T>
void Put(unsigned char* at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

template <typename T>
T Get(const unsigned char* at) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{at[i]} << (8 * i));
  return value;
}

// "what: the system's reason".
std::string ErrorText(const std::string& what, int error);

struct Opened {
  int fd = -1;
  int error = 0;        // errno of a failed open
  std::string problem;  // what went wrong, for messages
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
