#pragma once

// The work that the benchmarks and the instruction counts measure: a
// Battery2V32 from the plug-in library on a no-op host (a plain
// PXHController, whose operations do nothing), polled with the answers of a
// healthy monitor.

#include <json/value.h>

#include <memory>
#include <string>

#include "host/controller.h"
#include "host/device.h"
#include "tests/support/frames.h"

namespace bench {

// Bus address of the monitor as it answers; the host stores it with the top bit set.
inline constexpr std::uint8_t kMonitorAddress = 0x01;
inline constexpr unsigned int kDataId = 1;

// Answers of a monitor with 32 cells from 2.190 V to 2.221 V, a group
// voltage of 70.72 V (in hundredths), 12.5 A and 23.45 degrees. The same
// answers every cycle, so that change detection compares all 32 cells.
struct MonitorAnswers {
  test_frames::Bytes cells =
      test_frames::CellAnswer(kMonitorAddress, test_frames::RisingCells(2190));
  test_frames::Bytes group_voltage = test_frames::ShortAnswer(kMonitorAddress, 7072);
  test_frames::Bytes group_current = test_frames::ShortAnswer(kMonitorAddress, 125);
  test_frames::Bytes temperature = test_frames::ShortAnswer(kMonitorAddress, 2345);
};

// The configuration of a monitor as integrators write it: device settings
// and, in threshold mode, a threshold entry for each of the 35 checked values.
Json::Value TypicalConfig();

// The host's Init of a new device: the host, the data id and the bus address
// (stored with the top bit set, as the host keeps it).
void InitDevice(PXHSPDevice& device, const std::shared_ptr<PXHController>& host);

// A device on a no-op host, set up with the typical configuration (its
// diagnostic lines go to standard output).
class PollingWorkload {
 public:
  explicit PollingWorkload(std::unique_ptr<PXHSPDevice> device);

  // One polling cycle as the host drives it: the poll tick, then the four
  // answers, each delivered whole; the last one ends the cycle with
  // RoundDone. False when a step did not give the result of a clean cycle.
  bool RunCycle();

  VDeviceInterface& Device() { return *device_; }

 private:
  int Deliver(test_frames::Bytes& answer);

  std::shared_ptr<PXHController> host_ = std::make_shared<PXHController>();
  std::unique_ptr<PXHSPDevice> device_;
  MonitorAnswers answers_;
};

// Redirects standard output (file descriptor 1) to /dev/null while it lives:
// the device's diagnostic lines are still written and flushed, by the same
// calls as in the host, but do not mix with the benchmark report.
class StdoutToDevNull {
 public:
  StdoutToDevNull();
  ~StdoutToDevNull();
  StdoutToDevNull(const StdoutToDevNull&) = delete;
  StdoutToDevNull& operator=(const StdoutToDevNull&) = delete;

 private:
  int saved_stdout_ = -1;
};

}  // namespace bench
