// Serial ports: termios raw mode, 8N1, non-blocking, read through the host's
// event loop. A port that cannot be opened, or breaks (read error, end of
// file, hang-up of an unplugged adapter or a closed pty), is closed and opened
// again after a back-off that doubles up to a limit. A port is held for this
// host alone (flock, and TIOCEXCL against other programs' opens); a port that
// another process holds when the host starts ends the start.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "programs/battery-host/file_holder.h"
#include "programs/battery-host/line/line_transport.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackOff{250};
constexpr std::chrono::milliseconds kMaxBackOff{8000};

speed_t SpeedOf(unsigned baud) {
  static const std::pair<unsigned, speed_t> kSpeeds[] = {
      {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
      {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& [rate, speed] : kSpeeds) {
    if (rate == baud) return speed;
  }
  return B0;
}

std::string ErrorText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

class SerialTransport : public LineTransport {
 public:
  SerialTransport(boost::asio::io_context& io, std::string path, unsigned baud,
                  LineListener& listener)
      : path_(std::move(path)), baud_(baud), listener_(listener), port_(io), retry_(io) {}
  ~SerialTransport() override { Close(); }

  void Start() override { Open(); }
  bool IsUp() const override { return port_.is_open(); }

  void Write(const std::uint8_t* data, std::size_t size) override {
    if (!port_.is_open()) return;
    const ssize_t written = ::write(port_.native_handle(), data, size);
    if (written == static_cast<ssize_t>(size)) return;
    if (written < 0 && errno != EAGAIN) return Break(ErrorText("write"));
    listener_.OnDown("write: only " + std::to_string(std::max<ssize_t>(written, 0)) + " of " +
                     std::to_string(size) + " bytes went out");
  }

 private:
  void Open() {
    const bool first = !tried_;
    tried_ = true;
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) return InUse(HolderOfPath(), first);
    if (fd < 0) return Retry(ErrorText("open"));
    // A second host on the port would take half of every answer.
    const std::string holder = LockExclusive(fd);
    if (!holder.empty()) {
      ::close(fd);
      return InUse(holder, first);
    }
    const std::string failure = Configure(fd);
    if (!failure.empty()) {
      ::close(fd);
      return Retry(failure);
    }
    ::ioctl(fd, TIOCEXCL);
    port_.assign(fd);
    back_off_ = kFirstBackOff;
    listener_.OnUp();
    WaitForBytes();
  }

  std::string Configure(int fd) const {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return ErrorText("tcgetattr");
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    const speed_t speed = SpeedOf(baud_);
    if (speed == B0) return "unsupported baud rate " + std::to_string(baud_);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return ErrorText("tcsetattr");
    // Whatever waited on the line belongs to nobody.
    tcflush(fd, TCIOFLUSH);
    return {};
  }

  void WaitForBytes() {
    port_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                     [this](const boost::system::error_code& error) {
                       if (error == boost::asio::error::operation_aborted) return;
                       if (error) return Break("wait: " + error.message());
                       ReadChunk();
                     });
  }

  void ReadPending() override {
    while (port_.is_open() && ReadOnce()) {
    }
  }

  void ReadChunk() {
    ReadOnce();
    if (port_.is_open()) WaitForBytes();
  }

  // One chunk to the listener; false when nothing was there or the port broke.
  bool ReadOnce() {
    const ssize_t got = ::read(port_.native_handle(), buffer_.data(), buffer_.size());
    if (got > 0) {
      listener_.OnBytes(buffer_.data(), static_cast<std::size_t>(got));
      return true;
    }
    if (got == 0) {
      Break("end of file (hang-up)");
    } else if (errno != EAGAIN && errno != EINTR) {
      Break(ErrorText("read"));
    }
    return false;
  }

  std::string HolderOfPath() const {
    struct stat info {};
    return ::stat(path_.c_str(), &info) == 0 ? DescribeHolder(info) : "another process";
  }

  void InUse(const std::string& holder, bool first) {
    const std::string reason = "in use by " + holder + "; one host per port";
    if (first) throw std::runtime_error(path_ + ": " + reason);
    Retry(reason);
  }

  void Close() {
    if (!port_.is_open()) return;
    // The exclusive mode outlives this host on a pty whose other side stays open.
    ::ioctl(port_.native_handle(), TIOCNXCL);
    boost::system::error_code ignored;
    port_.close(ignored);
  }

  void Break(const std::string& reason) {
    Close();
    Retry(reason);
  }

  void Retry(const std::string& reason) {
    listener_.OnDown(reason + "; retrying in " + std::to_string(back_off_.count()) + " ms");
    retry_.expires_after(back_off_);
    back_off_ = std::min(back_off_ * 2, kMaxBackOff);
    retry_.async_wait([this](const boost::system::error_code& error) {
      if (!error) Open();
    });
  }

  std::string path_;
  unsigned baud_;
  LineListener& listener_;
  boost::asio::posix::stream_descriptor port_;
  boost::asio::steady_timer retry_;
  std::chrono::milliseconds back_off_ = kFirstBackOff;
  bool tried_ = false;
  std::array<std::uint8_t, 256> buffer_{};
};

}  // namespace

std::unique_ptr<LineTransport> MakeSerialTransport(boost::asio::io_context& io, std::string path,
                                                   unsigned baud, LineListener& listener) {
  return std::make_unique<SerialTransport>(io, std::move(path), baud, listener);
}
