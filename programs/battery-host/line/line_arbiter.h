#pragma once

// Turns on a line shared by several devices (an RS-485 bus). Only the device
// whose turn it is may have a request outstanding; every received chunk goes
// to it. A turn starts with the device's poll tick and ends when the device's
// exchange ends (process returns 0: cycle completed or given up) or after
// kTicksPerTurn ticks (the tick that started the cycle and the plug-in's three
// re-sends), so a silent monitor cannot hold the line. Each poll tick of the
// line goes to the device whose turn it is, or starts the next device's turn.
// A line with one device ticks it on every poll tick.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "host/device.h"

class LineArbiter {
 public:
  static constexpr int kTicksPerTurn = 4;
  // Whether a device still takes part (it may have completed its cycles).
  using Active = std::function<bool(std::size_t index)>;

  LineArbiter() = default;
  void Add(PXHSPDevice* device) { devices_.push_back(device); }
  void SetActive(Active active) { active_ = std::move(active); }

  void Tick();
  // A chunk from the line; false when no device was waiting for one.
  bool Route(unsigned char* data, unsigned int size);
  // The device has written a request on the line.
  void Sent(const PXHSPDevice& device);
  // The device whose exchange is under way, or nullptr.
  PXHSPDevice* Owner() const { return waiting_ ? devices_[owner_] : nullptr; }
  // Requests written on the line so far, by any device.
  std::uint64_t RequestsSent() const { return requests_sent_; }

 private:
  bool IsActive(std::size_t index) const { return !active_ || active_(index); }
  void StartNextTurn();

  std::vector<PXHSPDevice*> devices_;
  Active active_;
  std::size_t owner_ = 0;
  std::size_t next_ = 0;
  bool has_owner_ = false;
  bool waiting_ = false;
  int turn_ticks_ = 0;
  std::uint64_t requests_sent_ = 0;
};
