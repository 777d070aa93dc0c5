#pragma once

// What the host serves over HTTP: the status page at "/", the devices as
// JSON at "/api/v1/devices" and the metrics at "/metrics", all read from the
// devices' state when asked. A body is made at most once per kFreshFor and
// shared by the requests that come meanwhile, so however many requests come,
// the loop makes a few bodies a second at most.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/outputs/http/devices_api.h"
#include "programs/battery-host/outputs/http/http_server.h"
#include "programs/battery-host/outputs/http/metrics.h"
#include "programs/battery-host/state/device_state.h"

// How often the page asks again: the shortest poll interval of the devices,
// but no more often than every 200 ms.
std::chrono::milliseconds PageRefresh(const HostConfig& config);

class StatusSite {
 public:
  static constexpr std::chrono::milliseconds kFreshFor{100};
  // Fills `devices` with every device as it is now, in configuration order.
  using ReadStatus = std::function<void(std::vector<DeviceStatus>& devices)>;

  StatusSite(std::chrono::milliseconds refresh, ReadStatus read);

  // The paths; they refer to this site, which must outlive the server.
  std::vector<HttpResource> Resources();
  // Where other outputs add gauges of their own.
  Metrics& HostMetrics() { return metrics_; }

 private:
  using Writer = std::function<void(const std::vector<DeviceStatus>&,
                                    DeviceState::Clock::time_point, std::string&)>;
  struct CachedBody {
    DeviceState::Clock::time_point made{};
    std::shared_ptr<std::string> body;
  };
  std::shared_ptr<const std::string> Body(CachedBody& cache, const Writer& write);

  ReadStatus read_;
  DevicesApi api_;
  Metrics metrics_;
  std::vector<DeviceStatus> devices_;
  CachedBody api_body_, metrics_body_;
  std::shared_ptr<const std::string> page_;
};
