#include "programs/battery-host/outputs/standard_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "programs/battery-host/support/text_format.h"

namespace {

int TakeStandardOutput() {
  const int json = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (json < 0) throw std::runtime_error(std::string("standard output: ") + std::strerror(errno));
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  return json;
}

// A descriptor of its own for the pipe or terminal behind `fd`, non-blocking;
// -1 when it cannot be had.
int ReopenNonBlocking(int fd) {
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// Half the queue written: moved to the front once, not at every line.
constexpr std::size_t kCompactAt = StandardOutput::kQueueBytes / 2;

}  // namespace

StandardOutput::StandardOutput(boost::asio::io_context& io, Listener& listener)
    : listener_(listener), kind_(Kind::kFile), fd_(TakeStandardOutput()), waiter_(io) {
  struct stat info {};
  ::fstat(fd_, &info);
  if (S_ISSOCK(info.st_mode)) {
    kind_ = Kind::kSocket;
  } else if (S_ISFIFO(info.st_mode) || ::isatty(fd_) == 1) {
    kind_ = Kind::kStream;
    const int own = ReopenNonBlocking(fd_);
    if (own >= 0) {
      ::close(fd_);
      fd_ = own;
    } else {
      // Shared with whoever else holds it: put back as it was at the end.
      restore_flags_ = ::fcntl(fd_, F_GETFL);
      ::fcntl(fd_, F_SETFL, restore_flags_ | O_NONBLOCK);
    }
  }
  if (kind_ != Kind::kFile) waiter_.assign(::fcntl(fd_, F_DUPFD_CLOEXEC, 3));
}

StandardOutput::~StandardOutput() {
  boost::system::error_code ignored;
  waiter_.close(ignored);
  if (restore_flags_ >= 0) ::fcntl(fd_, F_SETFL, restore_flags_);
  ::close(fd_);
}

long StandardOutput::WriteNow(const char* data, std::size_t size) {
  for (;;) {
    const ssize_t written = kind_ == Kind::kSocket
                                ? ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                : ::write(fd_, data, size);
    if (written >= 0 || errno != EINTR) return static_cast<long>(written);
  }
}

bool StandardOutput::Write(std::string_view line) {
  if (!failure_.empty()) return false;
  if (queue_start_ != queue_.size()) {
    if (queue_.size() - queue_start_ + line.size() > kQueueBytes) {
      if (dropped_++ == 0) listener_.OutputDropping();
      ++dropped_in_run_;
      return false;
    }
    if (queue_start_ >= kCompactAt) {
      queue_.erase(0, queue_start_);
      queue_start_ = 0;
    }
    queue_.append(line);
    return true;
  }
  queue_.clear();
  queue_start_ = 0;
  // A file takes its writes at once (what the loop expects of a disk).
  while (kind_ == Kind::kFile && !line.empty()) {
    const long written = WriteNow(line.data(), line.size());
    if (written <= 0) {
      Fail(written < 0 ? errno : EIO);
      return false;
    }
    line.remove_prefix(static_cast<std::size_t>(written));
  }
  if (line.empty()) return true;
  const long written = WriteNow(line.data(), line.size());
  if (written < 0 && errno != EAGAIN) {
    Fail(errno);
    return false;
  }
  if (written == static_cast<long>(line.size())) return true;
  queue_.assign(line.substr(static_cast<std::size_t>(std::max(written, 0L))));
  WaitForReader();
  return true;
}

void StandardOutput::WriteQueued() {
  while (queue_start_ != queue_.size()) {
    const long written = WriteNow(queue_.data() + queue_start_, queue_.size() - queue_start_);
    if (written < 0 && errno == EAGAIN) return WaitForReader();
    if (written <= 0) return Fail(written < 0 ? errno : EIO);
    queue_start_ += static_cast<std::size_t>(written);
  }
  queue_.clear();
  queue_start_ = 0;
  if (dropped_ == 0) return;
  const std::uint64_t dropped = dropped_;
  dropped_ = 0;
  listener_.OutputCaughtUp(dropped, dropped_in_run_);
}

void StandardOutput::WaitForReader() {
  if (waiting_) return;
  waiting_ = true;
  waiter_.async_wait(boost::asio::posix::stream_descriptor::wait_write,
                     [this](const boost::system::error_code& error) {
                       waiting_ = false;
                       if (error == boost::asio::error::operation_aborted) return;
                       if (error) return Fail(EIO);
                       WriteQueued();
                     });
}

void StandardOutput::Fail(int error) {
  if (!failure_.empty()) return;
  failure_ = std::strerror(error);
  listener_.OutputFailed(failure_);
}

std::size_t StandardOutput::Finish(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (failure_.empty() && queue_start_ != queue_.size()) {
    const long written = WriteNow(queue_.data() + queue_start_, queue_.size() - queue_start_);
    if (written > 0) {
      queue_start_ += static_cast<std::size_t>(written);
      continue;
    }
    if (written == 0 || errno != EAGAIN) break;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd reader{fd_, POLLOUT, 0};
    if (left.count() <= 0 || ::poll(&reader, 1, static_cast<int>(left.count())) <= 0) break;
  }
  const std::size_t unwritten = static_cast<std::size_t>(
      std::count(queue_.begin() + static_cast<std::ptrdiff_t>(queue_start_), queue_.end(), '\n'));
  queue_.clear();
  queue_start_ = 0;
  return unwritten;
}

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
