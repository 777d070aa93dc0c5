#include "programs/battery-host/live_host.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "host/device_access.h"
#include "programs/battery-host/config/config_change.h"
#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/config/state_dir.h"
#include "programs/battery-host/line/host_line.h"
#include "programs/battery-host/line/line_timing.h"
#include "programs/battery-host/line/port_open_deadline.h"
#include "programs/battery-host/live_controller.h"
#include "programs/battery-host/outputs/http/http_server.h"
#include "programs/battery-host/outputs/http/status_site.h"
#include "programs/battery-host/outputs/line_file.h"
#include "programs/battery-host/outputs/mqtt/mqtt_publisher.h"
#include "programs/battery-host/outputs/plugin_lines.h"
#include "programs/battery-host/outputs/run_output.h"
#include "programs/battery-host/outputs/standard_output.h"
#include "programs/battery-host/plugin_library.h"
#include "programs/battery-host/service/service_notifier.h"
#include "programs/battery-host/state/state_lock.h"
#include "programs/battery-host/support/error_log.h"

namespace {

// A clean stop waits this long at most for a slow reader to take the last
// lines (the summaries): SIGTERM ends the host within the service's stop
// timeout whatever reads its output.
constexpr std::chrono::milliseconds kOutputStopLimit{1000};

// A line and the devices on it, which come and go with reloads.
struct LiveLine {
  std::unique_ptr<HostLine> line;
  std::vector<DeviceSlot*> members;

  DeviceSlot* Find(const PXHSPDevice& device) const {
    for (DeviceSlot* slot : members) {
      if (slot->device.get() == &device) return slot;
    }
    return nullptr;
  }
};

// The configuration, with its problems said on `err`.
LoadedConfig LoadAndReport(const std::string& path, std::ostream& err) {
  LoadedConfig loaded = LoadHostConfig(path);
  for (const ConfigProblem& problem : loaded.problems) {
    err << (problem.warning ? error_log::Warning : error_log::Error) << FormatProblem(problem)
        << '\n';
  }
  return loaded;
}

class LiveHost {
 public:
  LiveHost(const RunOptions& options, HostConfig config, std::ostream& err)
      : options_(options),
        config_(std::move(config)),
        err_(err),
        output_(io_, err, [this](const std::string& reason) { OutputFailed(reason); }),
        plugin_lines_(std::make_unique<PluginLines>(PluginLinesTarget())),
        controller_(std::make_shared<LiveController>(events_, *plugin_lines_,
                                                     options.trace ? &err : nullptr)),
        signals_(io_, SIGINT, SIGTERM),
        hangups_(io_, SIGHUP),
        open_deadline_(io_, config_.open_timeout) {
    output_.SetRecords(config_.output.records);
    events_.Add(output_);
  }

  ~LiveHost() {
    // Lines and devices run the plug-in's code: gone before it is unloaded.
    controller_->Clear();
    retired_.clear();
    lines_.clear();
    slots_.clear();
  }

  void SetUp() {
    LoadPlugin();
    const std::filesystem::path state_dir = StateDir();
    MakeStateDir(state_dir);
    state_lock_ = std::make_unique<StateDirLock>(state_dir);
    state_dir_ = state_dir;
    MakeMqtt();
    const std::vector<DeviceSlot*> added = AddDevices(config_.devices);
    AttachToLines(added);
    if (config_.http.listen) StartHttp(*config_.http.listen);
  }

  int Run() {
    controller_->OnCycleCompleted([this](DeviceSlot& slot) {
      if (options_.cycles <= 0 || slot.state.completed < options_.cycles) return;
      if (slot.silence) slot.silence->Stop();
      if (AllDone()) io_.stop();
    });
    for (auto& slot : slots_) {
      if (slot->silence) slot->silence->Start();
    }
    for (auto& line : lines_) line->line->Start();
    signals_.async_wait([this](const boost::system::error_code& error, int) {
      if (!error) io_.stop();
    });
    AwaitHangUp();
    open_deadline_.Start([this](const std::string& ports) { PortsNeverOpened(ports); });
    if (mqtt_) mqtt_->Start();
    service_.Start([this] { return PortsDown(); });
    io_.run();
    // A clean stop: the newest record goes to the history even inside its interval.
    for (auto& slot : slots_) slot->history.Flush();
    if (mqtt_) mqtt_->Finish();
    WriteSummary();
    output_.Finish(kOutputStopLimit);
    return status_;
  }

