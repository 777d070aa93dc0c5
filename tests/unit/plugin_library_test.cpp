// The built plug-in as the host sees it: its ELF file and its entry point.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "host/provider.h"
#include "tests/support/elf_file.h"

namespace {

#if defined(__mips__)
constexpr std::uint16_t kExpectedMachine = EM_MIPS;
#elif defined(__x86_64__)
constexpr std::uint16_t kExpectedMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr std::uint16_t kExpectedMachine = EM_AARCH64;
#else
#error "unknown build machine"
#endif

bool IsMangled(const std::string& name) {
  return name.rfind("_Z", 0) == 0;
}

TEST(PluginFileTest, BuiltForThisMachine) {
  const ElfSummary elf = ReadElf(BATTERY_PLUGIN_PATH);
  EXPECT_EQ(elf.elf_class, sizeof(void*) == 4 ? ELFCLASS32 : ELFCLASS64);
  EXPECT_EQ(elf.data, ELFDATA2LSB);
  EXPECT_EQ(elf.machine, kExpectedMachine);
}

TEST(PluginFileTest, OnlyUnmangledExportIsGetProviders) {
  const ElfSummary elf = ReadElf(BATTERY_PLUGIN_PATH);
  std::vector<std::string> unmangled;
  std::copy_if(elf.defined_dynamic_symbols.begin(), elf.defined_dynamic_symbols.end(),
               std::back_inserter(unmangled), [](const std::string& s) { return !IsMangled(s); });
  EXPECT_EQ(unmangled, std::vector<std::string>{"get_providers"});
  // The framework's classes live in the framework library, not in a second copy here.
  for (const std::string& symbol : elf.defined_dynamic_symbols) {
    EXPECT_EQ(symbol.find("PXHSPDevice"), std::string::npos) << symbol;
    EXPECT_EQ(symbol.find("VDeviceInterface"), std::string::npos) << symbol;
  }
}

TEST(PluginFileTest, NeedsOnlyRuntimeJsoncppAndTheFramework) {
  std::set<std::string> allowed = {"libc.so.6",     "libm.so.6",        "libstdc++.so.6",
                                   "libgcc_s.so.1", "libjsoncpp.so.25", BATTERY_FRAMEWORK_SONAME};
  // The dynamic loader, which serves the plug-in's thread-local storage.
  allowed.insert({"ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "ld.so.1"});
  // Runtimes that an instrumented build adds to every library.
  std::istringstream extra(BATTERY_EXTRA_RUNTIME_LIBS);
  for (std::string library; extra >> library;) allowed.insert(library);
  const ElfSummary elf = ReadElf(BATTERY_PLUGIN_PATH);
  EXPECT_FALSE(elf.needed.empty());
  for (const std::string& library : elf.needed) {
    EXPECT_TRUE(allowed.count(library)) << "unexpected dependency " << library;
  }
}

class LoadedPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(BATTERY_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    get_providers_ = reinterpret_cast<GetProvidersFunction>(dlsym(handle_, "get_providers"));
    ASSERT_NE(get_providers_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  static std::shared_ptr<PXHSPDeviceProvider> DeviceProvider(const ProviderList& list) {
    return list.empty() ? nullptr : std::dynamic_pointer_cast<PXHSPDeviceProvider>(list.front());
  }

  void* handle_ = nullptr;
  GetProvidersFunction get_providers_ = nullptr;
};

TEST_F(LoadedPluginTest, OneProviderThatMakesBatteryDevices) {
  const ProviderList providers = get_providers_();
  ASSERT_EQ(providers.size(), 1u);
  const auto provider = DeviceProvider(providers);
  ASSERT_NE(provider, nullptr);
  EXPECT_EQ(providers.front().use_count(), 2);  // the list and `provider`, nobody else
  std::unique_ptr<PXHSPDevice> device(provider->create());
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->DeviceType(), "battery2v_32");
}

TEST_F(LoadedPluginTest, EveryCallMakesANewProvider) {
  ProviderList first = get_providers_();
  const ProviderList second = get_providers_();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first.front(), second.front());
  first.clear();
  std::unique_ptr<PXHSPDevice> device(DeviceProvider(second)->create());
  EXPECT_EQ(device->DeviceType(), "battery2v_32");
}

}  // namespace
