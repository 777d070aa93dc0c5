#pragma once

// The host program's side of the device boundary. Every call that a device
// makes on the host arrives here, with the device that made it, in the order
// the device makes them. A host program derives from PXHController and
// overrides what it needs; the defaults do nothing, answer false, and have no
// values for Get_SP_Value.

#include <string>
#include <vector>

#include "host/api.h"
#include "host/device.h"

class HOST_API PXHController {
 public:
  PXHController() = default;
  PXHController(const PXHController&) = delete;
  PXHController& operator=(const PXHController&) = delete;
  virtual ~PXHController();

  // Serial port of a device.
  virtual int SendData(PXHSPDevice& device, const unsigned char* data, unsigned int length);
  virtual int SendParityData(PXHSPDevice& device, const unsigned char* data, unsigned int length,
                             EnumParity parity);
  virtual int OpenPort(PXHSPDevice& device);
  virtual int ClosePort(PXHSPDevice& device);
  // A device starts a polling cycle.
  virtual void RefreshStatus(PXHSPDevice& device);
  // A device has published its cycle and asks the host to reset its per-cycle state.
  virtual void Reset(PXHVDevice& device);

  // Publication and history.
  virtual int SendSP(PXHVDevice& device, int sp_id, const unsigned char* data, unsigned int length,
                     bool flag);
  virtual int SaveDeviceHistory(PXHVDevice& device, const unsigned char* data, unsigned int length);

  // Outputs and inputs of the controller itself.
  virtual int SendDelayData(PXHVDevice& device, int delay);
  virtual int SendDoData(PXHVDevice& device, int channel, char value);
  virtual int ReadDi(PXHVDevice& device, int channel);
  virtual float ReadAi(PXHVDevice& device, int channel);

  // Value of another device; throws std::out_of_range when there is none.
  virtual float Get_SP_Value(PXHVDevice& device, unsigned int data_id, const std::string& name);

  // Thresholds, AO reports and batch rules.
  virtual bool CheckThreshold(PXHVDevice& device, const std::string& name,
                              const std::string& display_name, const float& value, int index);
  virtual bool CheckAOReport(PXHVDevice& device, const std::string& name, float value);
  virtual bool DoBatchCheckThreshold(PXHVDevice& device, const std::vector<rule_value>& rules);
};
