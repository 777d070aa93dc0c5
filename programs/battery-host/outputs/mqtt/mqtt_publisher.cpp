#include "programs/battery-host/outputs/mqtt/mqtt_publisher.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <ostream>
#include <set>

#include "programs/battery-host/outputs/run_output.h"
#include "programs/battery-host/support/error_log.h"
#include "programs/battery-host/support/one_shot.h"

namespace {

// Record messages of backlogs sent and not yet acknowledged, over all
// devices. A live record (of a device without a backlog) goes at once while
// fewer than this plus one per device are in flight: devices whose cycles
// end together do not wait for each other.
constexpr std::size_t kWindow = 64;
// Backlogs go out in rounds: at most 5 records of a device and 50 in all per
// round of 50 ms (100 a second per device, 1,000 in all). A device makes at
// most about 14 records a second (one cycle takes 53 ms of line time), so
// its backlog always shrinks.
constexpr std::chrono::milliseconds kPacePeriod{50};
constexpr std::size_t kBacklogPerRound = 50;
constexpr std::size_t kBacklogPerDevice = 5;
// Discovery after a connect: the messages of 2 devices (70) per round.
constexpr std::size_t kDiscoveryPerRound = 2;
// How far the broker has acknowledged is written at most this often (and at
// a clean stop): after a crash, up to this much may be sent again.
constexpr std::chrono::seconds kCursorPeriod{5};
// A clean stop waits this long at most for the broker to acknowledge the rest.
constexpr std::chrono::milliseconds kFinishLimit{2000};
// The broker sends the retained configs right after it grants the
// subscription: they are gathered for this long after the grant, and for
// this long at most when no grant comes.
constexpr std::chrono::milliseconds kSweepSettle{1000};
constexpr std::chrono::milliseconds kSweepLimit{10000};

}  // namespace

struct MqttPublisher::Device {
  Device(const UpstreamDevice& about, std::chrono::seconds valid,
         const std::filesystem::path& state_dir, const std::string& prefix)
      : data_id(about.data_id),
        name(about.name),
        cell_start(about.cell_start),
        ring(*about.ring),
        thresholds(*about.thresholds),
        line(about.line),
        valid_for(valid),
        cursor((state_dir / ("device-" + std::to_string(data_id) + ".acked")).string()),
        topic(prefix + "/" + std::to_string(data_id) + "/") {}

  unsigned int data_id;
  std::string name;
  int cell_start;
  const HistoryRing& ring;
  const ThresholdMonitor& thresholds;
  std::string line;
  std::chrono::seconds valid_for;
  bool silent = false;
  AckedCursor cursor;
  std::string topic;  // "PREFIX/DATA_ID/"
  std::optional<Outbox> outbox;
  AckedCursor::Acked cursor_written;
  bool cursor_failing = false;
  std::uint64_t lost = 0;  // records lost from the outbox in this run
  std::optional<HostRecord> newest;
};

MqttPublisher::MqttPublisher(boost::asio::io_context& io, const MqttSettings& settings,
                             const std::filesystem::path& state_dir, RunEvents& events,
                             std::ostream& err)
    : settings_(settings),
      events_(events),
      err_(err),
      state_dir_(state_dir),
      prefix_("battery-host: " + settings.BrokerName() + ": "),
      status_topic_(settings.topic_prefix + "/status"),
      connection_(
          io, settings,
          settings.password_file.empty() ? std::string() : ReadPasswordFile(settings.password_file),
          status_topic_, *this),
      pace_(io),
      cursors_(io),
      sweep_(io) {}

MqttPublisher::~MqttPublisher() = default;

void MqttPublisher::AddDevice(const UpstreamDevice& about) {
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(about.valid_for);
  devices_.push_back(std::make_unique<Device>(about, std::max(seconds, std::chrono::seconds(1)),
                                              state_dir_, settings_.topic_prefix));
  Device& device = *devices_.back();
  by_data_id_[about.data_id] = &device;
  if (!started_) return;
  StartOutbox(device);
  if (!connection_.Connected()) return;
  // Discovery goes on from where it is: the new device is the last to announce.
  Announce(device);
  StartPacing();
}

void MqttPublisher::RemoveDevice(unsigned int data_id, Removal removal) {
  const auto found = std::find_if(devices_.begin(), devices_.end(), [data_id](const auto& device) {
    return device->data_id == data_id;
  });
  if (found == devices_.end()) return;
  Device& device = **found;
  if (device.outbox) KeepCursor(device);
  if (removal == Removal::kForget && connection_.Connected()) ClearRetained(device);
  for (auto flight = in_flight_.begin(); flight != in_flight_.end();) {
    flight = flight->second.device == &device ? in_flight_.erase(flight) : std::next(flight);
  }
  const auto index = static_cast<std::size_t>(found - devices_.begin());
  if (discovery_next_ > index) --discovery_next_;
  by_data_id_.erase(data_id);
  devices_.erase(found);
  first_device_ = devices_.empty() ? 0 : first_device_ % devices_.size();
}

