#include "bench/workload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include "host/device_access.h"

namespace bench {

Json::Value TypicalConfig() {
  Json::Value config(Json::objectValue);
  Json::Value& settings = config["appSetting"];
  settings["b_mode"] = 3;
  settings["version"] = 2;
  settings["group_a"] = 1.0;
  settings["group_b"] = 0.0;
  settings["battery_adjust"] = 0.0;
  settings["dir"] = 0;
  settings["save_interval"] = 10;
  settings["battery_start"] = 0;

  Json::Value& thresholds = config["thresholdSetting"];
  const auto add_threshold = [&thresholds](const std::string& variable, const std::string& label,
                                           int signal) {
    Json::Value& entry = thresholds[variable];
    entry["SignalName"] = label;
    entry["NMAlarmID"] = 1000 + signal;
    entry["ID"] = "B" + std::to_string(signal);
    entry["SignalNumber"] = signal;
  };
  add_threshold("group_voltage", "整组电压", 1);
  add_threshold("group_current", "电流", 2);
  add_threshold("temperature", "温度", 3);
  for (int cell = 0; cell < 32; ++cell) {
    add_threshold("battery_" + std::to_string(cell) + "_value",
                  "第" + std::to_string(cell + 1) + "节电池", 4 + cell);
  }
  return config;
}

void InitDevice(PXHSPDevice& device, const std::shared_ptr<PXHController>& host) {
  Json::Value host_config(Json::objectValue);
  host_config["address"] = kMonitorAddress | 0x80;
  device.Init(host, kDataId, host_config);
}

PollingWorkload::PollingWorkload(std::unique_ptr<PXHSPDevice> device) : device_(std::move(device)) {
  InitDevice(*device_, host_);
  device_->InitSetting(TypicalConfig());
}

int PollingWorkload::Deliver(test_frames::Bytes& answer) {
  return device_->process(answer.data(), static_cast<unsigned int>(answer.size()));
}

bool PollingWorkload::RunCycle() {
  // The host's own bookkeeping: RoundDone marks the cycle as done.
  DeviceAccess::CycleStatus(*device_) = 0;
  const int tick = device_->RefreshStatus();
  const int cells = Deliver(answers_.cells);
  const int group_voltage = Deliver(answers_.group_voltage);
  const int group_current = Deliver(answers_.group_current);
  const int temperature = Deliver(answers_.temperature);
  return tick == 1 && cells == 1 && group_voltage == 1 && group_current == 1 && temperature == 0 &&
         DeviceAccess::CycleStatus(*device_) == 1;
}

StdoutToDevNull::StdoutToDevNull() {
  std::cout.flush();
  std::fflush(stdout);
  const int null_device = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_device < 0) throw std::runtime_error("cannot open /dev/null");
  saved_stdout_ = dup(STDOUT_FILENO);
  const bool redirected = saved_stdout_ >= 0 && dup2(null_device, STDOUT_FILENO) >= 0;
  close(null_device);
  if (!redirected) throw std::runtime_error("cannot redirect standard output to /dev/null");
}

StdoutToDevNull::~StdoutToDevNull() {
  std::cout.flush();
  std::fflush(stdout);
  dup2(saved_stdout_, STDOUT_FILENO);
  close(saved_stdout_);
}

}  // namespace bench
