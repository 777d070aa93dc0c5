// battery-host run under the faults of the field, end to end: a monitor on a
// pty that freezes until the host's writes fail, a reader of standard output
// that stops, a peer whose group voltage a device adds but that has none.
// The host runs with its HTTP server and, where mosquitto is on the machine,
// its MQTT upstream against a real broker.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/value.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/mosquitto.h"
#include "tests/e2e/process.h"
#include "tests/support/run_values.h"

namespace e2e {

namespace {

namespace fs = std::filesystem;
using namespace run_values;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kPrefix = "battery/ff";
// The longest back-off of a port is 8 s: records come back within it and a cycle.
constexpr seconds kResumeLimit{10};
// Under an emulator or valgrind everything is slower, the back-off is not.
constexpr seconds kResumeLimitEmulated{60};
// A request blocked behind a stopped reader would wait for the whole stop.
constexpr seconds kReplyLimit{5};
constexpr seconds kReaderStopped{20};

std::string Series(const std::string& name, const std::string& label, const std::string& value) {
  return name + "{" + label + "=\"" + value + "\"}";
}

class FieldFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    http_port_ = FreePort();
  }
  void TearDown() override {
    host_.reset();
    sims_.clear();
    mqtt_.reset();
  }

  std::string Path(const std::string& name) const { return dir_.Path(name); }

  // A simulator on a pty linked at Path(name); false (a failure, or a skip
  // where no pty can be made) when it did not come up.
  bool StartSim(const std::string& name, const std::vector<std::string>& more) {
    std::vector<std::string> args = {"--link", Path(name), "--seed", "5"};
    args.insert(args.end(), more.begin(), more.end());
    sims_.push_back(
        std::make_unique<Process>(programs().sim, args, Path(name + ".out"), Path(name + ".err")));
    if (WaitFor([&] { return fs::exists(Path(name)) || !sims_.back()->Running(); }, seconds(20)) &&
        fs::exists(Path(name))) {
      return true;
    }
    const std::string errors = ReadFile(Path(name + ".err"));
    if (errors.find("posix_openpt") == std::string::npos) ADD_FAILURE() << errors;
    return false;
  }

  // A broker and a subscriber to the host's `topics` (under its prefix);
  // false where this machine has no mosquitto.
  bool StartBroker(const std::vector<std::string>& topics = {"#"}) {
    mqtt_ = std::make_unique<Mosquitto>(dir_.Folder(), FreePort());
    if (!mqtt_->Found()) return false;
    std::string log;
    EXPECT_TRUE(mqtt_->Start("", log)) << log;
    std::vector<std::string> under_prefix;
    for (const std::string& topic : topics)
      under_prefix.push_back(std::string(kPrefix) + "/" + topic);
    EXPECT_TRUE(mqtt_->Subscribe(under_prefix, {}, "field-faults", log)) << log;
    return true;
  }
  std::string MqttSection() const {
    if (!mqtt_) return "";
    return R"("mqtt": {"host": "127.0.0.1", "port": )" + std::to_string(mqtt_->Port()) +
           R"(, "topic_prefix": ")" + kPrefix + "\"},\n";
  }
  std::vector<Message> Published(unsigned data_id, const std::string& kind) const {
    if (!mqtt_) return {};
    return OnTopic(mqtt_->Received(),
                   std::string(kPrefix) + "/" + std::to_string(data_id) + "/" + kind);
  }

  std::string WriteConfig(int poll_interval_ms, const std::vector<std::string>& devices,
                          const std::string& more = "") {
    std::string list;
    for (const std::string& device : devices) list += (list.empty() ? "" : ",\n    ") + device;
    const std::string path = Path("host.json");
    std::ofstream(path) << "{\n  \"poll_interval_ms\": " << poll_interval_ms
                        << ",\n  \"history\": {\"interval_s\": 0},\n  \"http\": {\"listen\": "
                           "\"127.0.0.1:"
                        << http_port_ << "\"},\n  " << more << MqttSection()
                        << "  \"devices\": [\n    " << list << "\n  ]\n}\n";
    return path;
  }

  // The host, its standard output to host.out (or to `out_fd`).
  void StartHost(const std::string& config, int out_fd = -1) {
    const std::vector<std::string> args = {"run", "--config", config, "--state-dir", Path("state")};
    host_ = out_fd < 0 ? std::make_unique<Process>(programs().host, args, Path("host.out"),
                                                   Path("host.err"))
                       : std::make_unique<Process>(programs().host, args, out_fd, Path("host.err"));
    ASSERT_TRUE(host_->Started());
    ASSERT_TRUE(WaitFor([this] { return Accepts(http_port_); })) << Errors();
  }
  std::vector<Json::Value> Output() const { return JsonLines(ReadFile(Path("host.out"))); }
  std::string Errors() const { return ReadFile(Path("host.err")); }
  std::string Metrics() const { return Get(http_port_, "/metrics", kReplyLimit).body; }

  TempFolder dir_{"field-faults"};
  int http_port_ = 0;
  std::vector<std::unique_ptr<Process>> sims_;
  std::unique_ptr<Mosquitto> mqtt_;
  std::unique_ptr<Process> host_;
};

