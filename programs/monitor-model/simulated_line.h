#pragma once

// A serial line with simulated monitors on it, as an RS-485 bus: every
// request reaches every monitor, the one with the request's address answers
// after its latency, and a monitor that is still answering ignores new
// requests, as a real one busy on the line would. Answers are written through
// a sink; a half-duplex adapter's echo of the requests can be simulated.
//
// The line keeps time at its baud rate: a request is heard when its last byte
// has crossed the line (10 bits a byte), the answer starts after the
// monitor's latency and reaches the controller when its own last byte has
// crossed. A baud rate of 0 turns the pacing off: requests are heard and
// answers arrive after the latency alone.

#include <json/value.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "programs/monitor-model/monitor_model.h"

namespace monitor_sim {

// One answer as a JSON object: address, command, raw value(s), fault, intact,
// and the number of the request it answers (when the line counted it).
Json::Value DescribeAnswer(const MonitorModel& monitor, const Request& request, const Reply& reply);

class SimulatedLine {
 public:
  using Clock = std::chrono::steady_clock;
  // Bytes written by the monitors (or echoed) toward the controller.
  using Sink = std::function<void(const std::uint8_t* data, std::size_t size)>;
  // Called as each answer starts to reach the controller (and for each answer left out).
  using AnswerLog =
      std::function<void(const MonitorModel& monitor, const Request& request, const Reply& reply)>;

  SimulatedLine(boost::asio::io_context& io, Sink sink, bool echo, unsigned baud);

  // Monitors added after this report their unencodable values to `listener`.
  void SetUnencodableListener(UnencodableListener listener) { unencodable_ = std::move(listener); }
  void AddMonitor(const MonitorSettings& settings) {
    monitors_.emplace_back(settings, unencodable_);
  }
  void SetAnswerLog(AnswerLog log) { log_ = std::move(log); }

  // Bytes that the controller wrote on the line.
  void FromController(const std::uint8_t* data, std::size_t size);
  // Drops everything under way on the line (it went down).
  void Cancel();

 private:
  using Event = std::function<void()>;
  void At(Clock::time_point when, Event event);
  void WaitForNextEvent();
  void Deliver(Clock::time_point when, const std::uint8_t* data, std::size_t size);
  void Hear(Clock::time_point when, const Request& request);
  void WriteFirstChunk(Clock::time_point when);
  void WriteRest();

  boost::asio::steady_timer timer_;
  // Held weakly by the timer's handler: a line destroyed while that handler is
  // already due (a device removed by a reload) is not touched by it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  Sink sink_;
  bool echo_;
  unsigned baud_;
  AnswerLog log_;
  UnencodableListener unencodable_;
  std::vector<MonitorModel> monitors_;
  RequestParser parser_;
  std::uint64_t requests_heard_ = 0;
  // What happens on the line next, in time order (equal times in the order scheduled).
  std::multimap<Clock::time_point, Event> events_;
  // When the controller's bytes written so far have all crossed the line.
  Clock::time_point inbound_free_{};
  const MonitorModel* answering_ = nullptr;
  Request request_;
  Reply reply_;
  bool busy_ = false;
};

}  // namespace monitor_sim
