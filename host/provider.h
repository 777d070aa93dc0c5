#pragma once

// Plug-in entry: a device library exports one unmangled function,
// `get_providers`, that returns the providers of the device kinds it offers.

#include <memory>
#include <vector>

#include "host/api.h"
#include "host/device.h"

class HOST_API Provider {
 public:
  virtual ~Provider();
};

class HOST_API PXHSPDeviceProvider : public Provider {
 public:
  // Defined in the framework library, so that the class's virtual table and
  // type information live there alone and no plug-in carries a copy.
  ~PXHSPDeviceProvider() override;
  // A new device; the caller owns it and destroys it through its virtual destructor.
  virtual PXHSPDevice* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;

// Name and type of the entry point that every device library exports.
inline constexpr const char* kGetProvidersSymbol = "get_providers";
using GetProvidersFunction = ProviderList (*)();