  // Where the plug-in's own lines go: standard error, or the configured file.
  std::streambuf* PluginLinesTarget() {
    if (config_.plugin_log.empty()) return err_.rdbuf();
    try {
      plugin_log_ = std::make_unique<LineFile>(
          RelativeToConfig(options_.config_path, config_.plugin_log), err_);
    } catch (const std::runtime_error& error) {
      throw ConfigFault(options_.config_path + ": plugin_log: " + error.what());
    }
    return plugin_log_.get();
  }

 private:
  // The plug-in the command line or the configuration names, or else the one
  // installed beside the program, whose failure is not the configuration's.
  void LoadPlugin() {
    const bool named = !options_.plugin_path.empty() || !config_.plugin.empty();
    try {
      plugin_ = std::make_unique<PluginLibrary>(PluginPath());
    } catch (const std::runtime_error& error) {
      if (!named) throw;
      const std::string source =
          options_.plugin_path.empty() ? options_.config_path + ": plugin" : "--plugin";
      throw ConfigFault(source + ": " + error.what());
    }
  }

  std::string PluginPath() const {
    if (!options_.plugin_path.empty()) return options_.plugin_path;
    if (config_.plugin.empty()) return PluginLibrary::DefaultPath();
    return RelativeToConfig(options_.config_path, config_.plugin);
  }

  std::filesystem::path StateDir() const {
    return ChooseStateDir(options_.state_dir, options_.config_path, config_.state_dir);
  }

  void MakeStateDir(const std::filesystem::path& state_dir) const {
    const std::string source =
        options_.state_dir.empty() ? options_.config_path + ": state_dir" : "--state-dir";
    if (const auto problem = SystemFolderProblem(state_dir))
      throw ConfigFault(source + ": " + *problem);
    std::error_code error;
    std::filesystem::create_directories(state_dir, error);
    if (!error) return;
    throw ConfigFault(source + ": " + state_dir.string() + ": cannot be made: " + error.message());
  }

  void CreateDevice(DeviceSlot& slot) {
    plugin_lines_->SetSubject(slot.config.data_id);
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

  // The status page and metrics: they read the devices' state, nothing more.
  void StartHttp(const ListenAddress& listen) {
    site_ = std::make_unique<StatusSite>(PageRefresh(config_),
                                         [this](std::vector<DeviceStatus>& devices) {
                                           devices.clear();
                                           for (const auto& slot : slots_) {
                                             devices.push_back(StatusOf(*slot));
                                           }
                                         });
    site_->HostMetrics().AddHostCounter(
        "battery_output_dropped_lines_total",
        "Lines of standard output dropped because its reader did not keep up",
        [this] { return static_cast<double>(output_.Dropped()); });
    if (mqtt_) AddMqttMetrics(site_->HostMetrics());
    http_ = std::make_unique<HttpServer>(io_, listen, site_->Resources());
    http_->Start();
    err_ << "battery-host: status page and metrics on http://" << http_->LocalAddress() << '/'
         << std::endl;
    if (mqtt_) mqtt_->SetConfigurationUrl(StatusPageUrl(listen));
  }

  // The page's address for someone on another machine: the listen address,
  // or this machine's name when the server listens on every address.
  std::string StatusPageUrl(const ListenAddress& listen) const {
    std::string problem;
    ListenAddress bound = ParseListenAddress(http_->LocalAddress(), problem).value_or(listen);
    if (bound.address == "0.0.0.0" || bound.address == "::") {
      char name[256] = {};
      if (::gethostname(name, sizeof name - 1) != 0) return {};
      return "http://" + std::string(name) + ":" + std::to_string(bound.port) + "/";
    }
    return "http://" + bound.Text() + "/";
  }

  void AddMqttMetrics(Metrics& metrics) {
    metrics.AddHostGauge("battery_mqtt_connected", "1 while the MQTT broker is connected",
                         [this] { return mqtt_->Connected() ? 1.0 : 0.0; });
    metrics.AddDeviceGauge("battery_mqtt_outbox_records",
                           "Records in the history not yet acknowledged by the broker",
                           [this](const DeviceState& device) -> std::optional<double> {
                             return static_cast<double>(mqtt_->OutboxDepth(device.data_id));
                           });
  }

  DeviceStatus StatusOf(const DeviceSlot& slot) const {
    const LineScheduler& scheduler = slot.line->Scheduler();
    const bool under_way = scheduler.Owner() == slot.device.get();
    const DeviceState& state = slot.state;
    return {&state,
            &slot.thresholds.States(),
            &slot.line->Name(),
            &slot.name,
            slot.config.cell_start,
            slot.config.address,
            &slot.thresholds,
            slot.line->IsUp(),
            state.started - state.completed - (under_way ? 1 : 0),
            scheduler.StaleBytes(*slot.device),
            TimingOf(scheduler, *slot.device)};
  }

  static AnswerTiming TimingOf(const LineScheduler& scheduler, const PXHSPDevice& device) {
    const auto timing = scheduler.TimingOf(device);
    if (!timing) return {};
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    return {duration_cast<microseconds>(timing->answer_timeout),
            timing->latency.samples,
            timing->latency.p50,
            timing->latency.p90,
            timing->latency.p99,
            timing->probed};
  }

  void RestoreFromHistory(DeviceSlot& slot) {
    plugin_lines_->SetSubject(slot.config.data_id);
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
           << " of " << path << ", the record of "
           << SampleTimeText(image, entry->context.utc_offset_minutes) << std::endl;
    }
  }

