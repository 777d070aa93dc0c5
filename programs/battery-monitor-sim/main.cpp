// battery-monitor-sim: battery monitors on a pseudo-terminal. The controller
// (battery-host run, or the real daemon) opens the printed slave path, or the
// symbolic link given with --link, as it would open a serial port.

#include <json/writer.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "programs/battery-monitor-sim/pty_line.h"
#include "programs/monitor-model/simulated_line.h"

namespace {

using monitor_sim::MonitorSettings;

constexpr const char* kUsage =
    "usage: battery-monitor-sim [OPTIONS]\n"
    "  --link PATH            make PATH a symbolic link to the pty's slave\n"
    "  --address N            bus address of a monitor (repeat for several; default 1)\n"
    "  --cell-voltage V  --group-voltage V  --current A  --temperature C   base values\n"
    "  --version N            2: group voltage in 0.01 V (default 1: 0.1 V)\n"
    "  --current-ratio        current in the offset form (the plug-in's current_ratio)\n"
    "  --seed N               seed of the drift and the faults (default 1)\n"
    "  --echo                 echo every byte written to the line, as half-duplex adapters do\n"
    "  --baud N               the line's speed: requests and answers take their line time,\n"
    "                         10 bits a byte (default 19200)\n"
    "  --no-pacing            requests and answers take no line time (fast tests)\n"
    "  --log FILE             one JSON line per answer: address, command, raw, fault, intact,\n"
    "                         request (number of the request answered, counting all heard)\n"
    "  --latency-ms MS  --late-ms MS  --split-gap-ms MS\n"
    "  --no-answer R  --bad-checksum R  --wrong-address R  --garbage R  --split R  --late R\n"
    "                         fault rates per answer, 0..1\n"
    "  --unplug-after N       close the pty after N answers ...\n"
    "  --unplug-for MS        ... and open a new one MS later (default 1000)\n";

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

double Number(const std::string& text) {
  std::size_t used = 0;
  const double value = std::stod(text, &used);
  if (used != text.size()) throw std::invalid_argument(text);
  return value;
}

unsigned Integer(const std::string& text) {
  std::size_t used = 0;
  const unsigned long value = std::stoul(text, &used, 0);
  if (used != text.size()) throw std::invalid_argument(text);
  return static_cast<unsigned>(value);
}

std::chrono::milliseconds Milliseconds(const std::string& text) {
  return std::chrono::milliseconds(Integer(text));
}

using Setter = std::function<void(Options&, const std::string&)>;

const std::map<std::string, Setter>& ValueOptions() {
  static const std::map<std::string, Setter> options = {
      {"--link", [](Options& o, const std::string& v) { o.link = v; }},
      {"--address", [](Options& o, const std::string& v) { o.addresses.push_back(Integer(v)); }},
      {"--cell-voltage",
       [](Options& o, const std::string& v) {
         o.monitor.cell_voltage = static_cast<float>(Number(v));
       }},
      {"--group-voltage",
       [](Options& o, const std::string& v) {
         o.monitor.group_voltage = static_cast<float>(Number(v));
       }},
      {"--current",
       [](Options& o, const std::string& v) { o.monitor.current = static_cast<float>(Number(v)); }},
      {"--temperature",
       [](Options& o, const std::string& v) {
         o.monitor.temperature = static_cast<float>(Number(v));
       }},
      {"--version",
       [](Options& o, const std::string& v) { o.monitor.version = static_cast<int>(Integer(v)); }},
      {"--seed", [](Options& o, const std::string& v) { o.monitor.seed = Integer(v); }},
      {"--log", [](Options& o, const std::string& v) { o.log = v; }},
      {"--baud", [](Options& o, const std::string& v) { o.baud = Integer(v); }},
      {"--latency-ms",
       [](Options& o, const std::string& v) { o.monitor.latency = Milliseconds(v); }},
      {"--late-ms", [](Options& o, const std::string& v) { o.monitor.late = Milliseconds(v); }},
      {"--split-gap-ms",
       [](Options& o, const std::string& v) { o.monitor.split_gap = Milliseconds(v); }},
      {"--no-answer",
       [](Options& o, const std::string& v) { o.monitor.faults.no_answer = Number(v); }},
      {"--bad-checksum",
       [](Options& o, const std::string& v) { o.monitor.faults.bad_checksum = Number(v); }},
      {"--wrong-address",
       [](Options& o, const std::string& v) { o.monitor.faults.wrong_address = Number(v); }},
      {"--garbage", [](Options& o, const std::string& v) { o.monitor.faults.garbage = Number(v); }},
      {"--split", [](Options& o, const std::string& v) { o.monitor.faults.split = Number(v); }},
      {"--late", [](Options& o, const std::string& v) { o.monitor.faults.late = Number(v); }},
      {"--unplug-after", [](Options& o, const std::string& v) { o.unplug_after = Integer(v); }},
      {"--unplug-for", [](Options& o, const std::string& v) { o.unplug_for_ms = Integer(v); }},
  };
  return options;
}

Options Parse(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--echo") {
      options.echo = true;
    } else if (args[i] == "--no-pacing") {
      options.baud = 0;
    } else if (args[i] == "--current-ratio") {
      options.monitor.current_encoding = monitor_sim::CurrentEncoding::kOffset;
    } else {
      const auto option = ValueOptions().find(args[i]);
      if (option == ValueOptions().end() || i + 1 == args.size()) {
        throw std::invalid_argument(args[i]);
      }
      option->second(options, args[++i]);
    }
  }
  if (options.addresses.empty()) options.addresses.push_back(1);
  const double rate = options.monitor.faults.Sum();
  if (rate < 0.0 || rate > 1.0) throw std::invalid_argument("fault rates must add up to 0..1");
  return options;
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
    for (const unsigned address : options.addresses) {
      MonitorSettings monitor = options.monitor;
      monitor.address = static_cast<std::uint8_t>(address);
      monitor.seed = options.monitor.seed + address;
      line_.AddMonitor(monitor);
    }
    if (!options.log.empty()) log_.open(options.log, std::ios::out | std::ios::app);
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
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = Parse(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << "battery-monitor-sim: bad option " << error.what() << '\n' << kUsage;
    return 2;
  }
  try {
    Simulator simulator(options);
    return simulator.Run();
  } catch (const std::exception& error) {
    std::cerr << "battery-monitor-sim: " << error.what() << '\n';
    return 1;
  }
}
