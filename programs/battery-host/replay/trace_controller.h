#pragma once

// A controller that turns every call a device makes on the host into one line
// of text, the moment the device makes it:
//
//   tx FE FE 01 A1 A2                       SendData
//   refresh                                 base RefreshStatus
//   reset                                   Reset
//   sp 5011 0 <152 bytes>                   SendSP(id, data, length, flag)
//   history <152 bytes>                     SaveDeviceHistory
//   threshold "NAME" "DISPLAY" VALUE INDEX  CheckThreshold
//   aoreport "NAME" VALUE -> true           CheckAOReport
//   batchcheck COUNT -> false               DoBatchCheckThreshold
//   sp-value ID "NAME" -> VALUE             Get_SP_Value (or "!! out_of_range")
//
// Peer values come from registered devices (their Get_Value answers) or from
// fixed values; the answers of CheckAOReport and DoBatchCheckThreshold are set
// by the owner. The replay tool prints these lines; tests collect them.

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/controller.h"

class TraceController : public PXHController {
 public:
  using Sink = std::function<void(const std::string& line)>;

  explicit TraceController(Sink sink) : sink_(std::move(sink)) {}

  // Get_SP_Value(data_id, ...) is answered by `device` from now on.
  void AddDevice(unsigned int data_id, const VDeviceInterface* device);
  void RemoveDevices() { devices_.clear(); }
  // Get_SP_Value(data_id, name) answers `value`, unless a device has that data id.
  void SetPeerValue(unsigned int data_id, const std::string& name, float value);
  void SetAoReport(bool answer) { ao_report_ = answer; }
  void SetBatchHit(bool answer) { batch_hit_ = answer; }

  int SendData(PXHSPDevice& device, const unsigned char* data, unsigned int length) override;
  void RefreshStatus(PXHSPDevice& device) override;
  void Reset(PXHVDevice& device) override;
  int SendSP(PXHVDevice& device, int sp_id, const unsigned char* data, unsigned int length,
             bool flag) override;
  int SaveDeviceHistory(PXHVDevice& device, const unsigned char* data,
                        unsigned int length) override;
  bool CheckThreshold(PXHVDevice& device, const std::string& name, const std::string& display_name,
                      const float& value, int index) override;
  bool CheckAOReport(PXHVDevice& device, const std::string& name, float value) override;
  bool DoBatchCheckThreshold(PXHVDevice& device, const std::vector<rule_value>& rules) override;
  float Get_SP_Value(PXHVDevice& device, unsigned int data_id, const std::string& name) override;

 private:
  float LookUp(unsigned int data_id, const std::string& name) const;

  Sink sink_;
  std::map<unsigned int, const VDeviceInterface*> devices_;
  std::map<std::pair<unsigned int, std::string>, float> peers_;
  bool ao_report_ = false;
  bool batch_hit_ = false;
};
