#include "programs/battery-host/outputs/mqtt/outbox.h"

#include <algorithm>

Outbox::Outbox(const HistoryRing& ring, std::uint64_t acked)
    : ring_(ring), acked_(acked), next_(acked + 1), reported_(acked) {}

std::optional<HistoryRing::Entry> Outbox::Next(std::optional<LostRange>& lost) {
  lost.reset();
  if (next_ > ring_.NewestSequence()) return std::nullopt;
  auto entry = ring_.ReadFrom(next_);
  if (!entry) return std::nullopt;
  if (entry->sequence > next_) {
    // Overwritten (or torn) before it was sent: settled, as if acknowledged.
    const std::uint64_t last = entry->sequence - 1;
    if (last > reported_) lost = LostRange{std::max(next_, reported_ + 1), last};
    reported_ = std::max(reported_, last);
    in_flight_.push_back({last, true});
    Settle();
  }
  next_ = entry->sequence + 1;
  return entry;
}

void Outbox::Sent(std::uint64_t sequence) {
  in_flight_.push_back({sequence, false});
}

void Outbox::Acknowledged(std::uint64_t sequence) {
  for (Pending& pending : in_flight_) {
    if (pending.sequence == sequence) pending.done = true;
  }
  Settle();
}

void Outbox::Settle() {
  while (!in_flight_.empty() && in_flight_.front().done) {
    acked_ = in_flight_.front().sequence;
    in_flight_.pop_front();
  }
}

void Outbox::Rewind() {
  in_flight_.clear();
  next_ = acked_ + 1;
}

std::uint64_t Outbox::Unsent() const {
  const std::uint64_t newest = ring_.NewestSequence();
  return newest >= next_ ? newest - next_ + 1 : 0;
}

std::uint64_t Outbox::Depth() const {
  const std::uint64_t newest = ring_.NewestSequence();
  const std::uint64_t oldest = ring_.OldestSequence();
  const std::uint64_t settled = std::max(acked_, oldest > 0 ? oldest - 1 : 0);
  return newest > settled ? newest - settled : 0;
}
