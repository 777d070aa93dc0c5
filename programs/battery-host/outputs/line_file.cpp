#include "programs/battery-host/outputs/line_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "programs/battery-host/outputs/standard_output.h"
#include "programs/battery-host/support/error_log.h"

LineFile::LineFile(std::string path, std::ostream& err)
    : path_(std::move(path)), err_(err), fd_(OpenAppendFile(path_)) {}

LineFile::~LineFile() {
  ::close(fd_);
}

std::streamsize LineFile::xsputn(const char* data, std::streamsize size) {
  const std::string failure = Append(data, static_cast<std::size_t>(size));
  if (failure.empty()) {
    if (dropped_ != 0) {
      err_ << error_log::Info << "battery-host: plugin_log " << path_ << ": written again; "
           << dropped_ << " lines of the plug-in were dropped" << std::endl;
    }
    dropped_ = 0;
    failure_.clear();
    return size;
  }
  ++dropped_;
  if (failure != failure_) {
    err_ << error_log::Error << "battery-host: plugin_log " << path_ << ": " << failure
         << "; the plug-in's lines are dropped until one can be written" << std::endl;
  }
  failure_ = failure;
  // Taken, as far as the plug-in is concerned: its stream must not fail.
  return size;
}

std::string LineFile::Append(const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = ::write(fd_, data + done, size - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EINTR) {
      break;
    }
  }
  if (done == size) return {};
  const std::string reason = std::strerror(errno);
  // Cut short (the disk filled during the write): the part that went in is
  // taken back, so the file holds whole lines only. Appending leaves the
  // offset at the end of what was written.
  const off_t end = ::lseek(fd_, 0, SEEK_CUR);
  if (done > 0 && end >= static_cast<off_t>(done) &&
      ::ftruncate(fd_, end - static_cast<off_t>(done)) != 0) {
    return reason + ", and " + std::strerror(errno) + " taking back the part written";
  }
  return reason;
}
