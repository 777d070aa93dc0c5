#include "programs/battery-host/live_host.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "host/controller.h"
#include "host/device_access.h"
#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/line/host_line.h"
#include "programs/battery-host/outputs/json_output.h"
#include "programs/battery-host/plugin_library.h"
#include "programs/battery-host/state/history_file.h"
#include "programs/battery-host/state/threshold_monitor.h"

namespace {

constexpr const char* kDefaultStateDir = "battery-state";

struct DeviceSlot {
  DeviceSlot(DeviceConfig device_config, const std::string& history_path)
      : config(std::move(device_config)), thresholds(config.thresholds), history(history_path) {}

  DeviceConfig config;
  std::unique_ptr<PXHSPDevice> device;
  HostLine* line = nullptr;
  ThresholdMonitor thresholds;
  HistoryFile history;
  long started = 0;
  long completed = 0;
  bool history_failed = false;
};

// Every call a device makes on the host.
class LiveController : public PXHController {
 public:
  LiveController(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  void Add(DeviceSlot& slot) {
    by_device_[slot.device.get()] = &slot;
    by_data_id_[slot.config.data_id] = &slot;
  }
  void Clear() {
    by_device_.clear();
    by_data_id_.clear();
  }
  void OnCycleCompleted(std::function<void()> callback) { on_completed_ = std::move(callback); }

  int SendData(PXHSPDevice& device, const unsigned char* data, unsigned int length) override {
    DeviceSlot& slot = Slot(device);
    slot.line->Send(device, data, length);
    return static_cast<int>(length);
  }

  // The plug-in calls the base RefreshStatus once at the start of each cycle.
  void RefreshStatus(PXHSPDevice& device) override {
    DeviceSlot& slot = Slot(device);
    ++slot.started;
    slot.line->TraceCycle(device, slot.started);
  }

  int SendSP(PXHVDevice& device, int, const unsigned char* data, unsigned int length,
             bool) override {
    DeviceSlot& slot = Slot(device);
    if (length == battery_record::kSize) {
      Battery32_Data_t record;
      std::memcpy(&record, data, sizeof record);
      RecordLine(record, line_);
      out_.Write(line_);
    }
    ++slot.completed;
    if (on_completed_) on_completed_();
    return 0;
  }

  int SaveDeviceHistory(PXHVDevice& device, const unsigned char* data,
                        unsigned int length) override {
    DeviceSlot& slot = Slot(device);
    if (slot.history.Append(data, length)) return 0;
    if (!slot.history_failed) {
      err_ << "battery-host: " << slot.history.Path() << ": " << std::strerror(errno) << std::endl;
    }
    slot.history_failed = true;
    return -1;
  }

  bool CheckThreshold(PXHVDevice& device, const std::string& name, const std::string& display_name,
                      const float& value, int) override {
    DeviceSlot& slot = Slot(device);
    const auto crossing = slot.thresholds.Check(name, value);
    if (!crossing) return false;
    line_.String("type", "threshold")
        .Integer("data_id", slot.config.data_id)
        .String("name", name)
        .String("display_name", display_name)
        .Number("value", value)
        .Number("limit", crossing->limit)
        .String("state", crossing->state)
        .Integer("level", crossing->level);
    out_.Write(line_);
    return true;
  }

  float Get_SP_Value(PXHVDevice&, unsigned int data_id, const std::string& name) override {
    const auto found = by_data_id_.find(data_id);
    if (found == by_data_id_.end()) throw std::out_of_range("no device with that data id");
    return found->second->device->Get_Value(data_id, name);
  }

 private:
  DeviceSlot& Slot(PXHVDevice& device) { return *by_device_.at(&device); }

  JsonLineWriter out_;
  JsonLine line_;  // kept: its buffers are reused from line to line
  std::ostream& err_;
  std::unordered_map<const PXHVDevice*, DeviceSlot*> by_device_;
  std::unordered_map<unsigned int, DeviceSlot*> by_data_id_;
  std::function<void()> on_completed_;
};

class LiveHost {
 public:
  LiveHost(const RunOptions& options, HostConfig config, std::ostream& out, std::ostream& err)
      : options_(options),
        config_(std::move(config)),
        out_(out),
        err_(err),
        controller_(std::make_shared<LiveController>(out, err)),
        tick_timer_(io_),
        signals_(io_, SIGINT, SIGTERM) {}