  std::string LineName(const DeviceConfig& device) const {
    if (device.port == kSimPort)
      return std::string(kSimPort) + "#" + std::to_string(device.data_id);
    return device.port;
  }

  // Slots for the devices, set up and restored from their history, in the
  // order given; a device that cannot be set up ends the start.
  std::vector<DeviceSlot*> AddDevices(const std::vector<DeviceConfig>& devices) {
    std::vector<DeviceSlot*> added;
    for (const DeviceConfig& device : devices) {
      slots_.push_back(
          std::make_unique<DeviceSlot>(device, io_, state_dir_, config_.history, err_));
      added.push_back(slots_.back().get());
      CreateDevice(*added.back());
    }
    for (DeviceSlot* slot : added) RestoreFromHistory(*slot);
    return added;
  }

  // Each device joins the line of its port, made for it when there is none;
  // the lines made, not started yet.
  std::vector<LiveLine*> AttachToLines(const std::vector<DeviceSlot*>& slots) {
    std::vector<LiveLine*> made;
    std::map<LiveLine*, std::vector<DeviceSlot*>> joining;
    for (DeviceSlot* slot : slots) {
      LiveLine* line = LineNamed(LineName(slot->config));
      if (line == nullptr) {
        line = AddLine(LineName(slot->config), *slot);
        made.push_back(line);
      }
      slot->line = line->line.get();
      line->members.push_back(slot);
      joining[line].push_back(slot);
    }
    for (auto& [line, devices] : joining) {
      for (DeviceSlot* slot : devices) {
        line->line->Scheduler().Add(slot->device.get(), config_.PollInterval(slot->config));
      }
      WatchSilence(*line, devices);
    }
    for (LiveLine* line : made) Connect(*line);
    return made;
  }

  LiveLine* LineNamed(const std::string& name) const {
    for (const auto& line : lines_) {
      if (line->line->Name() == name) return line.get();
    }
    return nullptr;
  }

  LiveLine* LineOf(const DeviceSlot& slot) const {
    for (const auto& line : lines_) {
      if (line->line.get() == slot.line) return line.get();
    }
    return nullptr;
  }

  // The line's timing, from its port's settings and the plug-in's baud rate.
  LineScheduler::Timing TimingOf(const DeviceSlot& first) const {
    const PortSettings port = config_.Port(first.config.port);
    const unsigned baud = DeviceAccess::BaudRate(*first.device);
    // Bytes take no time on an unpaced simulated line.
    const bool timeless = IsSimPort(first.config.port) && !port.paced;
    return {port.answer_timeout.value_or(line_timing::DefaultAnswerTimeout(baud, port.quiet)),
            port.quiet, timeless ? 0 : baud, port.learn_latency};
  }

