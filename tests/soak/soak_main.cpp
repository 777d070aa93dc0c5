// battery-soak: `battery-host run` against battery-monitor-sim with every
// fault kind on, for a bounded number of polling cycles, on several ptys at
// once (one simulated monitor each). While the host runs, its resident memory
// is sampled from /proc; afterwards its trace and records, the simulators'
// logs and the histories are checked (tests/soak/soak_check.h). Exit status
// 0 when every check passed, 1 otherwise, 2 for a bad command line.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/process.h"
#include "tests/soak/soak_check.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: battery-soak [--cycles N] [--lines P] [--answer-timeout-ms MS] [--rate R]\n"
    "                    [--keep DIR] [--rss-tolerance-kib K] [--host PATH] [--sim PATH]\n"
    "  --cycles N     polling cycles to complete in all (default 20000), N/P per line\n"
    "  --lines P      ptys, one simulated monitor and one device each (default 10)\n"
    "  --answer-timeout-ms MS   the host's answer timeout (default 60); late answers\n"
    "                 come after 50% to 95% of it, the later the higher the line's number\n"
    "  --rate R       rate of each of the six fault kinds per answer (default 0.02)\n"
    "  --keep DIR     leave the configuration, logs and histories in DIR\n";

constexpr const char* kFaultOptions[] = {"--no-answer", "--bad-checksum", "--wrong-address",
                                         "--garbage",   "--split",        "--late"};
constexpr unsigned kFirstDataId = 9001;
constexpr unsigned kMonitorAddress = 1;
// Answers come after 1 ms; the parts of a split one 3 ms apart. Late ones
// come after a share of the answer timeout that grows from line to line, up
// to just under it: short answers then arrive just before or just after their
// request is re-sent, and the re-send draws a second answer.
constexpr const char* kLatencyMs = "1";
constexpr double kEarliestLateShare = 0.50;
constexpr double kLatestLateShare = 0.95;
constexpr const char* kSplitGapMs = "3";
constexpr std::chrono::milliseconds kSampleEvery{200};
// Against a hang only: the run is expected to take well under two minutes.
constexpr std::chrono::minutes kRunLimit{15};
constexpr double kWarmUpShare = 0.1;
constexpr std::size_t kProblemsShown = 20;

struct Options {
  long cycles = 20000;
  long lines = 10;
  long answer_timeout_ms = 60;
  std::string rate = "0.02";
  std::string keep;
  long rss_tolerance_kib = 256;
  std::string host;
  std::string sim;
};

long Count(const std::string& text) {
  std::size_t used = 0;
  const long value = std::stol(text, &used);
  if (used != text.size() || value <= 0) throw std::invalid_argument(text);
  return value;
}