void MqttPublisher::Start() {
  started_ = true;
  for (auto& device : devices_) StartOutbox(*device);
  connection_.Start();
}

MqttPublisher::Device* MqttPublisher::Find(unsigned int data_id) const {
  const auto found = by_data_id_.find(data_id);
  return found == by_data_id_.end() ? nullptr : found->second;
}

// A device seen for the first time starts after its newest entry: the
// history from before the upstream was configured is not sent.
void MqttPublisher::StartOutbox(Device& device) {
  const std::uint64_t newest = device.ring.NewestSequence();
  std::optional<FileFailure> failure;
  const std::optional<AckedCursor::Acked> read = device.cursor.Read(failure);
  std::optional<std::uint64_t> acked;
  if (read) acked = read->sequence;
  const std::string name =
      "battery-host: " + std::to_string(device.data_id) + ": " + device.cursor.Path() + ": ";
  // A cursor written before ring ids is of the ring there is.
  const bool other_ring = read && read->ring_id != 0 && read->ring_id != device.ring.Id();
  if (failure) {
    err_ << error_log::Error << name << failure->Text() << "; records are sent from entry "
         << newest + 1 << " on" << std::endl;
  } else if (other_ring) {
    err_ << error_log::Warning << name << "acknowledged entries of the history ring "
         << history_ring::RingIdText(read->ring_id) << ", but the history is the ring "
         << history_ring::RingIdText(device.ring.Id())
         << ", made anew: its entries are sent from the first" << std::endl;
    acked = 0;
  } else if (acked && *acked > newest) {
    err_ << error_log::Warning << name << "acknowledged up to entry " << *acked
         << ", but the history ends at " << newest
         << ": the history was made anew; its entries are sent from the first" << std::endl;
    acked = 0;
  }
  if (!acked) acked = newest;
  device.outbox.emplace(device.ring, *acked);
  device.cursor_written =
      read.value_or(AckedCursor::Acked{std::numeric_limits<std::uint64_t>::max(), 0});
  KeepCursor(device);
}

std::uint64_t MqttPublisher::OutboxDepth(unsigned int data_id) const {
  const auto found = by_data_id_.find(data_id);
  if (found == by_data_id_.end() || !found->second->outbox) return 0;
  return found->second->outbox->Depth();
}

// Events of a device that is not (or no longer) published are not heard.
void MqttPublisher::Record(const DeviceState& state, const HostRecord& record) {
  Device* found = Find(state.data_id);
  if (found == nullptr) return;
  Device& device = *found;
  device.newest = record;
  if (!connection_.Connected()) return;
  PublishState(device);
  // A device without a backlog sends its record at once; a backlog is paced.
  if (device.outbox->Unsent() == 1 && SendNext(device, kWindow + devices_.size())) return;
  if (device.outbox->Unsent() > 0) StartPacing();
}

void MqttPublisher::Threshold(const DeviceState& state, const ThresholdEvent& crossing) {
  Device* device = Find(state.data_id);
  if (device == nullptr || !connection_.Connected()) return;
  ThresholdLine(state, crossing, line_);
  PublishLine(device->topic + "threshold", MqttQos::kAtLeastOnce, false);
  PublishThresholds(*device);
}

void MqttPublisher::DeviceEvent(const DeviceState& state, const char* event) {
  Device* device = Find(state.data_id);
  if (device == nullptr) return;
  device->silent = std::strcmp(event, kDeviceSilent) == 0;
  if (!connection_.Connected()) return;
  PublishAvailability(*device);
  DeviceEventLine(state, event, line_);
  PublishStatus(*device);
}

void MqttPublisher::PortEvent(const std::string& port, const char* event,
                              const std::string& reason) {
  if (!connection_.Connected()) return;
  for (auto& device : devices_) {
    if (device->line != port) continue;
    StatusLine("port", port, event, reason, line_);
    line_.Integer("data_id", device->data_id);
    PublishStatus(*device);
  }
}

void MqttPublisher::PublishState(Device& device) {
  if (!device.newest) return;
  RecordLine(*device.newest, line_, "state");
  PublishLine(device.topic + "state", MqttQos::kAtMostOnce, true);
}

void MqttPublisher::PublishAvailability(const Device& device) {
  connection_.Publish(device.topic + "availability", device.silent ? kMqttOffline : kMqttOnline,
                      MqttQos::kAtLeastOnce, true);
}