// Writes into the pty until it takes nothing more, as the host's requests
// would fill it while the monitor is stopped (only sooner).
void FillPty(int fd) {
  const std::string zeros(4096, '\0');
  while (::write(fd, zeros.data(), zeros.size()) > 0) {
  }
}

TEST_F(FieldFaultsTest, FrozenMonitorBreaksThePortAndRecordsResumeAfterIt) {
  // A fast line: the bytes that fill the pty would take seconds to cross 19200 baud.
  if (!StartSim("ttyFRZ0", {"--address", "1", "--baud", "4000000"})) {
    GTEST_SKIP() << "no simulator on a pty here";
  }
  // Opened before the host takes the port for itself.
  const int filler = ::open(Path("ttyFRZ0").c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(filler, 0) << std::strerror(errno);
  const std::string port = fs::read_symlink(Path("ttyFRZ0")).string();
  StartHost(WriteConfig(100, {Device(1001, "129", Path("ttyFRZ0"))}));
  const auto records = [this] { return OfType(Output(), "record", 1001).size(); };
  ASSERT_TRUE(WaitFor([&] { return records() >= 3; })) << Errors();

  sims_.front()->Signal(SIGSTOP);
  const auto down = [this] {
    for (const Json::Value& line : Output()) {
      if (line["event"] == "port_down") return true;
    }
    return false;
  };
  bool said_down = false;
  ASSERT_TRUE(WaitFor([&] {
    FillPty(filler);
    const std::string metrics = Metrics();
    said_down = said_down || metrics.find(Series("battery_port_up", "port", Path("ttyFRZ0")) +
                                          " 0") != std::string::npos;
    return down() && said_down;
  })) << Errors();
  EXPECT_NE(Errors().find("bytes went out within"), std::string::npos) << Errors();

  const std::size_t before = records();
  const auto resumed = Clock::now();
  sims_.front()->Signal(SIGCONT);
  const seconds limit = programs().emulator.empty() ? kResumeLimit : kResumeLimitEmulated;
  EXPECT_TRUE(WaitFor([&] { return records() > before; }, limit)) << Errors();
  std::cout << "[ resumed  ] " << std::chrono::duration<double>(Clock::now() - resumed).count()
            << " s after SIGCONT; the port was " << port << std::endl;
  EXPECT_NE(Metrics().find(Series("battery_port_up", "port", Path("ttyFRZ0")) + " 1"),
            std::string::npos);
  ::close(filler);
  EXPECT_EQ(host_->Stop(), std::optional<int>(0));
  const auto summary = OfType(Output(), "summary", 1001);
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_GE(summary.front()["port_down_events"].asInt(), 1);
}

// Reads a pipe while told to, and stops reading (without closing it) when
// told to pause. Of the lines it reads it keeps the status and summary lines.
class PipeReader {
 public:
  explicit PipeReader(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~PipeReader() {
    done_ = true;
    thread_.join();
    ::close(fd_);
  }
  void Read(bool reading) { reading_ = reading; }
  std::vector<Json::Value> Kept() {
    std::lock_guard<std::mutex> lock(mutex_);
    return JsonLines(kept_);
  }

 private:
  void Run() {
    char chunk[65536];
    while (!done_) {
      const ssize_t got = reading_ ? ::read(fd_, chunk, sizeof chunk) : 0;
      if (got <= 0) {
        std::this_thread::sleep_for(milliseconds(20));
        continue;
      }
      partial_.append(chunk, static_cast<std::size_t>(got));
      for (auto end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n')) {
        const std::string line = partial_.substr(0, end + 1);
        partial_.erase(0, end + 1);
        if (line.find("\"type\":\"record\"") != std::string::npos) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        kept_ += line;
      }
    }
  }

  int fd_;
  std::atomic<bool> done_{false};
  std::atomic<bool> reading_{false};
  std::string partial_;
  std::mutex mutex_;
  std::string kept_;
  std::thread thread_;
};

TEST_F(FieldFaultsTest, StoppedReaderOfStandardOutputHoldsNothingUp) {
  if (!StartSim("ttyRDR0", {"--address", "1"})) GTEST_SKIP() << "no simulator on a pty here";
  // The fast monitors' records are many: only the pty monitor's and every status.
  const bool broker = StartBroker({"2001/#", "+/status"});
  if (!broker) std::cout << "[ skipped  ] no mosquitto here: MQTT is not checked" << std::endl;
  // Simulated monitors inside the host that answer at once: lines enough to
  // fill the pipe and the host's queue within seconds.
  const std::string fast = R"(, "poll_interval_ms": 0, "sim": {"latency_ms": 0})";
  const std::string config = WriteConfig(
      100,
      {Device(2001, "129", Path("ttyRDR0")), Device(2002, "129", "sim:a", fast),
       Device(2003, "129", "sim:b", fast), Device(2004, "129", "sim:c", fast)},
      R"("ports": {"sim:a": {"paced": false}, "sim:b": {"paced": false}, "sim:c": {"paced": false}},
  )");
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  StartHost(config, pipe_fds[1]);
  ::close(pipe_fds[1]);
  PipeReader reader(pipe_fds[0]);

  // Nobody reads: the host goes on polling, answering and publishing.
  const auto ring = [this] {
    const auto entries = ParseHistoryEntries(ReadFile(Path("state/device-2001.ring")));
    return entries.empty() ? 0 : entries.back().sequence;
  };
  const std::size_t published_before = Published(2001, "record").size();
  const std::uint64_t ring_before = ring();
  const auto stop_reading_until = Clock::now() + kReaderStopped;
  int answers = 0;
  double slowest = 0.0;
  while (Clock::now() < stop_reading_until) {
    const auto asked = Clock::now();
    const Reply api = Get(http_port_, "/api/v1/devices", kReplyLimit);
    ASSERT_EQ(api.status, 200) << "the API did not answer while standard output was not read\n"
                               << Errors();
    slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - asked).count());
    ++answers;
    std::this_thread::sleep_for(milliseconds(250));
  }
  std::cout << "[ api      ] " << answers << " answers, the slowest in " << slowest << " s"
            << std::endl;
  EXPECT_GT(ring(), ring_before + 20) << "the pty monitor's records stopped reaching the ring";
  if (broker) {
    EXPECT_GT(Published(2001, "record").size(), published_before + 20);
  }
  const std::string metrics = Metrics();
  const std::size_t at = metrics.find("\nbattery_output_dropped_lines_total ");
  ASSERT_NE(at, std::string::npos) << metrics;
  EXPECT_GT(std::atof(metrics.c_str() + at + 36), 0.0) << metrics.substr(at, 60);

  // Read again: the lines that were dropped are counted in a status line.
  reader.Read(true);
  Json::Value dropped;
  ASSERT_TRUE(WaitFor([&] {
    for (const Json::Value& line : reader.Kept()) {
      if (line["event"] == "output_dropped") dropped = line;
    }
    return !dropped.isNull();
  })) << Errors();
  EXPECT_GT(dropped["count"].asUInt64(), 0u);
  EXPECT_EQ(dropped["dropped_in_run"].asUInt64(), dropped["count"].asUInt64());
  const std::string errors = Errors();
  EXPECT_NE(errors.find("standard output: the reader is not keeping up"), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("standard output: the reader keeps up again; " +
                        dropped["count"].asString() + " lines were dropped"),
            std::string::npos)
      << errors;

  // Stopped again: SIGTERM still ends the host at once, cleanly.
  reader.Read(false);
  std::this_thread::sleep_for(seconds(3));
  const auto stopping = Clock::now();
  EXPECT_EQ(host_->Stop(), std::optional<int>(0)) << Errors();
  std::cout << "[ sigterm  ] the host ended "
            << std::chrono::duration<double>(Clock::now() - stopping).count()
            << " s after SIGTERM, its reader stopped" << std::endl;
  // No monitor that answered was said to be silent.
  reader.Read(true);
  std::this_thread::sleep_for(milliseconds(500));
  for (const Json::Value& line : reader.Kept()) {
    EXPECT_NE(line["event"].asString(), "silent") << line.toStyledString();
  }
  for (const unsigned data_id : {2001u, 2002u, 2003u, 2004u}) {
    for (const Message& message : Published(data_id, "status")) {
      EXPECT_NE(message.json["event"].asString(), "silent") << message.payload;
    }
  }
}

