#pragma once

// The simulator's end of a pseudo-terminal: the controller opens the slave
// side like any serial port. The simulator keeps a slave descriptor of its
// own open so that the master does not report a hang-up while no controller
// has the port open; closing the pty (Unplug) hangs the controller's side up.

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class PtyLine {
 public:
  using Receiver = std::function<void(const std::uint8_t* data, std::size_t size)>;

  // `link`, when not empty, is made a symbolic link to the slave. Nothing at
  // `link` is replaced but a symbolic link whose target is gone (left by a
  // simulator that was killed); only the link made here is removed.
  PtyLine(boost::asio::io_context& io, std::string link, Receiver receiver);
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // Opens a new pty; throws std::system_error when it cannot, and
  // std::runtime_error when something else is at the link's path.
  void Open();
  void Close();
  const std::string& SlavePath() const { return slave_path_; }
  void Write(const std::uint8_t* data, std::size_t size);

 private:
  void WaitForBytes();
  void ReadAvailable();
  void CheckLinkPlace() const;
  void PlaceLink();
  void RemoveLink();

  std::string link_;
  Receiver receiver_;
  boost::asio::posix::stream_descriptor master_;
  int own_slave_ = -1;
  std::string slave_path_;
  std::array<std::uint8_t, 256> buffer_{};
};
