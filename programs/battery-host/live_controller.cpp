#include "programs/battery-host/live_controller.h"

#include <cstring>
#include <ctime>
#include <ostream>
#include <stdexcept>

#include "battery/variable_names.h"
#include "programs/battery-host/outputs/json_output.h"
#include "programs/battery-host/support/text_format.h"

LiveController::LiveController(RunEvents& events, PluginLines& plugin_lines, std::ostream* trace)
    : events_(events), plugin_lines_(plugin_lines), trace_(trace) {}

void LiveController::Add(DeviceSlot& slot) {
  last_device_ = nullptr;
  by_device_[slot.device.get()] = &slot;
  by_data_id_[slot.config.data_id] = &slot;
}

void LiveController::Remove(const DeviceSlot& slot) {
  last_device_ = nullptr;
  by_device_.erase(slot.device.get());
  by_data_id_.erase(slot.config.data_id);
}

void LiveController::Clear() {
  last_device_ = nullptr;
  by_device_.clear();
  by_data_id_.clear();
}

DeviceSlot& LiveController::Slot(PXHVDevice& device) {
  // A device makes some forty calls a cycle in a row: the last one found is
  // looked up once.
  if (&device != last_device_) {
    last_slot_ = by_device_.at(&device);
    last_device_ = &device;
  }
  plugin_lines_.SetSubject(last_slot_->config.data_id);
  return *last_slot_;
}

int LiveController::SendData(PXHSPDevice& device, const unsigned char* data, unsigned int length) {
  Slot(device).line->Send(device, data, length);
  return static_cast<int>(length);
}

// The plug-in calls the base RefreshStatus once at the start of each cycle.
void LiveController::RefreshStatus(PXHSPDevice& device) {
  DeviceSlot& slot = Slot(device);
  ++slot.state.started;
  slot.line->CycleStarted(device, slot.state.started);
}

// The plug-in publishes the record before it copies the cycle's measurements
// in: it holds the cycle before's values (or a restored record's) with this
// cycle's time. It is shown in the trace; the record line comes with the history.
int LiveController::SendSP(PXHVDevice& device, int sp_id, const unsigned char* data,
                           unsigned int length, bool) {
  DeviceSlot& slot = Slot(device);
  if (trace_ != nullptr) {
    *trace_ << "battery-host: " << slot.config.data_id << " sp " << sp_id << ' '
            << host_text::Hex(data, length) << " (" << slot.line->Name() << ')' << std::endl;
  }
  // The threshold checks of the cycle follow.
  slot.group_voltage_checked = false;
  return 0;
}

namespace {

RecordContext ContextOf(const Battery32_Data_t& record, bool group_voltage_checked) {
  RecordContext context;
  context.group_voltage_valid = group_voltage_checked;
  if (const auto local = SampleLocalTime(record)) {
    context.utc_offset_minutes = host_text::UtcOffsetWhenRecent(*local, std::time(nullptr));
  }
  return context;
}

}  // namespace

// At the end of each completed cycle: the cycle's own record, saved before it
// is published, so a record that was published is on disk when the host dies.
int LiveController::SaveDeviceHistory(PXHVDevice& device, const unsigned char* data,
                                      unsigned int length) {
  DeviceSlot& slot = Slot(device);
  bool saved = false;
  if (length == battery_record::kSize) {
    HostRecord record{};
    std::memcpy(&record.data, data, sizeof record.data);
    record.context = ContextOf(record.data, slot.group_voltage_checked);
    saved = slot.history.Save(data, length, record.context);
    slot.state.newest = record;
    slot.state.newest_at = DeviceState::Clock::now();
    events_.Record(slot.state, record);
  }
  ++slot.state.completed;
  slot.line->CycleCompleted(*slot.device);
  if (slot.silence) slot.silence->CycleCompleted();
  if (on_completed_) on_completed_(slot);
  return saved ? 0 : -1;
}

bool LiveController::CheckThreshold(PXHVDevice& device, const std::string& name,
                                    const std::string& display_name, const float& value, int) {
  DeviceSlot& slot = Slot(device);
  // The plug-in's own group check has a display name; AO checks have none.
  if (name == battery_names::kGroupVoltage && !display_name.empty()) {
    slot.group_voltage_checked = true;
  }
  // A device without limits (most of them) has nothing to look up: the checks
  // of its cycle cost no more than the call.
  if (!slot.thresholds.HasLimits()) return false;
  const auto crossing = slot.thresholds.Check(name, value);
  if (!crossing) return false;
  events_.Threshold(slot.state, {name, display_name, value, crossing->limit,
                                 ThresholdStateName(crossing->state), crossing->level});
  return true;
}

float LiveController::Get_SP_Value(PXHVDevice&, unsigned int data_id, const std::string& name) {
  const auto found = by_data_id_.find(data_id);
  if (found == by_data_id_.end()) throw std::out_of_range("no device with that data id");
  return found->second->device->Get_Value(data_id, name);
}
