#pragma once

// A device plug-in loaded with dlopen: its providers, and the devices they make.

#include <memory>
#include <stdexcept>
#include <string>

#include "host/provider.h"

class PluginLibrary {
 public:
  // Loads the library and calls its get_providers; throws std::runtime_error
  // naming the library when it cannot be loaded or offers no serial device.
  explicit PluginLibrary(const std::string& path);
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // A new device from the library's serial-device provider.
  std::unique_ptr<PXHSPDevice> CreateDevice() const;

  // The plug-in beside this program: in a build tree <bin>/../lib, else in
  // the installation's plug-in folder (<bin>/../lib/<multiarch>/battery-host).
  static std::string DefaultPath();

 private:
  void* handle_ = nullptr;
  ProviderList providers_;
  std::shared_ptr<PXHSPDeviceProvider> device_provider_;
};
