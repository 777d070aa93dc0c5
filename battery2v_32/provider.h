#pragma once

#include "host/provider.h"

// Makes Battery2V32 devices; holds no data and keeps no record of its devices.
class Battery2V32Provider : public PXHSPDeviceProvider {
 public:
  PXHSPDevice* create() const override;
};
