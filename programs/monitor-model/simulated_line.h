#pragma once

// A serial line with simulated monitors on it, as an RS-485 bus: every
// request reaches every monitor, the one with the request's address answers
// after its latency, and a monitor that is still answering ignores new
// requests, as a real one busy on the line would. Answers are written through
// a sink; a half-duplex adapter's echo of the requests can be simulated.

#include <json/value.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "programs/monitor-model/monitor_model.h"

namespace monitor_sim {

// One answer as a JSON object: address, command, raw value(s), fault, intact,
// and the number of the request it answers (when the line counted it).
Json::Value DescribeAnswer(const MonitorModel& monitor, const Request& request, const Reply& reply);

class SimulatedLine {
 public:
  // Bytes written by the monitors (or echoed) toward the controller.
  using Sink = std::function<void(const std::uint8_t* data, std::size_t size)>;
  // Called as each answer starts to go out (and for each answer left out).
  using AnswerLog =
      std::function<void(const MonitorModel& monitor, const Request& request, const Reply& reply)>;

  SimulatedLine(boost::asio::io_context& io, Sink sink, bool echo);

  void AddMonitor(const MonitorSettings& settings) { monitors_.emplace_back(settings); }
  void SetAnswerLog(AnswerLog log) { log_ = std::move(log); }

  // Bytes that the controller wrote on the line.
  void FromController(const std::uint8_t* data, std::size_t size);
  // Drops the answer under way (the line went down).
  void Cancel();

 private:
  void Echo(const std::uint8_t* data, std::size_t size);
  void Handle(const Request& request);
  void WriteFirstChunk();
  void WriteRest();

  boost::asio::io_context& io_;
  boost::asio::steady_timer timer_;
  Sink sink_;
  bool echo_;
  AnswerLog log_;
  std::vector<MonitorModel> monitors_;
  RequestParser parser_;
  std::uint64_t requests_heard_ = 0;
  const MonitorModel* answering_ = nullptr;
  Request request_;
  Reply reply_;
  bool busy_ = false;
};

}  // namespace monitor_sim
