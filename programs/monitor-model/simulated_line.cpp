#include "programs/monitor-model/simulated_line.h"

#include <algorithm>
#include <array>

namespace monitor_sim {

namespace {

const char* CommandName(battery_link::Command command) {
  switch (command) {
    case battery_link::Command::kCellVoltages:
      return "cells";
    case battery_link::Command::kGroupVoltage:
      return "group_voltage";
    case battery_link::Command::kGroupCurrent:
      return "group_current";
    case battery_link::Command::kTemperature:
      return "temperature";
  }
  return "unknown";
}

Json::Value RawOf(const RawValues& values, battery_link::Command command) {
  switch (command) {
    case battery_link::Command::kCellVoltages: {
      Json::Value cells(Json::arrayValue);
      for (const std::uint16_t raw : values.cells) cells.append(raw);
      return cells;
    }
    case battery_link::Command::kGroupVoltage:
      return values.group_voltage;
    case battery_link::Command::kGroupCurrent:
      return values.group_current;
    case battery_link::Command::kTemperature:
      return values.temperature;
  }
  return Json::Value();
}

}  // namespace

Json::Value DescribeAnswer(const MonitorModel& monitor, const Request& request,
                           const Reply& reply) {
  Json::Value line(Json::objectValue);
  line["address"] = monitor.Address();
  line["command"] = CommandName(request.command);
  line["raw"] = RawOf(monitor.Values(), request.command);
  line["fault"] = FaultName(reply.fault);
  line["intact"] = reply.Intact();
  if (request.number != 0) line["request"] = static_cast<Json::UInt64>(request.number);
  return line;
}

SimulatedLine::SimulatedLine(boost::asio::io_context& io, Sink sink, bool echo, unsigned baud)
    : timer_(io), sink_(std::move(sink)), echo_(echo), baud_(baud) {}

void SimulatedLine::FromController(const std::uint8_t* data, std::size_t size) {
  // Bytes queue behind what the controller wrote before, as in a UART's buffer.
  const Clock::time_point start = std::max(Clock::now(), inbound_free_);
  for (std::size_t i = 0; i < size; ++i) {
    auto request = parser_.Feed(data[i]);
    if (!request) continue;
    request->number = ++requests_heard_;
    const Clock::time_point heard = start + battery_link::LineTime(i + 1, baud_);
    At(heard, [this, heard, request = *request] { Hear(heard, request); });
  }
  inbound_free_ = start + battery_link::LineTime(size, baud_);
  // A half-duplex adapter hears its own bytes as they cross the line.
  if (echo_) Deliver(inbound_free_, data, size);
}

void SimulatedLine::Cancel() {
  events_.clear();
  timer_.cancel();
  busy_ = false;
}

void SimulatedLine::At(Clock::time_point when, Event event) {
  const bool earliest = events_.empty() || when < events_.begin()->first;
  events_.emplace(when, std::move(event));
  if (earliest) WaitForNextEvent();
}

void SimulatedLine::WaitForNextEvent() {
  if (events_.empty()) return;
  timer_.expires_at(events_.begin()->first);
  timer_.async_wait(
      [this, alive = std::weak_ptr<bool>(alive_)](const boost::system::error_code& error) {
        if (error || alive.expired()) return;
        // Events that fall due while one runs wait for the next turn of the loop.
        const Clock::time_point now = Clock::now();
        while (!events_.empty() && events_.begin()->first <= now) {
          Event event = std::move(events_.begin()->second);
          events_.erase(events_.begin());
          event();
        }
        WaitForNextEvent();
      });
}

void SimulatedLine::Deliver(Clock::time_point when, const std::uint8_t* data, std::size_t size) {
  // Never written from inside the controller's own write: always through the loop.
  constexpr std::size_t kChunk = 16;
  for (std::size_t at = 0; at < size; at += kChunk) {
    std::array<std::uint8_t, kChunk> bytes{};
    const std::size_t count = std::min(kChunk, size - at);
    std::copy_n(data + at, count, bytes.begin());
    At(when, [this, bytes, count] { sink_(bytes.data(), count); });
  }
}

void SimulatedLine::Hear(Clock::time_point when, const Request& request) {
  if (busy_) return;
  for (MonitorModel& monitor : monitors_) {
    auto reply = monitor.Answer(request);
    if (!reply) continue;
    answering_ = &monitor;
    request_ = request;
    reply_ = *reply;
    if (reply_.fault == Fault::kNoAnswer) {
      if (log_) log_(monitor, request_, reply_);
      return;
    }
    busy_ = true;
    const std::size_t first = reply_.split_at == 0 ? reply_.size : reply_.split_at;
    const Clock::time_point arrives = when + reply_.delay + battery_link::LineTime(first, baud_);
    At(arrives, [this, arrives] { WriteFirstChunk(arrives); });
    return;
  }
}

void SimulatedLine::WriteFirstChunk(Clock::time_point when) {
  if (log_) log_(*answering_, request_, reply_);
  if (reply_.split_at == 0) {
    busy_ = false;
    sink_(reply_.bytes.data(), reply_.size);
    return;
  }
  sink_(reply_.bytes.data(), reply_.split_at);
  const std::size_t rest = reply_.size - reply_.split_at;
  At(when + answering_->Settings().split_gap + battery_link::LineTime(rest, baud_),
     [this] { WriteRest(); });
}

void SimulatedLine::WriteRest() {
  busy_ = false;
  sink_(reply_.bytes.data() + reply_.split_at, reply_.size - reply_.split_at);
}

}  // namespace monitor_sim
