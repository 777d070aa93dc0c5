#include "host/controller.h"

#include <stdexcept>

PXHController::~PXHController() = default;

int PXHController::SendData(PXHSPDevice&, const unsigned char*, unsigned int length) {
  return static_cast<int>(length);
}

int PXHController::SendParityData(PXHSPDevice& device, const unsigned char* data,
                                  unsigned int length, EnumParity) {
  return SendData(device, data, length);
}

int PXHController::OpenPort(PXHSPDevice&) {
  return 0;
}
int PXHController::ClosePort(PXHSPDevice&) {
  return 0;
}
void PXHController::RefreshStatus(PXHSPDevice&) {}
void PXHController::Reset(PXHVDevice&) {}

int PXHController::SendSP(PXHVDevice&, int, const unsigned char*, unsigned int, bool) {
  return 0;
}

int PXHController::SaveDeviceHistory(PXHVDevice&, const unsigned char*, unsigned int) {
  return 0;
}

int PXHController::SendDelayData(PXHVDevice&, int) {
  return 0;
}
int PXHController::SendDoData(PXHVDevice&, int, char) {
  return 0;
}
int PXHController::ReadDi(PXHVDevice&, int) {
  return 0;
}
float PXHController::ReadAi(PXHVDevice&, int) {
  return 0.0f;
}

float PXHController::Get_SP_Value(PXHVDevice&, unsigned int, const std::string&) {
  throw std::out_of_range("no such value");
}

bool PXHController::CheckThreshold(PXHVDevice&, const std::string&, const std::string&,
                                   const float&, int) {
  return false;
}

bool PXHController::CheckAOReport(PXHVDevice&, const std::string&, float) {
  return false;
}

bool PXHController::DoBatchCheckThreshold(PXHVDevice&, const std::vector<rule_value>&) {
  return false;
}
