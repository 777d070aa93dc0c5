// What a configuration reload asks of the MQTT upstream, against a real
// mosquitto: a device added after the start is announced at once, and a
// device removed loses its retained messages while the others keep theirs.
// The publisher runs in this process on its own event loop; no program path
// but the broker's is needed. Skipped, saying so, without Debian's mosquitto.

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "programs/battery-host/outputs/mqtt/mqtt_publisher.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/mosquitto.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

class NoEvents final : public RunEvents {
 public:
  void Record(const DeviceState&, const HostRecord&) override {}
  void Threshold(const DeviceState&, const ThresholdEvent&) override {}
  void DeviceEvent(const DeviceState&, const char*) override {}
  void PortEvent(const std::string&, const char*, const std::string&) override {}
};

// A device the publisher reads: its ring (a file in `dir`) and limits.
struct TestDevice {
  TestDevice(const fs::path& dir, unsigned data_id)
      : id(data_id), ring((dir / ("ring-" + std::to_string(id))).string(), 16) {
    FileNotes notes;
    ring.Open(notes);
  }
  UpstreamDevice About() const {
    return {id,
            "Rack " + std::to_string(id),
            0,
            &ring,
            &limits,
            "sim#" + std::to_string(id),
            std::chrono::seconds(3)};
  }
  unsigned id;
  HistoryRing ring;
  ThresholdMonitor limits{{{"temperature", ThresholdLimit{40.0f, std::nullopt, 0.0f, 1}}}};
};

TEST(MqttPublisherTest, DeviceAddedAfterTheStartIsAnnouncedAndARemovedOneIsCleared) {
  const TempFolder folder("mqtt-publisher");
  Mosquitto broker(folder.Folder(), FreePort());
  if (!broker.Found()) GTEST_SKIP() << "no mosquitto here (Debian's mosquitto, mosquitto-clients)";
  std::string log;
  ASSERT_TRUE(broker.Start("", log)) << log;
  std::string errors;
  ASSERT_TRUE(broker.Subscribe({"ha/#", "battery/p/#"}, {}, "publisher-test", errors)) << errors;

  MqttSettings settings;
  settings.host = "127.0.0.1";
  settings.port = broker.Port();
  settings.client_id = "pub-t";
  settings.topic_prefix = "battery/p";
  settings.homeassistant.discovery = true;
  settings.homeassistant.prefix = "ha";
  boost::asio::io_context io;
  NoEvents events;
  std::ostringstream err;
  auto first = std::make_unique<TestDevice>(folder.Folder(), 1001);
  TestDevice second(folder.Folder(), 1002);
  MqttPublisher publisher(io, settings, folder.Folder(), events, err);
  publisher.AddDevice(first->About());
  publisher.Start();

  const auto last = [&](const std::string& topic) {
    const auto said = OnTopic(broker.Received(), topic);
    return said.empty() ? std::optional<Message>() : std::optional<Message>(said.back());
  };
  // The loop runs in short slices until the subscriber has what is awaited.
  const auto run_until = [&](const std::function<bool()>& done) {
    return WaitFor([&] {
      io.run_for(std::chrono::milliseconds(50));
      return done();
    });
  };
  const std::string first_limit = "ha/binary_sensor/pub-t/1001_temperature_limit/config";
  const std::string second_cell = "ha/sensor/pub-t/1002_battery_31_value/config";
  ASSERT_TRUE(run_until([&] { return last(first_limit).has_value(); })) << err.str();

  publisher.AddDevice(second.About());
  ASSERT_TRUE(run_until([&] {
    const auto availability = last("battery/p/1002/availability");
    return last(second_cell) && availability && availability->payload == "online";
  })) << err.str();
  EXPECT_EQ(last(second_cell)->json["device"]["name"].asString(), "Rack 1002");

  publisher.RemoveDevice(1001, MqttPublisher::Removal::kForget);
  first.reset();  // the ring is the reload's to destroy
  ASSERT_TRUE(run_until([&] {
    const auto limit = last(first_limit);
    const auto thresholds = last("battery/p/1001/thresholds");
    return limit && limit->payload.empty() && thresholds && thresholds->payload.empty();
  })) << err.str();
  for (const char* kind : {"availability", "state"}) {
    const auto said = last(std::string("battery/p/1001/") + kind);
    EXPECT_TRUE(!said || said->payload.empty()) << kind;
  }
  EXPECT_EQ(publisher.OutboxDepth(1001), 0u);
  EXPECT_FALSE(last(second_cell)->payload.empty());
  publisher.Finish();
}

}  // namespace
}  // namespace e2e
