#include "programs/battery-host/support/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/crc.hpp>

#include <cerrno>

#include "host/time_bits.h"
#include "programs/battery-host/support/text_format.h"

namespace state_file {

std::uint32_t Crc32(const unsigned char* data, std::size_t size) {
  boost::crc_32_type crc;
  crc.process_bytes(data, size);
  return crc.checksum();
}

Opened OpenRegular(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) return {-1, FileFailure{"open", errno}};
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return {-1, FileFailure{"fstat", error}};
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return {-1, FileFailure{std::string("not a regular file but ") +
                            host_text::FileKind(info.st_mode) + ": refused"}};
  }
  return {fd, std::nullopt};
}

bool WriteAt(int fd, const unsigned char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

std::size_t ReadAt(int fd, unsigned char* data, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace state_file
