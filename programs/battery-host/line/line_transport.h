#pragma once

// What carries a host line's bytes: a serial port (a real tty or a pty) or a
// simulated line inside the host. Transports call their listener from the
// host's one event loop.

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "programs/battery-host/line/sim_settings.h"

class LineListener {
 public:
  virtual void OnBytes(std::uint8_t* data, std::size_t size) = 0;
  // The line went down (reason given) or came up; a failing line is retried.
  virtual void OnDown(const std::string& reason) = 0;
  virtual void OnUp() = 0;

 protected:
  virtual ~LineListener() = default;
};

class LineTransport {
 public:
  virtual ~LineTransport() = default;
  virtual void Start() = 0;
  virtual bool IsUp() const = 0;
  virtual void Write(const std::uint8_t* data, std::size_t size) = 0;
  // Hands over whatever has already arrived, before a missing answer is
  // re-sent: an answer that is merely late must not be overtaken by its re-send.
  virtual void ReadPending() = 0;
};

// A serial port opened raw, 8N1, at `baud`; reopened with back-off after a
// failure. A request that the port has not taken whole within `write_limit`
// breaks it.
std::unique_ptr<LineTransport> MakeSerialTransport(boost::asio::io_context& io, std::string path,
                                                   unsigned baud,
                                                   std::chrono::milliseconds write_limit,
                                                   LineListener& listener);

// Simulated monitors on a line inside the host, keeping time at `baud` (0: no pacing).
std::unique_ptr<LineTransport> MakeSimTransport(boost::asio::io_context& io,
                                                const std::vector<SimMonitorSettings>& monitors,
                                                bool echo, unsigned baud, LineListener& listener);
