#include "programs/battery-host/outputs/http/status_site.h"

#include <algorithm>

#include "programs/battery-host/outputs/http/status_page.h"

namespace {

constexpr std::chrono::milliseconds kShortestRefresh{200};

}  // namespace

std::chrono::milliseconds PageRefresh(const HostConfig& config) {
  auto shortest = config.PollInterval(config.devices.front());
  for (const DeviceConfig& device : config.devices) {
    shortest = std::min(shortest, config.PollInterval(device));
  }
  return std::max(shortest, kShortestRefresh);
}

StatusSite::StatusSite(std::chrono::milliseconds refresh, ReadStatus read)
    : read_(std::move(read)),
      api_(refresh),
      page_(std::make_shared<const std::string>(StatusPage())) {}

std::vector<HttpResource> StatusSite::Resources() {
  return {
      {"/", "text/html; charset=utf-8", [this] { return page_; }},
      {"/api/v1/devices", "application/json",
       [this] {
         return Body(api_body_, [this](const auto& devices, auto now, std::string& out) {
           api_.Write(devices, now, out);
         });
       }},
      {"/metrics", "text/plain; version=0.0.4; charset=utf-8",
       [this] {
         return Body(metrics_body_, [this](const auto& devices, auto now, std::string& out) {
           metrics_.Write(devices, now, out);
         });
       }},
  };
}

std::shared_ptr<const std::string> StatusSite::Body(CachedBody& cache, const Writer& write) {
  const auto now = DeviceState::Clock::now();
  if (cache.body && now - cache.made < kFreshFor) return cache.body;
  // The last body's buffer is reused once no response holds it any more.
  if (!cache.body || cache.body.use_count() > 1) cache.body = std::make_shared<std::string>();
  read_(devices_);
  write(devices_, now, *cache.body);
  cache.made = now;
  return cache.body;
}
