#include "programs/battery-monitor-sim/pty_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

#include "host/time_bits.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string LinkTarget(const std::string& link) {
  std::array<char, 4096> target{};
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size() - 1);
  return length > 0 ? std::string(target.data(), static_cast<std::size_t>(length)) : std::string();
}

void MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) Fail("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) Fail("tcsetattr");
}

}  // namespace

PtyLine::PtyLine(boost::asio::io_context& io, std::string link, Receiver receiver)
    : link_(std::move(link)), receiver_(std::move(receiver)), master_(io) {}

PtyLine::~PtyLine() {
  Close();
}

void PtyLine::Open() {
  if (!link_.empty()) CheckLinkPlace();
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) Fail("posix_openpt");
  master_.assign(master);
  if (grantpt(master) != 0 || unlockpt(master) != 0) Fail("grantpt/unlockpt");
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) Fail("ptsname_r");
  slave_path_ = name;
  own_slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (own_slave_ < 0) Fail("open slave");
  // Raw from the start: nothing the controller writes before it sets its own
  // mode may be echoed or edited by the line discipline.
  MakeRaw(own_slave_);
  master_.non_blocking(true);
  if (!link_.empty()) PlaceLink();
  WaitForBytes();
}

void PtyLine::CheckLinkPlace() const {
  struct stat info {};
  if (::lstat(link_.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      throw std::runtime_error(link_ + " exists and is not a symbolic link: not replaced");
    }
    struct stat target {};
    if (::stat(link_.c_str(), &target) == 0) {
      throw std::runtime_error(link_ + " links to " + LinkTarget(link_) +
                               ", which exists (another simulator's pty?): not replaced");
    }
  }
}

void PtyLine::PlaceLink() {
  // Made under a name of its own and renamed over a dangling link in one step.
  const std::string temporary = link_ + ".new-" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(slave_path_.c_str(), temporary.c_str()) != 0) Fail("symlink");
  if (std::rename(temporary.c_str(), link_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    Fail("rename");
  }
}

void PtyLine::RemoveLink() {
  if (!link_.empty() && !slave_path_.empty() && LinkTarget(link_) == slave_path_) {
    ::unlink(link_.c_str());
  }
}

void PtyLine::Close() {
  RemoveLink();
  boost::system::error_code ignored;
  master_.close(ignored);
  if (own_slave_ >= 0) ::close(own_slave_);
  own_slave_ = -1;
}

void PtyLine::Write(const std::uint8_t* data, std::size_t size) {
  if (!master_.is_open()) return;
  // Answers are short; the pty's buffer takes them whole.
  const ssize_t written = ::write(master_.native_handle(), data, size);
  if (written < 0 || static_cast<std::size_t>(written) != size) {
    std::perror("battery-monitor-sim: write");
  }
}

void PtyLine::WaitForBytes() {
  master_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                     [this](const boost::system::error_code& error) {
                       if (!error) ReadAvailable();
                     });
}

void PtyLine::ReadAvailable() {
  const ssize_t got = ::read(master_.native_handle(), buffer_.data(), buffer_.size());
  if (got > 0) receiver_(buffer_.data(), static_cast<std::size_t>(got));
  if (got < 0 && errno != EAGAIN && errno != EINTR) {
    std::perror("battery-monitor-sim: read");
    return;
  }
  WaitForBytes();
}