  LiveLine* AddLine(const std::string& name, const DeviceSlot& first) {
    std::ostream* trace = options_.trace ? &err_ : nullptr;
    auto line = std::make_unique<LiveLine>();
    line->line = std::make_unique<HostLine>(
        io_, name, config_.Port(first.config.port), TimingOf(first), trace, err_,
        [](const PXHSPDevice& device) { return device.DataId(); });
    open_deadline_.Watch(*line->line);
    lines_.push_back(std::move(line));
    return lines_.back().get();
  }

  void Connect(LiveLine& live) {
    HostLine& line = *live.line;
    LiveLine* group = &live;
    // A run of N cycles leaves the line to the devices that have not done theirs.
    if (options_.cycles > 0) {
      line.Scheduler().SetActive([this, group](const PXHSPDevice& device) {
        const DeviceSlot* slot = group->Find(device);
        return slot != nullptr && slot->state.completed < options_.cycles;
      });
    }
    line.SetEvents(
        {[this](const PXHSPDevice& device) { plugin_lines_->SetSubject(device.DataId()); },
         [this, group](bool up, const std::string& reason) { PortEvent(*group, up, reason); },
         [group](const PXHSPDevice& device) {
           DeviceSlot* slot = group->Find(device);
           if (slot != nullptr && slot->silence) slot->silence->CycleGivenUp();
         }});
    const DeviceSlot& first = *live.members.front();
    const PortSettings port = config_.Port(first.config.port);
    const unsigned baud = DeviceAccess::BaudRate(*first.device);
    if (IsSimPort(first.config.port)) {
      std::vector<SimMonitorSettings> monitors;
      for (const DeviceSlot* slot : live.members) monitors.push_back(slot->config.sim);
      line.SetTransport(MakeSimTransport(io_, monitors, port.echo, port.paced ? baud : 0, line));
    } else {
      // A request the port cannot take within the answer timeout is a line that does not work.
      const auto write_limit =
          std::chrono::ceil<std::chrono::milliseconds>(TimingOf(first).answer_timeout);
      line.SetTransport(MakeSerialTransport(io_, first.config.port, baud, write_limit, line));
    }
  }

  // A device is silent when silent_after_periods of its cycles in a row were
  // given up, or when none ended for one poll period more than that. A
  // period is its poll interval, but no shorter than the line may take to
  // serve every device on it once, each slow to answer.
  void WatchSilence(const LiveLine& line, const std::vector<DeviceSlot*>& devices) {
    const auto turn = LineScheduler::LongestTurn(TimingOf(*line.members.front()));
    for (DeviceSlot* slot : devices) {
      const auto period = std::max<std::chrono::steady_clock::duration>(
          config_.PollInterval(slot->config), turn * static_cast<long>(line.members.size()));
      slot->state.poll_period = period;
      slot->silence.emplace(io_, period * (config_.silent_after_periods + 1),
                            config_.silent_after_periods,
                            [this, slot](bool silent) { DeviceSilence(*slot, silent); });
      // Upstream, a value is valid as long as its device is not silent.
      if (mqtt_) AddToMqtt(*slot);
    }
  }

  // Values expire upstream a period after the device would be reported
  // silent, so that the silence is told first.
  void AddToMqtt(const DeviceSlot& slot) {
    mqtt_->AddDevice({slot.config.data_id, slot.name, slot.config.cell_start, &slot.history.Ring(),
                      &slot.thresholds, slot.line->Name(),
                      slot.state.poll_period * (config_.silent_after_periods + 2)});
  }

  void MakeMqtt() {
    if (!config_.mqtt) return;
    mqtt_ = std::make_unique<MqttPublisher>(io_, *config_.mqtt, state_dir_, events_, err_);
    events_.Add(*mqtt_);
  }

  // -------------------------------------------------------------------------
  // Reloads (SIGHUP)

  void AwaitHangUp() {
    hangups_.async_wait([this](const boost::system::error_code& error, int) {
      if (error) return;
      Reload();
      AwaitHangUp();
    });
  }

  // The configuration is read again. One that does not check changes
  // nothing; otherwise the devices it changes are stopped and set up again,
  // and the others poll on as they were.
  void Reload() {
    err_ << "battery-host: " << options_.config_path << ": reloading" << std::endl;
    service_.Reloading();
    LoadedConfig loaded = LoadAndReport(options_.config_path, err_);
    if (!loaded.Valid()) {
      err_ << error_log::Error << "battery-host: " << options_.config_path
           << " is not valid; the running configuration stays" << std::endl;
    } else {
      Apply(std::move(loaded.config));
    }
    service_.Reloaded();
  }

