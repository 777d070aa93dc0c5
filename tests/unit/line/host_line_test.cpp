// The host line: what reaches the device and when, around the poll tick.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "programs/battery-host/line/host_line.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class NullTransport : public LineTransport {
 public:
  void Start() override {}
  bool IsUp() const override { return true; }
  void Write(const std::uint8_t*, std::size_t) override {}
  void ReadPending() override {}
};

class ChunkDevice : public PXHSPDevice {
 public:
  explicit ChunkDevice(std::vector<std::string>& log) : log_(log) {}
  int RefreshStatus() override {
    log_.push_back("tick");
    return 1;
  }
  int process(unsigned char*, unsigned int size) override {
    log_.push_back("rx " + std::to_string(size));
    if (on_rx) on_rx();
    return 1;
  }
  using PXHSPDevice::LoadFromCache;
  int LoadFromCache(const unsigned char*, int) override { return 0; }
  std::function<void()> on_rx;

 private:
  std::vector<std::string>& log_;
};

// A line with one device that has sent its request; `quiet` as configured.
struct OneDeviceLine {
  explicit OneDeviceLine(std::chrono::milliseconds quiet)
      : line(io, "L", PortSettings{false, quiet}, nullptr, err,
             [](const PXHSPDevice&) { return 1u; }) {
    line.SetTransport(std::make_unique<NullTransport>());
    line.Arbiter().Add(&device);
    line.Tick();
    const std::uint8_t request[] = {0xFE, 0xFE, 0x01, 0xA2, 0xA3};
    line.Send(device, request, sizeof request);
  }
  void Receive(Bytes bytes) { line.OnBytes(bytes.data(), bytes.size()); }

  boost::asio::io_context io;
  std::ostringstream err;
  std::vector<std::string> log;
  ChunkDevice device{log};
  HostLine line;
};

TEST(HostLineTest, WithoutAQuietGapEveryReadGoesOverAsItComes) {
  OneDeviceLine bus(std::chrono::milliseconds(0));
  bus.Receive({0xED, 0x01, 0x02});
  bus.Receive({0xBF, 0xC2});
  EXPECT_EQ(bus.log, (std::vector<std::string>{"tick", "rx 3", "rx 2"}));
}

TEST(HostLineTest, GatheredBytesGoToTheDeviceBeforeThePollTick) {
  OneDeviceLine bus(std::chrono::milliseconds(1000));
  bus.Receive({0xED, 0x01, 0x02});
  bus.Receive({0xBF, 0xC2});
  EXPECT_EQ(bus.log, (std::vector<std::string>{"tick"}));
  bus.line.Tick();
  EXPECT_EQ(bus.log, (std::vector<std::string>{"tick", "rx 5", "tick"}));
}

TEST(HostLineTest, AnswerJustBeforeTheTickIsNotFollowedByAResend) {
  OneDeviceLine bus(std::chrono::milliseconds(1000));
  // Like the plug-in, the device answers an accepted answer with its next request.
  bus.device.on_rx = [&bus] {
    const std::uint8_t next[] = {0xFE, 0xFE, 0x01, 0xA3, 0xA4};
    bus.line.Send(bus.device, next, sizeof next);
  };
  bus.Receive({0xED, 0x01, 0x02, 0xBF, 0xC2});
  bus.line.Tick();
  EXPECT_EQ(bus.log, (std::vector<std::string>{"tick", "rx 5"}));
  bus.device.on_rx = nullptr;
  bus.line.Tick();  // still no answer: this tick re-sends
  EXPECT_EQ(bus.log, (std::vector<std::string>{"tick", "rx 5", "tick"}));
}

TEST(HostLineTest, GatheredBytesGoOverOnceTheLineIsQuiet) {
  OneDeviceLine bus(std::chrono::milliseconds(2));
  bus.Receive({0xED, 0x01, 0x02});
  bus.Receive({0xBF, 0xC2});
  bus.io.run();
  EXPECT_EQ(bus.log, (std::vector<std::string>{"tick", "rx 5"}));
}

}  // namespace
