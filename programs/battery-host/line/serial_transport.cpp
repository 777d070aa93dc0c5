// Serial ports: termios raw mode, 8N1, non-blocking, read and written through
// the host's event loop. A port that cannot be opened, or breaks (read error,
// end of file, hang-up of an unplugged adapter or a closed pty, a request
// that cannot be written whole within the write limit because the other side
// stopped taking bytes), is closed and opened again after a back-off that
// doubles up to a limit. A port is held for this host alone (flock, and
// TIOCEXCL against other programs' opens); a port that another process holds
// when the host starts ends the start.

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
#include <vector>

#include "programs/battery-host/line/line_transport.h"
#include "programs/battery-host/support/back_off.h"
#include "programs/battery-host/support/file_holder.h"
#include "programs/battery-host/support/one_shot.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackOff{250};
constexpr std::chrono::milliseconds kMaxBackOff{8000};
// A port that worked this long is tried again from the first back-off when it
// breaks; one that breaks again at once (its reader stopped) goes on doubling.
constexpr std::chrono::seconds kSteadyPort{30};

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
                  std::chrono::milliseconds write_limit, LineListener& listener)
      : path_(std::move(path)),
        baud_(baud),
        write_limit_(write_limit),
        listener_(listener),
        port_(io),
        retry_(io),
        write_deadline_(io) {}
  ~SerialTransport() override { Close(); }

  void Start() override { Open(); }
  bool IsUp() const override { return port_.is_open(); }

  // What does not go out at once goes when the port takes it; the next
  // request finds it still waiting only when the port took nothing for an
  // answer timeout.
  void Write(const std::uint8_t* data, std::size_t size) override {
    if (!port_.is_open()) return;
    if (!unwritten_.empty()) return WriteStalled();
    unwritten_.assign(data, data + size);
    request_size_ = size;
    if (!WriteSome()) return;
    ArmOneShot(write_deadline_, write_limit_, [this] {
      if (!unwritten_.empty()) WriteStalled();
    });
    WaitForRoom();
  }

 private:
  // Writes what the port takes now; false when it took all, or broke.
  bool WriteSome() {
    const ssize_t written = ::write(port_.native_handle(), unwritten_.data(), unwritten_.size());
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      Break(ErrorText("write"));
      return false;
    }
    if (written > 0) unwritten_.erase(unwritten_.begin(), unwritten_.begin() + written);
    return !unwritten_.empty();
  }

  void WaitForRoom() {
    port_.async_wait(boost::asio::posix::stream_descriptor::wait_write,
                     [this](const boost::system::error_code& error) {
                       if (error == boost::asio::error::operation_aborted) return;
                       if (error) return Break("wait: " + error.message());
                       if (unwritten_.empty()) return;
                       if (WriteSome()) return WaitForRoom();
                       write_deadline_.cancel();
                     });
  }

  void WriteStalled() {
    Break("write: only " + std::to_string(request_size_ - unwritten_.size()) + " of " +
          std::to_string(request_size_) + " bytes went out within " +
          std::to_string(write_limit_.count()) + " ms");
  }

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
    back_off_.Up(BackOff::Clock::now());
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

  // Reads as the bytes come. A read that took fewer bytes than the buffer
  // holds leaves the next one to wait for the port to be readable again,
  // without a system call to re-arm the wait. One that filled the buffer
  // would let the next read at once and hand its bytes over later, possibly
  // after a ReadPending had handed over newer ones: from then on, until the
  // port is opened again, its readiness is waited for and it is read as
  // ReadPending reads it.
  void WaitForBytes() {
    port_.async_read_some(boost::asio::buffer(buffer_),
                          [this](const boost::system::error_code& error, std::size_t size) {
                            if (error == boost::asio::error::operation_aborted) return;
                            if (error == boost::asio::error::eof)
                              return Break("end of file (hang-up)");
                            if (error) return Break("read: " + error.message());
                            listener_.OnBytes(buffer_.data(), size);
                            if (!port_.is_open()) return;
                            if (size < buffer_.size()) return WaitForBytes();
                            WaitForReadiness();
                          });
  }

  void WaitForReadiness() {
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
    if (port_.is_open()) WaitForReadiness();
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
    unwritten_.clear();
    write_deadline_.cancel();
    if (!port_.is_open()) return;
    // The exclusive mode outlives this host on a pty whose other side stays open.
    ::ioctl(port_.native_handle(), TIOCNXCL);
    // A UART's close waits (up to 30 s) for output it could not send: dropped.
    tcflush(port_.native_handle(), TCOFLUSH);
    boost::system::error_code ignored;
    port_.close(ignored);
  }

  void Break(const std::string& reason) {
    Close();
    Retry(reason);
  }

  void Retry(const std::string& reason) {
    const std::chrono::milliseconds delay = back_off_.Failed(BackOff::Clock::now());
    listener_.OnDown(reason + "; retrying in " + std::to_string(delay.count()) + " ms");
    ArmOneShot(retry_, delay, [this] { Open(); });
  }

  std::string path_;
  unsigned baud_;
  std::chrono::milliseconds write_limit_;
  LineListener& listener_;
  boost::asio::posix::stream_descriptor port_;
  boost::asio::steady_timer retry_;
  BackOff back_off_{kFirstBackOff, kMaxBackOff, kSteadyPort};
  bool tried_ = false;
  // The part of the request that the port has not taken yet.
  std::vector<std::uint8_t> unwritten_;
  std::size_t request_size_ = 0;
  boost::asio::steady_timer write_deadline_;
  std::array<std::uint8_t, 256> buffer_{};
};

}  // namespace

std::unique_ptr<LineTransport> MakeSerialTransport(boost::asio::io_context& io, std::string path,
                                                   unsigned baud,
                                                   std::chrono::milliseconds write_limit,
                                                   LineListener& listener) {
  return std::make_unique<SerialTransport>(io, std::move(path), baud, write_limit, listener);
}
