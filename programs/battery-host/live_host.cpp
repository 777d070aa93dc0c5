#include "programs/battery-host/live_host.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

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
#include "programs/battery-host/line/line_timing.h"
#include "programs/battery-host/line/port_open_deadline.h"
#include "programs/battery-host/outputs/error_log.h"
#include "programs/battery-host/outputs/json_output.h"
#include "programs/battery-host/plugin_library.h"
#include "programs/battery-host/service/service_notifier.h"
#include "programs/battery-host/state/device_history.h"
#include "programs/battery-host/state/state_lock.h"
#include "programs/battery-host/state/threshold_monitor.h"

namespace {

constexpr const char* kDefaultStateDir = "battery-state";

struct DeviceSlot {
  DeviceSlot(DeviceConfig device_config, boost::asio::io_context& io,
             const std::filesystem::path& state_dir, const HistorySettings& history_settings,
             std::ostream& err)
      : config(std::move(device_config)),
        thresholds(config.thresholds),
        history(io, state_dir, config.data_id, history_settings, err) {}

  DeviceConfig config;
  std::unique_ptr<PXHSPDevice> device;
  HostLine* line = nullptr;
  ThresholdMonitor thresholds;
  DeviceHistory history;
  long started = 0;
  long completed = 0;
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
    slot.line->CycleStarted(device, slot.started);
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
    slot.line->CycleCompleted(*slot.device);
    if (on_completed_) on_completed_();
    return 0;
  }

  int SaveDeviceHistory(PXHVDevice& device, const unsigned char* data,
                        unsigned int length) override {
    return Slot(device).history.Save(data, length) ? 0 : -1;
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
        signals_(io_, SIGINT, SIGTERM),
        open_deadline_(io_, config_.open_timeout) {}

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
    state_lock_ = std::make_unique<StateDirLock>(state_dir);
    for (const DeviceConfig& device : config_.devices) {
      slots_.push_back(std::make_unique<DeviceSlot>(device, io_, state_dir, config_.history, err_));
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
    open_deadline_.Start([this](const std::string& ports) { PortsNeverOpened(ports); });
    service_.Start([this] { return PortsDown(); });
    io_.run();
    // A clean stop: the newest record goes to the history even inside its interval.
    for (auto& slot : slots_) slot->history.Flush();
    WriteSummary();
    return status_;
  }

 private:
  std::string PluginPath() const {
    if (!options_.plugin_path.empty()) return options_.plugin_path;
    if (config_.plugin.empty()) return PluginLibrary::DefaultPath();
    return RelativeToConfig(config_.plugin);
  }

  std::filesystem::path StateDir() const {
    if (!options_.state_dir.empty()) return options_.state_dir;
    return RelativeToConfig(config_.state_dir.empty() ? kDefaultStateDir : config_.state_dir);
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
    const auto entry = slot.history.Open();
    if (!entry) return;
    const std::string& path = slot.history.Ring().Path();
    Battery32_Data_t image;
    std::memcpy(&image, entry->record.data(), sizeof image);
    if (image.data_id != slot.config.data_id) {
      err_ << error_log::Warning << "battery-host: " << path << ": newest record is of data id "
           << image.data_id << ", not loaded" << std::endl;
      return;
    }
    if (slot.device->LoadFromCache(entry->record.data(), static_cast<int>(entry->record.size())) ==
        1) {
      err_ << "battery-host: " << slot.config.data_id << ": restored entry " << entry->sequence
           << " of " << path << ", the record of " << SampleTimeText(image) << std::endl;
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
      if (line == nullptr) line = AddLine(name, *slot);
      slot->line = line;
      members[line].push_back(slot.get());
    }
    for (auto& [line, devices] : members) Connect(*line, devices);
  }

  HostLine* AddLine(const std::string& name, const DeviceSlot& first) {
    std::ostream* trace = options_.trace ? &err_ : nullptr;
    const PortSettings port = config_.Port(first.config.port);
    const unsigned baud = DeviceAccess::BaudRate(*first.device);
    const LineScheduler::Timing timing{
        port.answer_timeout.value_or(line_timing::DefaultAnswerTimeout(baud, port.quiet)),
        line_timing::InterFrameGap(baud),
        battery_link::LineTime(line_timing::kLongestExchangeBytes, baud)};
    lines_.push_back(
        std::make_unique<HostLine>(io_, name, port, timing, trace, err_,
                                   [](const PXHSPDevice& device) { return device.DataId(); }));
    open_deadline_.Watch(*lines_.back());
    return lines_.back().get();
  }

  void Connect(HostLine& line, const std::vector<DeviceSlot*>& devices) {
    std::vector<monitor_sim::MonitorSettings> monitors;
    for (DeviceSlot* slot : devices) {
      line.Scheduler().Add(slot->device.get(), config_.PollInterval(slot->config));
      monitors.push_back(slot->config.sim);
    }
    line.Scheduler().SetActive([this, devices](std::size_t index) {
      return options_.cycles <= 0 || devices[index]->completed < options_.cycles;
    });
    const DeviceConfig& first = devices.front()->config;
    const PortSettings port = config_.Port(first.port);
    const unsigned baud = DeviceAccess::BaudRate(*devices.front()->device);
    if (IsSimPort(first.port)) {
      line.SetTransport(MakeSimTransport(io_, monitors, port.echo, port.paced ? baud : 0, line));
    } else {
      line.SetTransport(MakeSerialTransport(io_, first.port, baud, line));
    }
  }

  std::vector<std::string> PortsDown() const {
    std::vector<std::string> down;
    for (const auto& line : lines_) {
      if (!line->IsUp()) down.push_back(line->Name());
    }
    return down;
  }

  void PortsNeverOpened(const std::string& ports) {
    err_ << error_log::Error << "battery-host: " << ports << ": not opened within "
         << open_deadline_.Timeout().count() << " s (open_timeout_s)"
         << (options_.cycles > 0 ? "; the run ends" : "; still trying") << std::endl;
    if (options_.cycles <= 0) return;
    status_ = 1;
    io_.stop();
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
      const bool under_way = slot->line->Scheduler().Owner() == slot->device.get();
      line.String("type", "summary")
          .Integer("data_id", slot->config.data_id)
          .Integer("cycles_started", slot->started)
          .Integer("cycles_completed", slot->completed)
          .Integer("cycles_given_up", slot->started - slot->completed - (under_way ? 1 : 0))
          .Integer("stale_bytes",
                   static_cast<long long>(slot->line->Scheduler().StaleBytes(*slot->device)));
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
  boost::asio::signal_set signals_;
  ServiceNotifier service_{io_};
  PortOpenDeadline open_deadline_;
  std::unique_ptr<StateDirLock> state_lock_;
  int status_ = 0;
};

}  // namespace

int RunLiveHost(const RunOptions& options, std::ostream& out, std::ostream& err) {
  LoadedConfig loaded = LoadHostConfig(options.config_path);
  for (const ConfigProblem& problem : loaded.problems) {
    err << (problem.warning ? error_log::Warning : error_log::Error) << FormatProblem(problem)
        << '\n';
  }
  if (!loaded.Valid()) {
    err << error_log::Error << "battery-host run: " << options.config_path
        << " is not valid; nothing started" << std::endl;
    return 2;
  }
  try {
    LiveHost host(options, std::move(loaded.config), out, err);
    host.SetUp();
    return host.Run();
  } catch (const std::exception& error) {
    err << error_log::Error << "battery-host run: " << error.what() << std::endl;
    return 1;
  }
}