void MqttPublisher::PublishThresholds(const Device& device) {
  ThresholdMembers(device.thresholds.States(), cells_, line_);
  PublishLine(device.topic + "thresholds", MqttQos::kAtLeastOnce, true);
}

void MqttPublisher::Announce(Device& device) {
  PublishAvailability(device);
  PublishThresholds(device);
  PublishState(device);
}

// The topics a device keeps retained, emptied: the broker drops them.
void MqttPublisher::ClearRetained(const Device& device) {
  std::vector<std::string> topics;
  if (settings_.homeassistant.discovery) {
    for (const MqttMessage& message : Discovery(device)) topics.push_back(message.topic);
  }
  for (const char* kind : {"state", "availability", "thresholds"}) {
    topics.push_back(device.topic + kind);
  }
  for (const std::string& topic : topics) {
    connection_.Publish(topic, {}, MqttQos::kAtLeastOnce, true);
  }
}

void MqttPublisher::PublishStatus(Device& device) {
  PublishLine(device.topic + "status", MqttQos::kAtLeastOnce, false);
}

// A message is the JSON line without its newline.
std::optional<int> MqttPublisher::PublishLine(const std::string& topic, MqttQos qos, bool retain) {
  std::string_view payload = line_.Finish();
  if (!payload.empty() && payload.back() == '\n') payload.remove_suffix(1);
  return connection_.Publish(topic, payload, qos, retain);
}

bool MqttPublisher::SendNext(Device& device, std::size_t window) {
  if (in_flight_.size() >= window) return false;
  std::optional<LostRange> lost;
  const auto entry = device.outbox->Next(lost);
  if (lost) ReportLoss(device, *lost);
  if (!entry) return false;
  HostRecord record{{}, entry->context};
  std::memcpy(&record.data, entry->record.data(), sizeof record.data);
  RecordLine(record, line_);
  line_.String("ring", history_ring::RingIdText(device.ring.Id()));
  line_.Integer("seq", static_cast<long long>(entry->sequence));
  const auto id = PublishLine(device.topic + "record", MqttQos::kAtLeastOnce, false);
  if (!id) {
    device.outbox->Rewind();
    return false;
  }
  device.outbox->Sent(entry->sequence);
  in_flight_[*id] = {&device, entry->sequence};
  return true;
}

bool MqttPublisher::SendBacklogs(std::size_t budget, std::size_t per_device) {
  bool left = false;
  for (std::size_t n = 0; n < devices_.size(); ++n) {
    Device& device = *devices_[(first_device_ + n) % devices_.size()];
    for (std::size_t sent = 0; sent < per_device && budget > 0 && SendNext(device, kWindow);
         ++sent) {
      --budget;
    }
    left = left || device.outbox->Unsent() > 0;
  }
  if (!devices_.empty()) first_device_ = (first_device_ + 1) % devices_.size();
  return left;
}

void MqttPublisher::StartPacing() {
  ArmOneShotOnce(pace_, pacing_, kPacePeriod, [this] { Pace(); });
}

// One round: backlogs and discovery, until nothing is left.
void MqttPublisher::Pace() {
  if (!connection_.Connected()) return;
  const bool announcing = SendDiscovery();
  if (SendBacklogs(kBacklogPerRound, kBacklogPerDevice) || announcing) StartPacing();
}

bool MqttPublisher::SendDiscovery() {
  if (!settings_.homeassistant.discovery) return false;
  for (std::size_t n = 0; n < kDiscoveryPerRound && discovery_next_ < devices_.size(); ++n) {
    for (const MqttMessage& message : Discovery(*devices_[discovery_next_++])) {
      connection_.Publish(message.topic, message.payload, MqttQos::kAtLeastOnce, true);
    }
  }
  return discovery_next_ < devices_.size();
}

std::vector<MqttMessage> MqttPublisher::Discovery(const Device& device) const {
  return DiscoveryMessages(
      settings_, {device.data_id, device.name, device.cell_start, device.topic, status_topic_,
                  device.valid_for, &device.thresholds, configuration_url_});
}

void MqttPublisher::StartSweep() {
  if (!settings_.homeassistant.discovery) return;
  retained_configs_.clear();
  sweep_subscription_ = connection_.Subscribe(DiscoveryFilter(settings_));
  if (sweep_subscription_) SweepSoon(kSweepLimit);
}

void MqttPublisher::SweepSoon(std::chrono::milliseconds delay) {
  ArmOneShot(sweep_, delay, [this] { Sweep(); });
}

void MqttPublisher::OnSubscribed(int message_id) {
  if (sweep_subscription_ == message_id) SweepSoon(kSweepSettle);
}