  void Apply(HostConfig next) {
    const ConfigChange change = CompareConfigs(config_, next);
    // What only a start takes over stays as it runs.
    next.plugin = config_.plugin;
    next.plugin_log = config_.plugin_log;
    next.state_dir = config_.state_dir;
    next.open_timeout = config_.open_timeout;
    for (const std::string& key : change.at_next_start) next.document[key] = config_.document[key];
    for (const unsigned int id : change.removed) StopDevice(id, MqttPublisher::Removal::kForget);
    for (const unsigned int id : change.recreated)
      StopDevice(id, MqttPublisher::Removal::kKeepRetained);
    RetireEmptyLines();
    // The publisher reads the settings it was made with until it is done.
    if (change.mqtt) StopMqtt();
    config_ = std::move(next);
    output_.SetRecords(config_.output.records);
    if (change.mqtt) StartMqtt();
    StartNewDevices();
    if (change.http || change.mqtt) RestartHttp();
    err_ << "battery-host: " << options_.config_path << ": reloaded: " << DescribeChange(change)
         << std::endl;
  }

  DeviceSlot* SlotOf(unsigned int data_id) const {
    for (const auto& slot : slots_) {
      if (slot->config.data_id == data_id) return slot.get();
    }
    return nullptr;
  }

  // The device is polled no more; its history is written and kept.
  void StopDevice(unsigned int data_id, MqttPublisher::Removal removal) {
    const auto found = std::find_if(slots_.begin(), slots_.end(), [data_id](const auto& slot) {
      return slot->config.data_id == data_id;
    });
    if (found == slots_.end()) return;
    DeviceSlot& slot = **found;
    if (LiveLine* line = LineOf(slot)) {
      line->line->Scheduler().Remove(*slot.device);
      line->members.erase(std::remove(line->members.begin(), line->members.end(), &slot),
                          line->members.end());
    }
    if (slot.silence) slot.silence->Stop();
    slot.history.Flush();
    if (mqtt_) mqtt_->RemoveDevice(data_id, removal);
    plugin_lines_->Forget(data_id);
    controller_->Remove(slot);
    Retire(std::move(*found));
    slots_.erase(found);
  }

  void RetireEmptyLines() {
    for (auto line = lines_.begin(); line != lines_.end();) {
      if (!(*line)->members.empty()) {
        ++line;
        continue;
      }
      open_deadline_.Forget(*(*line)->line);
      Retire(std::move(*line));
      line = lines_.erase(line);
    }
  }

  // The configured devices that have no slot: the added and the re-created.
  // One that cannot be set up is reported and left out; the others start.
  void StartNewDevices() {
    std::vector<DeviceSlot*> added;
    for (const DeviceConfig& device : config_.devices) {
      if (SlotOf(device.data_id) != nullptr) continue;
      try {
        added.push_back(AddDevices({device}).front());
      } catch (const std::exception& error) {
        err_ << error_log::Error << "battery-host: reload: " << error.what() << "; not polled"
             << std::endl;
        StopDevice(device.data_id, MqttPublisher::Removal::kForget);
      }
    }
    for (LiveLine* line : AttachToLines(added)) StartLine(*line);
    for (DeviceSlot* slot : added) {
      if (slot->silence) slot->silence->Start();
    }
  }

  void StartLine(LiveLine& line) {
    try {
      line.line->Start();
    } catch (const std::exception& error) {
      err_ << error_log::Error << "battery-host: reload: " << error.what() << "; not polled"
           << std::endl;
      for (DeviceSlot* slot : std::vector<DeviceSlot*>(line.members))
        StopDevice(slot->config.data_id, MqttPublisher::Removal::kForget);
      RetireEmptyLines();
    }
  }

  void StopMqtt() {
    if (!mqtt_) return;
    mqtt_->Finish();
    events_.Remove(*mqtt_);
    Retire(std::move(mqtt_));
  }

  void StartMqtt() {
    MakeMqtt();
    if (!mqtt_) return;
    for (const auto& slot : slots_) AddToMqtt(*slot);
    mqtt_->Start();
  }

