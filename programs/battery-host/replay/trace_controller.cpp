#include "programs/battery-host/replay/trace_controller.h"

#include <stdexcept>

#include "programs/battery-host/support/text_format.h"

using host_text::Float;
using host_text::Hex;
using host_text::Quoted;

namespace {
const char* BoolText(bool value) {
  return value ? "true" : "false";
}
}  // namespace

void TraceController::AddDevice(unsigned int data_id, const VDeviceInterface* device) {
  devices_[data_id] = device;
}

void TraceController::SetPeerValue(unsigned int data_id, const std::string& name, float value) {
  peers_[{data_id, name}] = value;
}

int TraceController::SendData(PXHSPDevice&, const unsigned char* data, unsigned int length) {
  sink_("tx " + Hex(data, length));
  return static_cast<int>(length);
}

void TraceController::RefreshStatus(PXHSPDevice&) {
  sink_("refresh");
}

void TraceController::Reset(PXHVDevice&) {
  sink_("reset");
}

int TraceController::SendSP(PXHVDevice&, int sp_id, const unsigned char* data, unsigned int length,
                            bool flag) {
  sink_("sp " + std::to_string(sp_id) + (flag ? " 1 " : " 0 ") + Hex(data, length));
  return 0;
}

int TraceController::SaveDeviceHistory(PXHVDevice&, const unsigned char* data,
                                       unsigned int length) {
  sink_("history " + Hex(data, length));
  return 0;
}

bool TraceController::CheckThreshold(PXHVDevice&, const std::string& name,
                                     const std::string& display_name, const float& value,
                                     int index) {
  sink_("threshold " + Quoted(name) + ' ' + Quoted(display_name) + ' ' + Float(value) + ' ' +
        std::to_string(index));
  return false;
}

bool TraceController::CheckAOReport(PXHVDevice&, const std::string& name, float value) {
  sink_("aoreport " + Quoted(name) + ' ' + Float(value) + " -> " + BoolText(ao_report_));
  return ao_report_;
}

bool TraceController::DoBatchCheckThreshold(PXHVDevice&, const std::vector<rule_value>& rules) {
  sink_("batchcheck " + std::to_string(rules.size()) + " -> " + BoolText(batch_hit_));
  return batch_hit_;
}

float TraceController::Get_SP_Value(PXHVDevice&, unsigned int data_id, const std::string& name) {
  const std::string call = "sp-value " + std::to_string(data_id) + ' ' + Quoted(name);
  try {
    const float value = LookUp(data_id, name);
    sink_(call + " -> " + Float(value));
    return value;
  } catch (const std::out_of_range&) {
    sink_(call + " !! out_of_range");
    throw;
  }
}

float TraceController::LookUp(unsigned int data_id, const std::string& name) const {
  const auto device = devices_.find(data_id);
  if (device != devices_.end()) return device->second->Get_Value(data_id, name);
  const auto peer = peers_.find({data_id, name});
  if (peer == peers_.end()) throw std::out_of_range("no such peer value");
  return peer->second;
}
