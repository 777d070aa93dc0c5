// The library's one exported symbol.

#include <memory>
#include <type_traits>

#include "battery2v_32/provider.h"
#include "host/provider.h"

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"  // called from C++ hosts only
#endif

extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
  ProviderList providers;
  providers.push_back(std::make_shared<Battery2V32Provider>());
  return providers;
}

static_assert(std::is_same_v<decltype(&get_providers), GetProvidersFunction>);
