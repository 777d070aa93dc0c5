// battery-monitor-sim: battery monitors on a pseudo-terminal. The controller
// (battery-host run, or the real daemon) opens the printed slave path, or the
// symbolic link given with --link, as it would open a serial port.

#include <json/writer.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "programs/battery-monitor-sim/pty_line.h"
#include "programs/command-line/command_line.h"
#include "programs/monitor-model/fault_table.h"
#include "programs/monitor-model/simulated_line.h"

namespace {

using monitor_sim::MonitorSettings;

struct Options {
  std::string link;
  std::vector<unsigned> addresses;
  MonitorSettings monitor;
  bool echo = false;
  unsigned baud = battery_link::kBaudRate;
  std::string log;
  unsigned unplug_after = 0;
  unsigned unplug_for_ms = 1000;
};

constexpr unsigned kMaxDelayMs = 60'000;

// The command line; nothing when the simulator goes on, else the exit status.
std::optional<int> Parse(int argc, char** argv, Options& options) {
  using command_line::NumberIn;
  using command_line::WholeNumber;
  CLI::App app(
      "Battery monitors on a pseudo-terminal: the controller opens the printed slave "
      "path (or --link) as a serial port.",
      "battery-monitor-sim");
  MonitorSettings& monitor = options.monitor;
  app.add_option("--link", options.link, "make PATH a symbolic link to the pty's slave");
  app.add_option("--address", options.addresses,
                 "bus address of a monitor, as it answers (repeat for several; default 1)")
      ->transform(WholeNumber(0, 0xFF));
  app.add_option("--cell-voltage", monitor.cell_voltage, "base of every cell, V")
      ->transform(NumberIn(0, 10));
  app.add_option("--group-voltage", monitor.group_voltage, "base of the group voltage, V")
      ->transform(NumberIn(0, 1000));
  app.add_option("--current", monitor.current, "base of the group current, A")
      ->transform(NumberIn(-1000, 1000));
  app.add_option("--temperature", monitor.temperature, "base of the temperature, °C")
      ->transform(NumberIn(-50, 150));
  command_line::AddVersion(app);
  app.add_option("--protocol-version", monitor.version,
                 "the monitors' protocol: 2, group voltage in 0.01 V (default 1: 0.1 V)")
      ->transform(WholeNumber(1, 2));
  app.add_flag_callback(
      "--current-ratio",
      [&monitor] { monitor.current_encoding = monitor_sim::CurrentEncoding::kOffset; },
      "current in the offset form (the plug-in's current_ratio)");
  app.add_option("--seed", monitor.seed, "seed of the drift and the faults (default 1)")
      ->transform(WholeNumber(0, std::numeric_limits<std::uint32_t>::max()));
  app.add_flag("--echo", options.echo,
               "echo every byte written to the line, as half-duplex adapters do");
  app.add_option("--baud", options.baud,
                 "the line's speed: requests and answers take their line time, 10 bits a byte "
                 "(default 19200)")
      ->transform(WholeNumber(1, 4'000'000));
  app.add_flag_callback(
      "--no-pacing", [&options] { options.baud = 0; },
      "requests and answers take no line time (fast tests)");
  app.add_option("--log", options.log,
                 "append one JSON line per answer: address, command, raw, fault, intact, "
                 "request (number of the request answered, counting all heard)");
  const std::tuple<const char*, std::chrono::milliseconds*, const char*> delays[] = {
      {"--latency-ms", &monitor.latency, "time to answer (default 5)"},
      {"--late-ms", &monitor.late, "time to answer when late (default 300)"},
      {"--split-gap-ms", &monitor.split_gap, "pause inside a split answer (default 30)"}};
  for (const auto& [name, target, description] : delays) {
    app.add_option_function<unsigned>(
           name, [target = target](unsigned ms) { *target = std::chrono::milliseconds(ms); },
           description)
        ->transform(WholeNumber(0, kMaxDelayMs));
  }
  monitor_sim::FaultRates& faults = monitor.faults;
  for (const monitor_sim::FaultKind& kind : monitor_sim::kFaultKinds) {
    app.add_option(monitor_sim::FaultOption(kind), faults.*kind.rate,
                   std::string("fault rate per answer: ") + kind.help)
        ->transform(NumberIn(0, 1));
  }
  app.add_option("--unplug-after", options.unplug_after, "close the pty after N answers ...")
      ->transform(WholeNumber(0, std::numeric_limits<unsigned>::max()));
  app.add_option("--unplug-for", options.unplug_for_ms,
                 "... and open a new one MS later (default 1000)")
      ->transform(WholeNumber(0, std::numeric_limits<unsigned>::max()));

  if (const auto status = command_line::Parse(app, argc, argv)) return status;
  if (faults.Sum() > 1.0) {
    std::cerr << "battery-monitor-sim: the fault rates add up to " << faults.Sum()
              << "; expected at most 1\n";
    return command_line::kUsageError;
  }
  if (options.addresses.empty()) options.addresses.push_back(1);
  return std::nullopt;
}

class Simulator {
 public:
  explicit Simulator(const Options& options)
      : options_(options),
        pty_(io_, options.link,
             [this](const std::uint8_t* data, std::size_t size) {
               line_.FromController(data, size);
             }),
        line_(
            io_, [this](const std::uint8_t* data, std::size_t size) { pty_.Write(data, size); },
            options.echo, options.baud),
        replug_(io_),
        signals_(io_, SIGINT, SIGTERM) {
    line_.SetUnencodableListener([this](const monitor_sim::Unencodable& value) { Warn(value); });
    for (const unsigned address : options.addresses) {
      MonitorSettings monitor = options.monitor;
      monitor.address = static_cast<std::uint8_t>(address);
      monitor.seed = options.monitor.seed + address;
      line_.AddMonitor(monitor);
    }
    if (!options.log.empty()) {
      log_.open(options.log, std::ios::out | std::ios::app);
      if (!log_.is_open()) {
        throw std::runtime_error("cannot open the log " + options.log + ": " +
                                 std::strerror(errno));
      }
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    writer_.reset(builder.newStreamWriter());
    line_.SetAnswerLog(
        [this](const monitor_sim::MonitorModel& monitor, const monitor_sim::Request& request,
               const monitor_sim::Reply& reply) { Logged(monitor, request, reply); });
  }

  int Run() {
    pty_.Open();
    std::cout << pty_.SlavePath() << std::endl;
    signals_.async_wait([this](const boost::system::error_code&, int) { io_.stop(); });
    io_.run();
    pty_.Close();
    return 0;
  }

 private:
  // Once per kind of value: a drifting value would say it at every measurement.
  void Warn(const monitor_sim::Unencodable& value) {
    if (!warned_.insert(value.kind).second) return;
    const char* unit = monitor_sim::ValueKindUnit(value.kind);
    std::cerr << "battery-monitor-sim: warning: the " << monitor_sim::ValueKindName(value.kind)
              << " " << value.value << " " << unit << " cannot be encoded (" << value.lowest
              << " to " << value.highest << " " << unit << "): sent " << value.sent << " " << unit
              << " instead" << std::endl;
  }

  void Logged(const monitor_sim::MonitorModel& monitor, const monitor_sim::Request& request,
              const monitor_sim::Reply& reply) {
    if (log_.is_open()) {
      writer_->write(monitor_sim::DescribeAnswer(monitor, request, reply), &log_);
      log_ << std::endl;
    }
    if (++answers_ == options_.unplug_after) Unplug();
  }

  void Unplug() {
    // The answer being written goes out first, then the pty disappears.
    boost::asio::post(io_, [this] {
      line_.Cancel();
      pty_.Close();
      std::cerr << "battery-monitor-sim: unplugged" << std::endl;
      replug_.expires_after(std::chrono::milliseconds(options_.unplug_for_ms));
      replug_.async_wait([this](const boost::system::error_code& error) {
        if (error) return;
        pty_.Open();
        std::cerr << "battery-monitor-sim: plugged in again" << std::endl;
        std::cout << pty_.SlavePath() << std::endl;
      });
    });
  }

  Options options_;
  boost::asio::io_context io_;
  PtyLine pty_;
  monitor_sim::SimulatedLine line_;
  boost::asio::steady_timer replug_;
  boost::asio::signal_set signals_;
  std::ofstream log_;
  std::unique_ptr<Json::StreamWriter> writer_;
  unsigned answers_ = 0;
  std::set<monitor_sim::ValueKind> warned_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto status = Parse(argc, argv, options)) return *status;
  try {
    Simulator simulator(options);
    return simulator.Run();
  } catch (const std::exception& error) {
    std::cerr << "battery-monitor-sim: " << error.what() << '\n';
    return 1;
  }
}
