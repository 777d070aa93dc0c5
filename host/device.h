#pragma once

// The host framework's device classes, as device plug-ins derive from them.
//
//   VDeviceInterface            what the host asks of every device
//     PXHVDevice                a device inside the host: life cycle, SP data,
//                               thresholds, AO reports, history
//       PXHSPDevice             a device behind a serial port
//
// Every call that a device makes on the host goes to the PXHController the
// device was initialised with (directly through Init, or through the parent
// device given to InitV). The controller is the host program's side of the
// boundary; see host/controller.h.
//
// The order of the virtual operations below is part of the plug-in ABI: the
// host calls plug-ins through these tables. Do not reorder, insert or remove.

#include <json/value.h>
#include <boost/date_time/posix_time/ptime.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/api.h"

class PXHController;
class PXHVDevice;
struct DeviceAccess;

// One pending batch threshold rule: the host queues them on a device and the
// device hands them back once per polling cycle.
struct HOST_API rule_value {
  std::string variable;
  int level = 0;
  float limit = 0.0f;
};

enum class EnumParity { None, Odd, Even, Mark, Space };

class HOST_API VDeviceInterface {
 public:
  virtual float Get_Value(unsigned int /*data_id*/, const std::string& /*name*/) const {
    throw std::out_of_range("数据未就绪");
  }
  virtual int LoadFromCache(const std::string& image) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()),
                         static_cast<int>(image.size()));
  }
  virtual int LoadFromCache(const unsigned char* data, int length) = 0;
  virtual unsigned int DataId() const { return data_id_; }
  virtual const std::string& DeviceType() const { return device_type_; }
  virtual int DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_length*/, void* /*out*/,
                              int /*out_length*/, int& /*result*/) {
    return -2;
  }
  virtual void RoundDone() {}
  virtual bool UseControllerDb() { return use_controller_db_; }

 protected:
  VDeviceInterface() = default;
  // Devices are destroyed through PXHVDevice's virtual destructor only.
  ~VDeviceInterface() = default;
  VDeviceInterface(const VDeviceInterface&) = default;
  VDeviceInterface& operator=(const VDeviceInterface&) = default;

  unsigned int data_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;
};

class HOST_API PXHVDevice : public VDeviceInterface,
                            public std::enable_shared_from_this<PXHVDevice> {
 public:
  PXHVDevice();
  PXHVDevice(const PXHVDevice&) = delete;
  PXHVDevice& operator=(const PXHVDevice&) = delete;

  virtual ~PXHVDevice();
  virtual void Reset();
  // Initialisation by another virtual device: calls reach that device's controller.
  virtual int InitV(PXHVDevice* parent, unsigned int data_id, const Json::Value& config);
  // Initialisation by the host; `config` is the host's own description of the device.
  virtual int Init(std::weak_ptr<PXHController> controller, unsigned int data_id,
                   const Json::Value& config);
  virtual int InitSetting(const Json::Value& config);
  virtual bool IsSupportDevice(const std::string& type) const;
  virtual std::shared_ptr<PXHVDevice> GetChildVDevice(unsigned int data_id);
  virtual std::vector<std::shared_ptr<PXHVDevice>> GetAllChildVDevices();
  virtual int SendSP(int sp_id, const unsigned char* data, unsigned int length, bool flag);
  virtual int SendDelayData(int delay);
  virtual int SendDoData(int channel, char value);
  virtual int ReadDi(int channel);
  virtual float ReadAi(int channel);
  // Another device's current value; throws std::out_of_range when the host has none.
  virtual float Get_SP_Value(unsigned int data_id, const std::string& name);
  // The poll tick. The host calls it on the device whose turn it is on the
  // line: once to start the device's polling cycle, and again each time an
  // answer has not come within the port's answer timeout (at most three times
  // a cycle). The host does not read the result (the plug-in always returns
  // 1; `battery-host replay` prints it). It relies on what the call does:
  //   - a cycle starts with a call to PXHSPDevice::RefreshStatus, which tells
  //     the host (PXHController::RefreshStatus), followed by the cycle's first
  //     request through SendData;
  //   - a request sent without that call is a re-send of the one outstanding;
  //   - a call that sends nothing ends the turn: the cycle is given up.
  virtual int RefreshStatus();
  // Hands the device a chunk of bytes from its line while the host awaits its
  // answer. The live host always passes the bytes it read; `data` may also be
  // null (`battery-host replay`'s rx-null), which the plug-in takes as a chunk
  // without bytes of that length. The result tells the host whether the exchange goes on:
  //   0         the exchange is over and the host ends the device's turn. It
  //             counts as a completed cycle when the device saved its record
  //             (SaveDeviceHistory) within this call, and as given up
  //             otherwise (an answer refused, a chunk too long, an answer the
  //             device was not waiting for); after a cycle given up the next
  //             request on the line waits until the line is quiet.
  //   non-zero  the device still waits: for the rest of the answer, or for
  //             the answer to the next request, which it has sent through
  //             SendData within this call. The turn goes on and the answer
  //             timeout runs from the last request written.
  // The base versions do nothing and return 0.
  virtual int process(unsigned char* data, unsigned int length);

  bool CheckThreshold(const std::string& name, const std::string& display_name, const float& value,
                      int index);
  bool CheckAOReport(const std::string& name, float value);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  int SaveDeviceHistory(const unsigned char* data, unsigned int length);

 protected:
  std::shared_ptr<PXHController> Controller() const { return controller_.lock(); }

  // Set to 1 at the end of every cycle. The host acts on nothing of it; it
  // stays because `battery-host replay` prints it in its `state` line, which
  // expected traces hold, and tests read it.
  std::int16_t cycle_status_ = 0;
  boost::posix_time::ptime last_update_;
  bool data_ready_ = false;
  // Whether the cycle's values moved away from the record (or a batch rule
  // hit). The host acts on nothing of it; it stays for the same readers as
  // cycle_status_.
  bool changed_ = false;
  std::vector<rule_value> batch_rules_;
  std::vector<std::string> ao_names_;
  std::map<std::string, float> ao_values_;
  std::map<std::string, int> level_map_;
  std::map<std::string, float> value_map_;

 private:
  friend struct DeviceAccess;

  std::weak_ptr<PXHController> controller_;
  PXHVDevice* parent_ = nullptr;
};

// Size of the serial receive buffer that the host gives every port device.
inline constexpr std::size_t kRxBufferSize = 128;

class HOST_API PXHSPDevice : public PXHVDevice {
 public:
  PXHSPDevice();
  ~PXHSPDevice() override;

  void Reset() override;
  // Reads the bus address from the "address" member of `config` when it holds one.
  int Init(std::weak_ptr<PXHController> controller, unsigned int data_id,
           const Json::Value& config) override;
  int RefreshStatus() override;
  int process(unsigned char* data, unsigned int length) override;

  virtual bool IsProcessing();
  virtual bool IsStalled();
  virtual int SendData(const unsigned char* data, unsigned int length);
  virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
  virtual int OpenPort();
  virtual int ClosePort();

 protected:
  std::uint8_t device_address_ = 0;
  std::array<unsigned char, kRxBufferSize> rx_buffer_{};
  std::uint32_t rx_length_ = 0;
  std::uint32_t baud_rate_ = 9600;

 private:
  friend struct DeviceAccess;
};