std::optional<Options> Parse(int argc, char** argv) {
  Options options;
  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  options.host = (bin / "battery-host").string();
  options.sim = (bin / "battery-monitor-sim").string();
  const std::map<std::string, std::function<void(const std::string&)>> setters = {
      {"--cycles", [&](const std::string& v) { options.cycles = Count(v); }},
      {"--lines", [&](const std::string& v) { options.lines = Count(v); }},
      {"--answer-timeout-ms", [&](const std::string& v) { options.answer_timeout_ms = Count(v); }},
      {"--rate", [&](const std::string& v) { options.rate = v; }},
      {"--keep", [&](const std::string& v) { options.keep = v; }},
      {"--rss-tolerance-kib", [&](const std::string& v) { options.rss_tolerance_kib = Count(v); }},
      {"--host", [&](const std::string& v) { options.host = v; }},
      {"--sim", [&](const std::string& v) { options.sim = v; }},
  };
  try {
    for (int i = 1; i < argc; i += 2) {
      const auto setter = setters.find(argv[i]);
      if (setter == setters.end() || i + 1 == argc) return std::nullopt;
      setter->second(argv[i + 1]);
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return options;
}

struct Sample {
  double seconds = 0.0;
  long long completed = 0;
  long rss_kib = 0;
};

long ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

class Soak {
 public:
  Soak(const Options& options, fs::path dir)
      : options_(options),
        dir_(std::move(dir)),
        per_line_((options.cycles + options.lines - 1) / options.lines) {}

  int Run() {
    if (!StartSimulators()) return 1;
    WriteConfig();
    const auto started = Clock::now();
    const int status = RunHost(started);
    seconds_ = std::chrono::duration<double>(Clock::now() - started).count();
    sims_.clear();
    if (status != 0) {
      std::cout << "soak: the host ended with status " << status << "; see " << Path("host.log")
                << std::endl;
      return 1;
    }
    return Report();
  }

 private:
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Link(long line) const { return Path("ttySOAK" + std::to_string(line)); }
  std::string Log(long line) const { return Path("sim" + std::to_string(line) + ".log"); }
  unsigned DataId(long line) const { return kFirstDataId + static_cast<unsigned>(line); }
  long LateMs(long line) const {
    const double step = options_.lines > 1
                            ? static_cast<double>(line) / static_cast<double>(options_.lines - 1)
                            : 1.0;
    const double share = kEarliestLateShare + (kLatestLateShare - kEarliestLateShare) * step;
    return static_cast<long>(share * static_cast<double>(options_.answer_timeout_ms));
  }
  std::string History(long line) const {
    return Path("state/device-" + std::to_string(DataId(line)) + ".ring");
  }

  bool StartSimulators() {
    // A kept folder may hold an earlier run: the simulators append to their logs.
    fs::remove_all(Path("state"));
    for (long line = 0; line < options_.lines; ++line) {
      fs::remove(Log(line));
      std::vector<std::string> args = {
          "--link",         Link(line), "--log",     Log(line),
          "--address",      "1",        "--seed",    std::to_string(100 + line),
          "--latency-ms",   kLatencyMs, "--late-ms", std::to_string(LateMs(line)),
          "--split-gap-ms", kSplitGapMs};
      for (const char* fault : kFaultOptions) args.insert(args.end(), {fault, options_.rate});
      const std::string name = "sim" + std::to_string(line);
      sims_.push_back(std::make_unique<e2e::Process>(options_.sim, args, Path(name + ".out"),
                                                     Path(name + ".err")));
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (long line = 0; line < options_.lines; ++line) {
      while (!fs::exists(Link(line)) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (!fs::exists(Link(line))) {
        std::cout << "soak: simulator " << line
                  << " made no pty: " << e2e::ReadFile(Path("sim" + std::to_string(line) + ".err"))
                  << std::endl;
        return false;
      }
    }
    return true;
  }

  // Limits near the simulated bases, so that crossings and returns are reported all along.
  void WriteConfig() const {
    std::ofstream config(Path("host.json"));
    // Every record goes to the history, and the ring holds a whole run.
    config << "{\n  \"poll_interval_ms\": 0,\n  \"history\": {\"entries\": " << per_line_ + 1
           << ", \"interval_s\": 0},\n  \"ports\": {";
    for (long line = 0; line < options_.lines; ++line) {
      config << (line == 0 ? "\n" : ",\n") << "    \"" << Link(line)
             << "\": {\"answer_timeout_ms\": " << options_.answer_timeout_ms << "}";
    }
    config << "\n  },\n  \"devices\": [\n";
    for (long line = 0; line < options_.lines; ++line) {
      config << "    {\"data_id\": " << DataId(line)
             << ", \"address\": " << (kMonitorAddress | 0x80u) << ", \"port\": \"" << Link(line)
             << "\",\n"
             << "     \"thresholds\": {\n"
             << "       \"group_voltage\": {\"high\": 71.0, \"low\": 69.8, \"hysteresis\": 0.2},\n"
             << "       \"temperature\": {\"high\": 25.5, \"level\": 2},\n"
             << "       \"battery_*_value\": {\"high\": 2.23, \"low\": 2.17, \"hysteresis\": "
                "0.005}}}"
             << (line + 1 < options_.lines ? "," : "") << "\n";
    }
    config << "  ]\n}\n";
  }

  int RunHost(Clock::time_point started) {
    e2e::Process host(options_.host,
                      {"run", "--config", Path("host.json"), "--cycles", std::to_string(per_line_),
                       "--trace", "--state-dir", Path("state")},
                      Path("host.log"), Path("host.log"));
    if (!host.Started()) return -1;
    const pid_t pid = host.Pid();
    while (host.Running()) {
      if (Clock::now() - started > kRunLimit) {
        std::cout << "soak: the host did not finish within " << kRunLimit.count() << " minutes"
                  << std::endl;
        return host.Stop().value_or(-1);
      }
      TakeSample(pid, started);
      std::this_thread::sleep_for(kSampleEvery);
    }
    return host.Wait(std::chrono::seconds(1)).value_or(-1);
  }

  void TakeSample(pid_t pid, Clock::time_point started) {
    Sample sample;
    sample.rss_kib = ResidentKib(pid);
    if (sample.rss_kib == 0) return;  // gone meanwhile
    sample.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    // Each completed cycle writes one history entry: the newest sequence number counts them.
    for (long line = 0; line < options_.lines; ++line) {
      const auto entries = run_values::ParseHistoryEntries(e2e::ReadFile(History(line)));
      if (!entries.empty()) sample.completed += static_cast<long long>(entries.back().sequence);
    }
    samples_.push_back(sample);
  }

  soak::Report Check() const {
    std::vector<soak::LineInput> lines;
    std::vector<soak::DeviceInput> devices;
    for (long line = 0; line < options_.lines; ++line) {
      lines.push_back({Link(line), soak::ParseSimLog(e2e::ReadFile(Log(line)))});
      devices.push_back({DataId(line), kMonitorAddress, Link(line),
                         soak::ParseHistory(e2e::ReadFile(History(line)))});
    }
    return soak::Check(e2e::ReadFile(Path("host.log")), lines, devices);
  }

  int Report() const {
    soak::Report report = Check();
    CheckMemory(report);
    PrintSetting();
    PrintCycles(report);
    PrintMemory();
    if (report.Passed()) {
      std::cout << "soak: passed" << std::endl;
      return 0;
    }
    std::cout << "soak: FAILED, " << report.problems.size() << " problem(s):" << std::endl;
    for (std::size_t i = 0; i < report.problems.size() && i < kProblemsShown; ++i) {
      std::cout << "  " << report.problems[i] << std::endl;
    }
    std::cout << "soak: files kept in " << dir_.string() << std::endl;
    return 1;
  }

  std::optional<Sample> WarmUpSample() const {
    const auto wanted = static_cast<long long>(kWarmUpShare * static_cast<double>(options_.cycles));
    for (const Sample& sample : samples_) {
      if (sample.completed >= wanted) return sample;
    }
    return std::nullopt;
  }

  void CheckMemory(soak::Report& report) const {
    const auto warm = WarmUpSample();
    if (!warm || samples_.empty() || samples_.back().seconds <= warm->seconds) {
      report.problems.push_back("too few memory samples after the warm-up");
      return;
    }
    const long growth = samples_.back().rss_kib - warm->rss_kib;
    if (growth > options_.rss_tolerance_kib) {
      report.problems.push_back("host memory grew by " + std::to_string(growth) +
                                " KiB after the warm-up (tolerance " +
                                std::to_string(options_.rss_tolerance_kib) + " KiB)");
    }
  }

  void PrintSetting() const {
    std::cout << "soak: " << options_.lines << " ptys x " << per_line_
              << " cycles, back to back, answer timeout " << options_.answer_timeout_ms
              << " ms, each fault kind at rate " << options_.rate << " per answer (latency "
              << kLatencyMs << " ms, late " << LateMs(0) << " to " << LateMs(options_.lines - 1)
              << " ms, split gap " << kSplitGapMs << " ms)" << std::endl;
  }

  void PrintCycles(const soak::Report& report) const {
    std::cout << "soak: " << report.cycles_completed << " cycles completed of "
              << report.cycles_started << " started, in " << seconds_ << " s; " << report.answers
              << " answers; " << report.stale_bytes << " stale bytes dropped" << std::endl;
    std::cout << "soak: " << report.values_checked << " values checked against their own "
              << "answers: " << report.values_in_other_field << " in a field other than their own, "
              << report.values_never_sent << " never sent, " << report.values_from_other_request
              << " from another request of their kind" << std::endl;
    PrintCounts("faults injected (answers)", report.faults_injected);
    PrintCounts("cycles given up, by cause", report.given_up_by_cause);
    PrintCounts("cycles completed despite", report.completed_despite);
    std::cout << "soak: " << report.cycles_fault_free << " fault-free cycles, all of which must "
              << "complete; " << report.given_up_then_fault_free
              << " given-up cycles were followed by a fault-free one; at most "
              << report.longest_recovery
              << " cycle(s) from a given-up cycle to the next completed one" << std::endl;
  }

  static void PrintCounts(const std::string& title,
                          const std::map<std::string, long long>& counts) {
    std::cout << "soak: " << title << ":";
    if (counts.empty()) std::cout << " none";
    for (const auto& [name, count] : counts) std::cout << ' ' << name << ' ' << count;
    std::cout << std::endl;
  }

  void PrintMemory() const {
    const auto warm = WarmUpSample();
    if (!warm) return;
    long most = 0;
    for (const Sample& sample : samples_) most = std::max(most, sample.rss_kib);
    std::cout << "soak: host RSS " << warm->rss_kib << " KiB after the warm-up (" << warm->completed
              << " cycles, " << warm->seconds << " s), " << samples_.back().rss_kib
              << " KiB at the end (" << samples_.back().completed << " cycles, "
              << samples_.back().seconds << " s), at most " << most << " KiB; " << samples_.size()
              << " samples" << std::endl;
  }

  Options options_;
  fs::path dir_;
  long per_line_;
  std::vector<std::unique_ptr<e2e::Process>> sims_;
  std::vector<Sample> samples_;
  double seconds_ = 0.0;
};

fs::path MakeDir(const Options& options) {
  if (!options.keep.empty()) {
    fs::create_directories(options.keep);
    return fs::absolute(options.keep);
  }
  std::string pattern = (fs::temp_directory_path() / "battery-soak-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a folder");
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = Parse(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  const fs::path dir = MakeDir(*options);
  const int status = Soak(*options, dir).Run();
  if (status == 0 && options->keep.empty()) fs::remove_all(dir);
  return status;
}
