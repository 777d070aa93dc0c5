#include "programs/monitor-model/simulated_line.h"

#include <boost/asio/post.hpp>

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

SimulatedLine::SimulatedLine(boost::asio::io_context& io, Sink sink, bool echo)
    : io_(io), timer_(io), sink_(std::move(sink)), echo_(echo) {}

void SimulatedLine::FromController(const std::uint8_t* data, std::size_t size) {
  if (echo_) Echo(data, size);
  for (std::size_t i = 0; i < size; ++i) {
    auto request = parser_.Feed(data[i]);
    if (!request) continue;
    request->number = ++requests_heard_;
    Handle(*request);
  }
}

void SimulatedLine::Cancel() {
  timer_.cancel();
  busy_ = false;
}

void SimulatedLine::Echo(const std::uint8_t* data, std::size_t size) {
  // Posted, never written from inside the controller's own write.
  constexpr std::size_t kChunk = 16;
  for (std::size_t at = 0; at < size; at += kChunk) {
    std::array<std::uint8_t, kChunk> bytes{};
    const std::size_t count = std::min(kChunk, size - at);
    std::copy_n(data + at, count, bytes.begin());
    boost::asio::post(io_, [this, bytes, count] { sink_(bytes.data(), count); });
  }
}

void SimulatedLine::Handle(const Request& request) {
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
    timer_.expires_after(reply_.delay);
    timer_.async_wait([this](const boost::system::error_code& error) {
      if (!error) WriteFirstChunk();
    });
    return;
  }
}

void SimulatedLine::WriteFirstChunk() {
  if (log_) log_(*answering_, request_, reply_);
  if (reply_.split_at == 0) {
    busy_ = false;
    sink_(reply_.bytes.data(), reply_.size);
    return;
  }
  sink_(reply_.bytes.data(), reply_.split_at);
  timer_.expires_after(answering_->Settings().split_gap);
  timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error) WriteRest();
  });
}

void SimulatedLine::WriteRest() {
  busy_ = false;
  sink_(reply_.bytes.data() + reply_.split_at, reply_.size - reply_.split_at);
}

}  // namespace monitor_sim