  ~LiveHost() {
    // Lines and devices run the plug-in's code: gone before it is unloaded.
    controller_->Clear();
    lines_.clear();
    slots_.clear();
  }

  void SetUp() {
    plugin_ = std::make_unique<PluginLibrary>(PluginPath());
    const std::filesystem::path state_dir = StateDir();
    std::filesystem::create_directories(state_dir);
    for (const DeviceConfig& device : config_.devices) {
      const std::string history =
          (state_dir / ("device-" + std::to_string(device.data_id) + ".history")).string();
      slots_.push_back(std::make_unique<DeviceSlot>(device, history));
      CreateDevice(*slots_.back());
    }
    for (auto& slot : slots_) RestoreFromHistory(*slot);
    BuildLines();
  }

  int Run() {
    controller_->OnCycleCompleted([this] {
      if (AllDone()) io_.stop();
    });
    for (auto& line : lines_) line->Start();
    signals_.async_wait([this](const boost::system::error_code& error, int) {
      if (!error) io_.stop();
    });
    tick_timer_.expires_after(config_.tick);
    WaitForTick();
    io_.run();
    WriteSummary();
    return 0;
  }

 private:
  std::string PluginPath() const {
    if (!options_.plugin_path.empty()) return options_.plugin_path;
    if (config_.plugin.empty()) return PluginLibrary::DefaultPath();
    return RelativeToConfig(config_.plugin);
  }

  std::filesystem::path StateDir() const {
    if (!options_.state_dir.empty()) return options_.state_dir;
    if (!config_.state_dir.empty()) return RelativeToConfig(config_.state_dir);
    return kDefaultStateDir;
  }

  // Paths inside the configuration are taken from the file's own folder.
  std::string RelativeToConfig(const std::string& path) const {
    const std::filesystem::path given(path);
    if (given.is_absolute()) return path;
    return (std::filesystem::path(options_.config_path).parent_path() / given).string();
  }

  void CreateDevice(DeviceSlot& slot) {
    slot.device = plugin_->CreateDevice();
    controller_->Add(slot);
    Json::Value host_device(Json::objectValue);
    host_device["address"] = slot.config.address;
    slot.device->Init(controller_, slot.config.data_id, host_device);
    // The framework's threshold maps, which the plug-in's configuration trace shows.
    for (const auto& [name, limit] : slot.config.thresholds) {
      DeviceAccess::ValueMap(*slot.device)[name] = limit.high ? *limit.high : *limit.low;
      DeviceAccess::LevelMap(*slot.device)[name] = limit.level;
    }
    try {
      slot.device->InitSetting(slot.config.plugin_config);
    } catch (const std::exception& error) {
      throw std::runtime_error("device " + std::to_string(slot.config.data_id) +
                               ": InitSetting failed: " + error.what());
    }
  }

  void RestoreFromHistory(DeviceSlot& slot) {
    std::string notes;
    const auto record = slot.history.Recover(notes);
    if (!notes.empty()) err_ << "battery-host: " << notes << std::flush;
    if (!record) return;
    Battery32_Data_t image;
    std::memcpy(&image, record->data(), sizeof image);
    if (image.data_id != slot.config.data_id) {
      err_ << "battery-host: " << slot.history.Path() << ": newest record is of data id "
           << image.data_id << ", not loaded" << std::endl;
      return;
    }
    if (slot.device->LoadFromCache(record->data(), static_cast<int>(record->size())) == 1) {
      err_ << "battery-host: " << slot.config.data_id << ": restored the record of "
           << SampleTimeText(image) << std::endl;
    }
  }

  std::string LineName(const DeviceConfig& device) const {
    if (device.port == kSimPort)
      return std::string(kSimPort) + "#" + std::to_string(device.data_id);
    return device.port;
  }

