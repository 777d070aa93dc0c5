// The device object: class chain, constructor values, provider, teardown.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <type_traits>

#include "battery2v_32/provider.h"
#include "tests/support/device_harness.h"

namespace {

static_assert(std::is_base_of_v<UniDataDevice<Battery32_Data_t, Battery, 5011>, Battery2V32>);
static_assert(std::is_base_of_v<Battery, UniDataDevice<Battery32_Data_t, Battery, 5011>>);
static_assert(std::is_base_of_v<PXHSPDevice, Battery>);
static_assert(std::is_base_of_v<PXHVDevice, PXHSPDevice>);
static_assert(std::is_base_of_v<VDeviceInterface, PXHVDevice>);
static_assert(std::is_base_of_v<std::enable_shared_from_this<PXHVDevice>, PXHVDevice>);
static_assert(std::is_base_of_v<PXHSPDeviceProvider, Battery2V32Provider>);
static_assert(std::is_base_of_v<Provider, PXHSPDeviceProvider>);
static_assert(std::is_abstract_v<Battery>, "Battery leaves the record and cell decoding open");
static_assert(std::has_virtual_destructor_v<PXHVDevice>);
static_assert(!std::has_virtual_destructor_v<VDeviceInterface>);
static_assert(sizeof(Battery2V32Provider) == sizeof(void*), "the provider holds no data");

TEST(DeviceObjectTest, NewDeviceHoldsConstructorValues) {
  Battery2V32Probe d;
  EXPECT_EQ(d.DeviceType(), "battery2v_32");
  EXPECT_EQ(d.cell_count_, 32);
  EXPECT_TRUE(std::all_of(d.cells_.begin(), d.cells_.end(), [](float v) { return v == 0.0f; }));
  const auto* record = battery_record::Bytes(d.data_);
  EXPECT_TRUE(std::all_of(record, record + 152, [](unsigned char b) { return b == 0; }));
  EXPECT_EQ(d.b_mode_, 1);
  EXPECT_TRUE(d.alarm_desc_.empty());
  EXPECT_TRUE(d.signal_names_.empty());
  EXPECT_EQ(d.cmd_type_, 0);
  EXPECT_EQ(d.version_, 1);
  EXPECT_EQ(d.dir_, 0);
  EXPECT_EQ(d.retry_count_, 0);
  EXPECT_EQ(d.group_voltage_, 0.0f);
  EXPECT_EQ(d.group_current_, 0.0f);
  EXPECT_EQ(d.temperature_, 0.0f);
  EXPECT_EQ(d.battery_type_, 0);
  EXPECT_EQ(d.group_a_, 1.0f);
  EXPECT_EQ(d.group_b_, 0.0f);
  EXPECT_EQ(d.battery_adjust_, 0.0f);
  EXPECT_TRUE(d.active_batteries_.empty());
  EXPECT_TRUE(d.group_voltage_ids_.empty());
  EXPECT_TRUE(d.group_voltage_valid_);
  EXPECT_EQ(d.battery_start_, 0);
  EXPECT_EQ(d.current_ratio_, 0);
  EXPECT_EQ(d.r_data_id_, 0);
  EXPECT_TRUE(d.r_current_field_.empty());
  EXPECT_EQ(d.save_interval_, 28800);
  EXPECT_EQ(d.t0_, 0.0f);
  EXPECT_EQ(d.t31_, 0.0f);
  EXPECT_EQ(d.baud_rate_, 19200u);
  EXPECT_FALSE(d.data_ready_);
  EXPECT_EQ(d.rx_length_, 0u);
}

TEST(DeviceObjectTest, ProviderMakesIndependentDevices) {
  const Battery2V32Provider provider;
  std::unique_ptr<PXHSPDevice> first(provider.create());
  std::unique_ptr<PXHSPDevice> second(provider.create());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first, second);
  EXPECT_NE(dynamic_cast<Battery2V32*>(first.get()), nullptr);
  EXPECT_EQ(second->DeviceType(), "battery2v_32");

  // A setting given to one device leaves the other as it was.
  Json::Value config;
  config["appSetting"]["version"] = 2;
  first->InitSetting(config);
  auto* host = new RecordingController;
  std::shared_ptr<PXHController> owner(host);
  first->Init(owner, 1, Json::Value(Json::objectValue));
  second->Init(owner, 2, Json::Value(Json::objectValue));
  first->RefreshStatus();
  EXPECT_EQ(first->DataId(), 1u);
  EXPECT_EQ(second->DataId(), 2u);
  EXPECT_TRUE(second->IsSupportDevice("battery2v_32"));
  EXPECT_EQ(host->events.size(), 2u);  // only the first device started a cycle
}

TEST(DeviceObjectTest, TeardownMakesNoHostCalls) {
  auto host = std::make_shared<RecordingController>();
  {
    auto device = std::make_unique<Battery2V32Probe>();
    device->Init(host, 3, Json::Value(Json::objectValue));
  }
  {
    // Destroyed mid-cycle, with bytes held: still nothing goes out.
    std::unique_ptr<PXHSPDevice> device(Battery2V32Provider().create());
    device->Init(host, 4, Json::Value(Json::objectValue));
    device->RefreshStatus();
    unsigned char partial[] = {0xED, 0x01, 0x07};
    device->process(partial, sizeof partial);
    host->events.clear();
  }
  EXPECT_TRUE(host->events.empty());
}

TEST(DeviceObjectTest, InterfaceDefaults) {
  struct Minimal : PXHSPDevice {
    using PXHSPDevice::LoadFromCache;
    int LoadFromCache(const unsigned char*, int length) override { return length; }
  } minimal;
  int result = 5;
  EXPECT_EQ(minimal.DeviceIoControl(100, nullptr, 0, nullptr, 0, result), -2);
  EXPECT_EQ(result, 5);
  try {
    minimal.Get_Value(0, "group_voltage");
    FAIL() << "the interface default answers nothing";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "数据未就绪");
  }
  EXPECT_EQ(minimal.LoadFromCache(std::string(9, 'x')), 9);  // the string form forwards
  EXPECT_EQ(minimal.GetChildVDevice(1), nullptr);
  EXPECT_TRUE(minimal.GetAllChildVDevices().empty());
}

}  // namespace
