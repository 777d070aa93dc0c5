// Turns on a shared line: one device at a time, a silent one gives the line up.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "programs/battery-host/line/line_arbiter.h"

namespace {

class FakeDevice : public PXHSPDevice {
 public:
  explicit FakeDevice(std::vector<std::string>& log, std::string name)
      : log_(log), name_(std::move(name)) {}
  int RefreshStatus() override {
    log_.push_back(name_ + " tick");
    return 1;
  }
  int process(unsigned char*, unsigned int) override {
    log_.push_back(name_ + " rx");
    return answer_;
  }
  using PXHSPDevice::LoadFromCache;
  int LoadFromCache(const unsigned char*, int) override { return 0; }
  int answer_ = 1;

 private:
  std::vector<std::string>& log_;
  std::string name_;
};

// Two devices on one line, a before b.
class LineArbiterTest : public ::testing::Test {
 protected:
  LineArbiterTest() {
    arbiter.Add(&a);
    arbiter.Add(&b);
  }

  std::vector<std::string> log;
  FakeDevice a{log, "a"};
  FakeDevice b{log, "b"};
  LineArbiter arbiter;
};

TEST_F(LineArbiterTest, OneDeviceAtATimeAndSilentOnesGiveUpTheLine) {
  unsigned char chunk[1] = {0xED};

  arbiter.Tick();  // a's turn
  EXPECT_FALSE(arbiter.Route(chunk, 1)) << "nothing was sent yet";
  arbiter.Sent(b);  // not b's turn: ignored
  EXPECT_EQ(arbiter.Owner(), nullptr);
  arbiter.Sent(a);
  EXPECT_EQ(arbiter.Owner(), &a);
  EXPECT_TRUE(arbiter.Route(chunk, 1));
  a.answer_ = 0;  // cycle done
  EXPECT_TRUE(arbiter.Route(chunk, 1));
  EXPECT_FALSE(arbiter.Route(chunk, 1)) << "a's exchange is over";
  arbiter.Tick();  // b's turn; b's monitor stays silent
  arbiter.Sent(b);
  for (int i = 1; i < LineArbiter::kTicksPerTurn; ++i) arbiter.Tick();
  arbiter.Tick();  // b had its ticks: a again
  EXPECT_EQ(log, (std::vector<std::string>{"a tick", "a rx", "a rx", "b tick", "b tick", "b tick",
                                           "b tick", "a tick"}));
}

TEST_F(LineArbiterTest, InactiveDevicesAreSkipped) {
  arbiter.SetActive([](std::size_t index) { return index == 1; });
  arbiter.Tick();
  arbiter.Tick();
  EXPECT_EQ(log, (std::vector<std::string>{"b tick", "b tick"}));
}

}  // namespace