  void BuildLines() {
    std::map<std::string, HostLine*> by_name;
    std::map<HostLine*, std::vector<DeviceSlot*>> members;
    for (auto& slot : slots_) {
      const std::string name = LineName(slot->config);
      HostLine*& line = by_name[name];
      if (line == nullptr) line = AddLine(name, slot->config.port);
      slot->line = line;
      members[line].push_back(slot.get());
    }
    for (auto& [line, devices] : members) Connect(*line, devices);
  }

  HostLine* AddLine(const std::string& name, const std::string& port) {
    std::ostream* trace = options_.trace ? &err_ : nullptr;
    lines_.push_back(
        std::make_unique<HostLine>(io_, name, config_.Port(port), trace, err_,
                                   [](const PXHSPDevice& device) { return device.DataId(); }));
    return lines_.back().get();
  }

  void Connect(HostLine& line, const std::vector<DeviceSlot*>& devices) {
    std::vector<monitor_sim::MonitorSettings> monitors;
    for (DeviceSlot* slot : devices) {
      line.Arbiter().Add(slot->device.get());
      monitors.push_back(slot->config.sim);
    }
    line.Arbiter().SetActive([this, devices](std::size_t index) {
      return options_.cycles <= 0 || devices[index]->completed < options_.cycles;
    });
    const DeviceConfig& first = devices.front()->config;
    const bool echo = config_.Port(first.port).echo;
    if (IsSimPort(first.port)) {
      line.SetTransport(MakeSimTransport(io_, monitors, echo, line));
    } else {
      const unsigned baud = DeviceAccess::BaudRate(*devices.front()->device);
      line.SetTransport(MakeSerialTransport(io_, first.port, baud, line));
    }
  }

  void WaitForTick() {
    tick_timer_.async_wait([this](const boost::system::error_code& error) {
      if (error) return;
      for (auto& line : lines_) line->Tick();
      // Fixed rate; ticks missed while the loop was busy are skipped, not made up.
      const auto now = std::chrono::steady_clock::now();
      auto next = tick_timer_.expiry() + config_.tick;
      while (next <= now) next += config_.tick;
      tick_timer_.expires_at(next);
      WaitForTick();
    });
  }

  bool AllDone() const {
    if (options_.cycles <= 0) return false;
    for (const auto& slot : slots_) {
      if (slot->completed < options_.cycles) return false;
    }
    return true;
  }

  void WriteSummary() {
    JsonLineWriter writer(out_);
    JsonLine line;
    for (const auto& slot : slots_) {
      const bool under_way = slot->line->Arbiter().Owner() == slot->device.get();
      line.String("type", "summary")
          .Integer("data_id", slot->config.data_id)
          .Integer("cycles_started", slot->started)
          .Integer("cycles_completed", slot->completed)
          .Integer("cycles_given_up", slot->started - slot->completed - (under_way ? 1 : 0));
      writer.Write(line);
    }
  }

  RunOptions options_;
  HostConfig config_;
  std::ostream& out_;
  std::ostream& err_;
  boost::asio::io_context io_;
  std::unique_ptr<PluginLibrary> plugin_;
  std::shared_ptr<LiveController> controller_;
  std::vector<std::unique_ptr<DeviceSlot>> slots_;
  std::vector<std::unique_ptr<HostLine>> lines_;
  boost::asio::steady_timer tick_timer_;
  boost::asio::signal_set signals_;
};

}  // namespace

int RunLiveHost(const RunOptions& options, std::ostream& out, std::ostream& err) {
  LoadedConfig loaded = LoadHostConfig(options.config_path);
  for (const ConfigProblem& problem : loaded.problems) err << FormatProblem(problem) << '\n';
  if (!loaded.Valid()) {
    err << "battery-host run: " << options.config_path << " is not valid; nothing started"
        << std::endl;
    return 2;
  }
  try {
    LiveHost host(options, std::move(loaded.config), out, err);
    host.SetUp();
    return host.Run();
  } catch (const std::exception& error) {
    err << "battery-host run: " << error.what() << std::endl;
    return 1;
  }
}