// An empty retained message is a config already cleared.
void MqttPublisher::OnMessage(const std::string& topic, std::string_view payload, bool retained) {
  if (sweep_subscription_ && retained && !payload.empty()) retained_configs_.push_back(topic);
}

void MqttPublisher::Sweep() {
  sweep_subscription_.reset();
  connection_.Unsubscribe(DiscoveryFilter(settings_));
  std::set<std::string> announced;
  for (const auto& device : devices_) {
    for (const MqttMessage& message : Discovery(*device)) announced.insert(message.topic);
  }
  std::size_t cleared = 0;
  for (const std::string& topic : retained_configs_) {
    if (announced.count(topic) != 0) continue;
    connection_.Publish(topic, {}, MqttQos::kAtLeastOnce, true);
    ++cleared;
  }
  retained_configs_.clear();
  if (cleared > 0) {
    err_ << prefix_ << "cleared " << cleared
         << " retained discovery configs of values no longer configured" << std::endl;
  }
}

void MqttPublisher::ReportLoss(Device& device, const LostRange& range) {
  device.lost += range.last - range.first + 1;
  const LostRecords lost{device.data_id, range.first, range.last, device.lost, device.ring.Id()};
  err_ << error_log::Warning << "battery-host: " << device.data_id << ": records " << lost.first
       << " to " << lost.last << " (" << lost.Count()
       << ") left the history before the broker acknowledged them: lost (the history holds "
       << device.ring.Capacity() << " entries)" << std::endl;
  events_.RecordsLost(lost);
}

void MqttPublisher::RecordsLost(const LostRecords& lost) {
  Device* device = Find(lost.data_id);
  if (device == nullptr || !connection_.Connected()) return;
  RecordsLostLine(lost, line_);
  PublishStatus(*device);
}

void MqttPublisher::OnConnected(const std::string& address, bool quiet) {
  if (!quiet) OnHeld(address);
  for (auto& device : devices_) Announce(*device);
  discovery_next_ = 0;
  StartSweep();
  Pace();
}

// Said at a connect, and when a connection holds after the client id was
// said to be in use (whose connects were not said).
void MqttPublisher::OnHeld(const std::string& address) {
  err_ << prefix_ << "connected (" << address << "), publishing under " << settings_.topic_prefix
       << "/" << std::endl;
  if (down_said_) events_.BrokerEvent(settings_.BrokerName(), kBrokerUp, {});
  down_said_ = false;
}

void MqttPublisher::OnDown(const std::string& reason, bool quiet) {
  if (!quiet) err_ << error_log::Error << prefix_ << reason << std::endl;
  if (!down_said_) events_.BrokerEvent(settings_.BrokerName(), kBrokerDown, reason);
  down_said_ = true;
  // What was in flight goes again on the next connection.
  in_flight_.clear();
  for (auto& device : devices_) device->outbox->Rewind();
  pace_.cancel();
  sweep_.cancel();
  sweep_subscription_.reset();
}

void MqttPublisher::OnAcknowledged(int message_id) {
  const auto found = in_flight_.find(message_id);
  if (found == in_flight_.end()) return;
  found->second.device->outbox->Acknowledged(found->second.sequence);
  in_flight_.erase(found);
  KeepCursorsSoon();
}

void MqttPublisher::KeepCursorsSoon() {
  ArmOneShotOnce(cursors_, cursors_due_, kCursorPeriod, [this] { WriteCursors(); });
}

void MqttPublisher::WriteCursors() {
  for (auto& device : devices_) KeepCursor(*device);
}

void MqttPublisher::KeepCursor(Device& device) {
  const AckedCursor::Acked acked{device.outbox->Acked(), device.ring.Id()};
  if (acked.sequence == device.cursor_written.sequence &&
      acked.ring_id == device.cursor_written.ring_id) {
    return;
  }
  const std::optional<FileFailure> failure = device.cursor.Write(acked);
  const std::string name =
      "battery-host: " + std::to_string(device.data_id) + ": " + device.cursor.Path() + ": ";
  if (!failure) {
    device.cursor_written = acked;
    if (device.cursor_failing) err_ << name << "written again" << std::endl;
  } else if (!device.cursor_failing) {
    err_ << error_log::Error << name << failure->Text()
         << "; retried; after a restart, records acknowledged meanwhile are sent again"
         << std::endl;
  }
  device.cursor_failing = failure.has_value();
}

void MqttPublisher::Finish() {
  pace_.cancel();
  cursors_.cancel();
  sweep_.cancel();
  connection_.Finish(kFinishLimit, [this] {
    SendBacklogs(kWindow, kWindow);
    return std::all_of(devices_.begin(), devices_.end(),
                       [](const auto& device) { return device->outbox->Depth() == 0; });
  });
  WriteCursors();
}
