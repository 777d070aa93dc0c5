#pragma once

// The MQTT upstream: an output that hears every record and event of the run
// and publishes them to the broker under the topic prefix:
//
//   PREFIX/status            "online" at connect, "offline" as the retained last will
//   PREFIX/DATA_ID/record    every record, with its history ring's id "ring" and
//                            sequence number "seq", QoS 1, in seq order
//   PREFIX/DATA_ID/state     the newest record, retained, as each comes
//   PREFIX/DATA_ID/threshold threshold crossings, QoS 1
//   PREFIX/DATA_ID/status    status events of the device and its port, and the
//                            records lost from the outbox, QoS 1
//   PREFIX/DATA_ID/availability  "offline" while the device is silent, else
//                            "online", retained
//   PREFIX/DATA_ID/thresholds    where each value stands against its limit,
//                            retained, at connect and at each crossing
//
// With Home Assistant's discovery, each connect also clears the retained
// configs under this client id's node that belong to no configured value (a
// device or a limit taken out of the configuration): the host subscribes to
// them, gathers the retained ones until a moment after the broker grants the
// subscription, empties those it does not announce itself, and unsubscribes.
//
// Records are not sent from the event itself but from the device's history
// ring, the outbox: from the entry after the acknowledged one (kept in the
// state directory), in order, a bounded number in flight, and while a device
// has a backlog at a bounded rate, so that live state messages go on meanwhile.
// Threshold and status events, and state messages, that happen while the
// broker is unreachable are not kept.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "programs/battery-host/config/mqtt_config.h"
#include "programs/battery-host/outputs/json_output.h"
#include "programs/battery-host/outputs/mqtt/acked_cursor.h"
#include "programs/battery-host/outputs/mqtt/discovery.h"
#include "programs/battery-host/outputs/mqtt/mqtt_connection.h"
#include "programs/battery-host/outputs/mqtt/outbox.h"
#include "programs/battery-host/outputs/run_events.h"
#include "programs/battery-host/state/history_ring.h"
#include "programs/battery-host/state/threshold_monitor.h"

// A device as the upstream publishes it; the ring and the monitor outlive
// its time in the publisher (until RemoveDevice, or the publisher's end).
struct UpstreamDevice {
  unsigned int data_id = 0;
  std::string name;                   // Home Assistant's device name
  int cell_start = 0;                 // the cells' display numbers start after it
  const HistoryRing* ring = nullptr;  // the outbox
  const ThresholdMonitor* thresholds = nullptr;
  std::string line;  // its line's name, for port events
  // How long its values stay valid without a new record.
  std::chrono::steady_clock::duration valid_for{};
};

class MqttPublisher final : public RunEvents, private MqttConnection::Listener {
 public:
  // `events` hears of the connection going down and coming back (status
  // events). Throws std::runtime_error when the password file or the TLS
  // files cannot be read.
  MqttPublisher(boost::asio::io_context& io, const MqttSettings& settings,
                const std::filesystem::path& state_dir, RunEvents& events, std::ostream& err);
  ~MqttPublisher() override;

  // A device, before or after Start: one added later is announced and its
  // outbox started at once.
  void AddDevice(const UpstreamDevice& device);
  // The device is polled no more: nothing of it is published from now on,
  // its ring is no longer read (it may be destroyed after), and its retained
  // messages (discovery configs, state, availability, thresholds) are
  // emptied while the broker is connected; configs left behind while it is
  // not go at the next connect. How far it was acknowledged is kept.
  // A device that is set up again at once (a reload changed it) keeps its
  // retained messages: consumers see no removal and return.
  enum class Removal { kForget, kKeepRetained };
  void RemoveDevice(unsigned int data_id, Removal removal);
  // The status page's address, announced as each device's configuration_url.
  void SetConfigurationUrl(std::string url) { configuration_url_ = std::move(url); }
  // Reads how far each device was acknowledged, and connects.
  void Start();
  // At a clean stop, after the event loop: sends what it can within a
  // moment, says offline, and keeps how far the broker acknowledged.
  void Finish();

  bool Connected() const { return connection_.Connected(); }
  // Entries of the device's ring that the broker has not acknowledged.
  std::uint64_t OutboxDepth(unsigned int data_id) const;

  void Record(const DeviceState& device, const HostRecord& record) override;
  void Threshold(const DeviceState& device, const ThresholdEvent& crossing) override;
  void DeviceEvent(const DeviceState& device, const char* event) override;
  void PortEvent(const std::string& port, const char* event, const std::string& reason) override;
  void RecordsLost(const LostRecords& lost) override;

 private:
  struct Device;

  void OnConnected(const std::string& address, bool quiet) override;
  void OnDown(const std::string& reason, bool quiet) override;
  void OnHeld(const std::string& address) override;
  void OnAcknowledged(int message_id) override;
  void OnSubscribed(int message_id) override;
  void OnMessage(const std::string& topic, std::string_view payload, bool retained) override;

  Device* Find(unsigned int data_id) const;
  std::vector<MqttMessage> Discovery(const Device& device) const;
  // Says at connect what the retained topics of the device hold.
  void Announce(Device& device);
  void PublishAvailability(const Device& device);
  void PublishThresholds(const Device& device);
  // Empties the retained messages of a device that is gone.
  void ClearRetained(const Device& device);
  // Gathers the retained discovery configs, then empties the stale ones.
  void StartSweep();
  void SweepSoon(std::chrono::milliseconds delay);
  void Sweep();

  void StartOutbox(Device& device);
  // Sends the next record of the device's outbox; false when there is none
  // or `window` records are in flight.
  bool SendNext(Device& device, std::size_t window);
  // Up to `budget` records of the backlogs, `per_device` at most from each;
  // true when records are left.
  bool SendBacklogs(std::size_t budget, std::size_t per_device);
  void Pace();
  void StartPacing();
  bool SendDiscovery();
  void PublishState(Device& device);
  // Publishes line_ (finished) on the topic of the device's status.
  void PublishStatus(Device& device);
  std::optional<int> PublishLine(const std::string& topic, MqttQos qos, bool retain);
  void ReportLoss(Device& device, const LostRange& lost);
  void KeepCursorsSoon();
  void WriteCursors();
  void KeepCursor(Device& device);

  const MqttSettings& settings_;
  RunEvents& events_;
  std::ostream& err_;
  std::filesystem::path state_dir_;
  std::string prefix_;  // "battery-host: mqtt://HOST:PORT: "
  std::string status_topic_;
  MqttConnection connection_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::unordered_map<unsigned int, Device*> by_data_id_;
  struct InFlight {
    Device* device;
    std::uint64_t sequence;
  };
  std::unordered_map<int, InFlight> in_flight_;  // by message id
  boost::asio::steady_timer pace_;
  bool pacing_ = false;
  std::size_t first_device_ = 0;    // where the next round of backlogs starts
  std::size_t discovery_next_ = 0;  // the next device to announce, after a connect
  boost::asio::steady_timer cursors_;
  bool cursors_due_ = false;
  bool down_said_ = false;  // a broker_down event went out since the last broker_up
  bool started_ = false;
  std::string configuration_url_;
  // The sweep of stale discovery configs after a connect.
  boost::asio::steady_timer sweep_;
  std::optional<int> sweep_subscription_;  // while gathering
  std::vector<std::string> retained_configs_;
  JsonLine line_;
  std::string cells_;
};