  void RestartHttp() {
    Retire(std::move(http_));
    Retire(std::move(site_));
    if (config_.http.listen) StartHttp(*config_.http.listen);
  }

  // Handlers of what was cancelled may still be queued and name the object:
  // it goes once they have run.
  template <class T>
  void Retire(std::unique_ptr<T> object) {
    if (!object) return;
    const std::uint64_t ticket = ++retire_tickets_;
    retired_.emplace_back(ticket, std::shared_ptr<T>(std::move(object)));
    boost::asio::post(io_, [this, ticket] {
      retired_.erase(std::remove_if(retired_.begin(), retired_.end(),
                                    [ticket](const auto& held) { return held.first <= ticket; }),
                     retired_.end());
    });
  }

  std::vector<std::string> PortsDown() const {
    std::vector<std::string> down;
    for (const auto& line : lines_) {
      if (!line->line->IsUp()) down.push_back(line->line->Name());
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
      if (slot->state.completed < options_.cycles) return false;
    }
    return true;
  }

  // Standard output failed: the records go nowhere, so the run ends.
  void OutputFailed(const std::string& reason) {
    err_ << error_log::Error << "battery-host: standard output: " << reason << "; the run ends"
         << std::endl;
    status_ = 1;
    io_.stop();
  }

  void DeviceSilence(DeviceSlot& slot, bool silent) {
    slot.state.silent = silent;
    if (silent) ++slot.state.silent_events;
    err_ << (silent ? error_log::Warning : error_log::Info)
         << "battery-host: " << slot.config.data_id
         << (silent ? ": no cycle completed for " + std::to_string(config_.silent_after_periods) +
                          " poll periods"
                    : ": answering again")
         << " (" << slot.line->Name() << ')' << std::endl;
    events_.DeviceEvent(slot.state, silent ? kDeviceSilent : kDeviceAnswering);
  }

  void PortEvent(const LiveLine& line, bool up, const std::string& reason) {
    if (!up) {
      for (DeviceSlot* slot : line.members) ++slot->state.port_down_events;
    }
    events_.PortEvent(line.line->Name(), up ? kPortUp : kPortDown, reason);
    service_.PortsChanged();
  }

  void WriteSummary() {
    for (const auto& slot : slots_) output_.Summary(StatusOf(*slot));
    output_.HostSummary();
  }

  RunOptions options_;
  HostConfig config_;
  std::ostream& err_;
  boost::asio::io_context io_;
  RunOutput output_;
  std::unique_ptr<LineFile> plugin_log_;
  std::unique_ptr<PluginLines> plugin_lines_;
  // Every output that hears of records and events as they happen.
  RunEventFanOut events_;
  std::unique_ptr<PluginLibrary> plugin_;
  std::shared_ptr<LiveController> controller_;
  std::vector<std::unique_ptr<DeviceSlot>> slots_;
  std::vector<std::unique_ptr<LiveLine>> lines_;
  std::filesystem::path state_dir_;
  boost::asio::signal_set signals_;
  boost::asio::signal_set hangups_;
  ServiceNotifier service_{io_};
  PortOpenDeadline open_deadline_;
  std::unique_ptr<StatusSite> site_;
  std::unique_ptr<HttpServer> http_;
  std::unique_ptr<StateDirLock> state_lock_;
  std::unique_ptr<MqttPublisher> mqtt_;  // with an mqtt section
  // What a reload took out of service, until the handlers naming it have run.
  std::vector<std::pair<std::uint64_t, std::shared_ptr<void>>> retired_;
  std::uint64_t retire_tickets_ = 0;
  int status_ = 0;
};

}  // namespace

int RunLiveHost(const RunOptions& options, std::ostream& err) {
  LoadedConfig loaded = LoadAndReport(options.config_path, err);
  if (!loaded.Valid()) {
    err << error_log::Error << "battery-host run: " << options.config_path
        << " is not valid; nothing started" << std::endl;
    return 2;
  }
  try {
    LiveHost host(options, std::move(loaded.config), err);
    host.SetUp();
    return host.Run();
  } catch (const ConfigFault& fault) {
    err << error_log::Error << "battery-host run: " << fault.what() << std::endl;
    return 2;
  } catch (const std::exception& error) {
    err << error_log::Error << "battery-host run: " << error.what() << std::endl;
    return 1;
  }
}
