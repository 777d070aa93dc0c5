#include "programs/battery-host/plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

PluginLibrary::PluginLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr)
    throw std::runtime_error("cannot load plug-in: " + std::string(dlerror()));
  void* symbol = dlsym(handle_, kGetProvidersSymbol);
  if (symbol == nullptr) {
    dlclose(handle_);
    throw std::runtime_error(path + ": no " + kGetProvidersSymbol);
  }
  const auto get_providers = reinterpret_cast<GetProvidersFunction>(symbol);
  providers_ = get_providers();
  for (const auto& provider : providers_) {
    device_provider_ = std::dynamic_pointer_cast<PXHSPDeviceProvider>(provider);
    if (device_provider_) return;
  }
  providers_.clear();
  dlclose(handle_);
  throw std::runtime_error(path + ": no serial device provider");
}

PluginLibrary::~PluginLibrary() {
  // The providers' code lives in the library: release them before unloading it.
  device_provider_.reset();
  providers_.clear();
  dlclose(handle_);
}

std::unique_ptr<PXHSPDevice> PluginLibrary::CreateDevice() const {
  return std::unique_ptr<PXHSPDevice>(device_provider_->create());
}

namespace {

constexpr const char* kPluginFile = "libbattery2v_32.so";

std::string ProgramFolder() {
  char exe[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string dir = ".";
  if (length > 0) {
    dir.assign(exe, static_cast<std::size_t>(length));
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  }
  return dir;
}

}  // namespace

std::string PluginLibrary::DefaultPath() {
  const std::string dir = ProgramFolder();
  const std::string installed = dir + "/" BATTERY_PLUGIN_DIR_FROM_BIN "/" + kPluginFile;
  const std::string built = dir + "/../lib/" + kPluginFile;
  return access(built.c_str(), F_OK) == 0 ? built : installed;
}
