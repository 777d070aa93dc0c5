#include "host/device.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/controller.h"

PXHVDevice::PXHVDevice() = default;
PXHVDevice::~PXHVDevice() = default;

void PXHVDevice::Reset() {}

int PXHVDevice::InitV(PXHVDevice* parent, unsigned int data_id, const Json::Value& /*config*/) {
  parent_ = parent;
  controller_ = parent != nullptr ? parent->controller_ : std::weak_ptr<PXHController>();
  data_id_ = data_id;
  return 1;
}

int PXHVDevice::Init(std::weak_ptr<PXHController> controller, unsigned int data_id,
                     const Json::Value& /*config*/) {
  parent_ = nullptr;
  controller_ = std::move(controller);
  data_id_ = data_id;
  return 1;
}

int PXHVDevice::InitSetting(const Json::Value& /*config*/) {
  return 1;
}

bool PXHVDevice::IsSupportDevice(const std::string& type) const {
  return type == device_type_;
}

std::shared_ptr<PXHVDevice> PXHVDevice::GetChildVDevice(unsigned int /*data_id*/) {
  return {};
}

std::vector<std::shared_ptr<PXHVDevice>> PXHVDevice::GetAllChildVDevices() {
  return {};
}

int PXHVDevice::SendSP(int sp_id, const unsigned char* data, unsigned int length, bool flag) {
  const auto controller = Controller();
  return controller ? controller->SendSP(*this, sp_id, data, length, flag) : -1;
}

int PXHVDevice::SendDelayData(int delay) {
  const auto controller = Controller();
  return controller ? controller->SendDelayData(*this, delay) : -1;
}

int PXHVDevice::SendDoData(int channel, char value) {
  const auto controller = Controller();
  return controller ? controller->SendDoData(*this, channel, value) : -1;
}

int PXHVDevice::ReadDi(int channel) {
  const auto controller = Controller();
  return controller ? controller->ReadDi(*this, channel) : -1;
}

float PXHVDevice::ReadAi(int channel) {
  const auto controller = Controller();
  return controller ? controller->ReadAi(*this, channel) : 0.0f;
}

float PXHVDevice::Get_SP_Value(unsigned int data_id, const std::string& name) {
  const auto controller = Controller();
  if (!controller) throw std::out_of_range("no controller");
  return controller->Get_SP_Value(*this, data_id, name);
}

int PXHVDevice::RefreshStatus() {
  return 1;
}

int PXHVDevice::process(unsigned char* /*data*/, unsigned int /*length*/) {
  return 0;
}

bool PXHVDevice::CheckThreshold(const std::string& name, const std::string& display_name,
                                const float& value, int index) {
  const auto controller = Controller();
  return controller && controller->CheckThreshold(*this, name, display_name, value, index);
}

bool PXHVDevice::CheckAOReport(const std::string& name, float value) {
  const auto controller = Controller();
  return controller && controller->CheckAOReport(*this, name, value);
}

bool PXHVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  const auto controller = Controller();
  return controller && controller->DoBatchCheckThreshold(*this, rules);
}

int PXHVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
  const auto controller = Controller();
  return controller ? controller->SaveDeviceHistory(*this, data, length) : -1;
}

PXHSPDevice::PXHSPDevice() = default;
PXHSPDevice::~PXHSPDevice() = default;

void PXHSPDevice::Reset() {
  if (const auto controller = Controller()) controller->Reset(*this);
}

int PXHSPDevice::Init(std::weak_ptr<PXHController> controller, unsigned int data_id,
                      const Json::Value& config) {
  PXHVDevice::Init(std::move(controller), data_id, config);
  if (config.isObject()) {
    static constexpr char kAddressKey[] = "address";
    const Json::Value* address = config.find(kAddressKey, kAddressKey + sizeof kAddressKey - 1);
    if (address != nullptr && address->isIntegral()) {
      device_address_ = static_cast<std::uint8_t>(address->asLargestUInt() & 0xFFu);
    }
  }
  return 1;
}

int PXHSPDevice::RefreshStatus() {
  if (const auto controller = Controller()) controller->RefreshStatus(*this);
  return 1;
}

int PXHSPDevice::process(unsigned char* /*data*/, unsigned int /*length*/) {
  return 0;
}

bool PXHSPDevice::IsProcessing() {
  return rx_length_ != 0;
}

bool PXHSPDevice::IsStalled() {
  constexpr long kStallSeconds = 60;
  if (last_update_.is_special()) return true;
  const auto age = boost::posix_time::second_clock::local_time() - last_update_;
  return age.total_seconds() > kStallSeconds;
}

int PXHSPDevice::SendData(const unsigned char* data, unsigned int length) {
  const auto controller = Controller();
  return controller ? controller->SendData(*this, data, length) : -1;
}

int PXHSPDevice::SendParityData(const unsigned char* data, unsigned int length, EnumParity parity) {
  const auto controller = Controller();
  return controller ? controller->SendParityData(*this, data, length, parity) : -1;
}

int PXHSPDevice::OpenPort() {
  const auto controller = Controller();
  return controller ? controller->OpenPort(*this) : -1;
}

int PXHSPDevice::ClosePort() {
  const auto controller = Controller();
  return controller ? controller->ClosePort(*this) : -1;
}