TEST_F(FieldFaultsTest, PeerWithoutAValueGivesNullNotZero) {
  if (!StartSim("ttyPER0", {"--address", "1", "--address", "2"}))
    GTEST_SKIP() << "no simulator on a pty here";
  StartBroker();
  // 3001 adds the group voltage of 3002, whose adapter is not plugged in.
  const std::string adds_peer = R"(, "config": {"appSetting": {"group_voltage": [3002]}})";
  StartHost(WriteConfig(
      100, {Device(3001, "129", Path("ttyPER0"), adds_peer),
            Device(3002, "129", Path("absent/ttyUSB7")), Device(3003, "130", Path("ttyPER0"))}));
  ASSERT_TRUE(WaitFor([this] { return OfType(Output(), "record", 3001).size() >= 5; })) << Errors();
  if (mqtt_) {
    ASSERT_TRUE(WaitFor([this] { return Published(3001, "record").size() >= 3; }));
  }
  const Reply api = Get(http_port_, "/api/v1/devices", kReplyLimit);
  const std::string metrics = Metrics();
  ASSERT_EQ(host_->Stop(), std::optional<int>(0));

  for (const Json::Value& record : OfType(Output(), "record", 3001)) {
    EXPECT_TRUE(record["group_voltage"].isNull()) << record.toStyledString();
  }
  const auto control = OfType(Output(), "record", 3003);
  ASSERT_FALSE(control.empty());
  EXPECT_GT(control.back()["group_voltage"].asFloat(), 0.0f);
  for (const std::string kind : {"record", "state"}) {
    for (const Message& message : Published(3001, kind)) {
      EXPECT_TRUE(message.json.isMember("group_voltage")) << message.payload;
      EXPECT_TRUE(message.json["group_voltage"].isNull()) << message.payload;
    }
  }
  const auto devices = JsonLines(api.body);
  ASSERT_EQ(devices.size(), 1u) << api.body;
  for (const Json::Value& device : devices.front()["devices"]) {
    if (device["data_id"] == 3001) {
      EXPECT_TRUE(device["record"]["group_voltage"].isNull());
    }
  }
  EXPECT_EQ(metrics.find(Series("battery_group_voltage_volts", "data_id", "3001")),
            std::string::npos);
  EXPECT_NE(metrics.find(Series("battery_group_voltage_volts", "data_id", "3003")),
            std::string::npos);

  // The ring holds the plug-in's bytes (0 where the sum failed) and says they are no measurement.
  const auto entries = ParseHistoryEntries(ReadFile(Path("state/device-3001.ring")));
  const auto records = OfType(Output(), "record", 3001);
  ASSERT_EQ(entries.size(), records.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_FALSE(entries[i].group_voltage_valid) << "entry " << entries[i].sequence;
    EXPECT_EQ(entries[i].measurement.group_voltage, 0.0f);
    EXPECT_EQ(entries[i].measurement.cells, FromRecordJson(records[i]).cells);
  }
  for (const auto& entry : ParseHistoryEntries(ReadFile(Path("state/device-3003.ring")))) {
    EXPECT_TRUE(entry.group_voltage_valid);
  }
}

}  // namespace

}  // namespace e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return e2e::ReadProgramArguments(argc, argv, true) ? RUN_ALL_TESTS() : 2;
}
