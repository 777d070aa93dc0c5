#pragma once

// Every call a device makes on the host, and what the host keeps per device.
// Requests go to the device's line; the record a device saves at the end of
// each polling cycle (its own measurements, with that cycle's time) becomes a
// `record` line and a history entry; threshold checks are answered from the
// host's limits; peer look-ups go to the device with that data id.
//
// Beside each record the host notes what the bytes cannot say: whether its
// group voltage is a measurement (the device makes no group-voltage check in
// a cycle where a peer's value was missing and it put 0 there), and the UTC
// offset in force when the device stamped it.

#include <boost/asio/io_context.hpp>

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "host/controller.h"
#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/line/host_line.h"
#include "programs/battery-host/outputs/plugin_lines.h"
#include "programs/battery-host/outputs/run_events.h"
#include "programs/battery-host/state/device_history.h"
#include "programs/battery-host/state/device_state.h"
#include "programs/battery-host/state/silence_watch.h"
#include "programs/battery-host/state/threshold_monitor.h"

struct DeviceSlot {
  DeviceSlot(DeviceConfig device_config, boost::asio::io_context& io,
             const std::filesystem::path& state_dir, const HistorySettings& history_settings,
             std::ostream& err)
      : config(std::move(device_config)),
        thresholds(config.thresholds),
        history(io, state_dir, config.data_id, history_settings, err) {
    state.data_id = config.data_id;
  }

  DeviceConfig config;
  const std::string name = DeviceName(config);  // what the outputs show
  std::unique_ptr<PXHSPDevice> device;
  HostLine* line = nullptr;
  ThresholdMonitor thresholds;
  DeviceHistory history;
  DeviceState state;
  std::optional<SilenceWatch> silence;
  // The device checked its group voltage against its limit in the cycle that
  // is ending (since it published): it does not when the value is no
  // measurement.
  bool group_voltage_checked = false;
};

class LiveController : public PXHController {
 public:
  // `trace`, when set, gets a line for each record a device publishes (SendSP).
  LiveController(RunEvents& events, PluginLines& plugin_lines, std::ostream* trace);

  void Add(DeviceSlot& slot);
  void Remove(const DeviceSlot& slot);
  void Clear();
  void OnCycleCompleted(std::function<void(DeviceSlot&)> callback) {
    on_completed_ = std::move(callback);
  }

  int SendData(PXHSPDevice& device, const unsigned char* data, unsigned int length) override;
  void RefreshStatus(PXHSPDevice& device) override;
  int SendSP(PXHVDevice& device, int sp_id, const unsigned char* data, unsigned int length,
             bool flag) override;
  int SaveDeviceHistory(PXHVDevice& device, const unsigned char* data,
                        unsigned int length) override;
  bool CheckThreshold(PXHVDevice& device, const std::string& name, const std::string& display_name,
                      const float& value, int index) override;
  float Get_SP_Value(PXHVDevice& device, unsigned int data_id, const std::string& name) override;

 private:
  // The device calling; its data id names the plug-in's lines meanwhile.
  DeviceSlot& Slot(PXHVDevice& device);

  RunEvents& events_;
  PluginLines& plugin_lines_;
  std::ostream* trace_;
  std::unordered_map<const PXHVDevice*, DeviceSlot*> by_device_;
  // The device of the last call and its slot (Slot).
  const PXHVDevice* last_device_ = nullptr;
  DeviceSlot* last_slot_ = nullptr;
  std::unordered_map<unsigned int, DeviceSlot*> by_data_id_;
  std::function<void(DeviceSlot&)> on_completed_;
};
