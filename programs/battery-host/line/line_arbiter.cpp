#include "programs/battery-host/line/line_arbiter.h"

void LineArbiter::Tick() {
  if (has_owner_ && waiting_ && turn_ticks_ < kTicksPerTurn && IsActive(owner_)) {
    ++turn_ticks_;
    devices_[owner_]->RefreshStatus();
    return;
  }
  StartNextTurn();
}

void LineArbiter::StartNextTurn() {
  waiting_ = false;
  has_owner_ = false;
  for (std::size_t k = 0; k < devices_.size(); ++k) {
    const std::size_t index = (next_ + k) % devices_.size();
    if (!IsActive(index)) continue;
    owner_ = index;
    next_ = index + 1;
    has_owner_ = true;
    turn_ticks_ = 1;
    devices_[index]->RefreshStatus();
    return;
  }
}

bool LineArbiter::Route(unsigned char* data, unsigned int size) {
  if (!waiting_) return false;
  if (devices_[owner_]->process(data, size) == 0) waiting_ = false;
  return true;
}

void LineArbiter::Sent(const PXHSPDevice& device) {
  ++requests_sent_;
  if (has_owner_ && devices_[owner_] == &device) waiting_ = true;
}
