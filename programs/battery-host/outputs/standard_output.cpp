#include "programs/battery-host/outputs/standard_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "programs/battery-host/text_format.h"

namespace {

int TakeStandardOutput() {
  const int json = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (json < 0) throw std::runtime_error(std::string("standard output: ") + std::strerror(errno));
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  return json;
}

}  // namespace

FdOutputBuffer::FdOutputBuffer(int fd) : fd_(fd) {
  setp(space_.data(), space_.data() + space_.size());
}

FdOutputBuffer::~FdOutputBuffer() {
  sync();
  ::close(fd_);
}

FdOutputBuffer::int_type FdOutputBuffer::overflow(int_type ch) {
  if (sync() != 0) return traits_type::eof();
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  *pptr() = traits_type::to_char_type(ch);
  pbump(1);
  return ch;
}

int FdOutputBuffer::sync() {
  const auto size = static_cast<std::size_t>(pptr() - pbase());
  const bool written = WriteAll(pbase(), size);
  setp(space_.data(), space_.data() + space_.size());
  return written ? 0 : -1;
}

bool FdOutputBuffer::WriteAll(const char* data, std::size_t size) {
  if (!failure_.empty()) return false;
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failure_ = written < 0 ? std::strerror(errno) : "nothing more could be written";
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

StandardOutput::StandardOutput() : buffer_(TakeStandardOutput()), stream_(&buffer_) {}

int OpenAppendFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    throw std::runtime_error(path + ": " + host_text::FileKind(status.st_mode) +
                             ", not a regular file");
  }
  // Appends to a regular file; blocking writes are what the loop expects of a disk.
  ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
  return fd;
}
