#pragma once

// One device's records on their way to the broker. The device's history ring
// is the outbox: entries after the acknowledged sequence number wait there,
// and are handed out in sequence order. The acknowledged number moves on only
// over an unbroken run of acknowledged entries, so a disconnect sends again
// from the first entry not acknowledged (duplicates are possible only for
// what was in flight). Entries the ring overwrote (or that a crash tore)
// before they were sent are lost: they are counted and handed out as a range,
// each entry at most once however often the connection drops.

#include <cstdint>
#include <deque>
#include <optional>

#include "programs/battery-host/state/history_ring.h"

struct LostRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

class Outbox {
 public:
  Outbox(const HistoryRing& ring, std::uint64_t acked);

  // The next entry to send, or nothing when every entry held has been sent.
  // Entries skipped because they are no longer held come out in `lost`
  // (when not already reported).
  std::optional<HistoryRing::Entry> Next(std::optional<LostRange>& lost);
  // Sent entries wait in flight until Acknowledged.
  void Sent(std::uint64_t sequence);
  void Acknowledged(std::uint64_t sequence);
  // The connection is gone: what was in flight is sent again.
  void Rewind();

  std::uint64_t Acked() const { return acked_; }
  // Entries written to the ring that nothing has been sent for.
  std::uint64_t Unsent() const;
  // Entries held in the ring that the broker has not acknowledged.
  std::uint64_t Depth() const;
  std::size_t InFlight() const { return in_flight_.size(); }

 private:
  struct Pending {
    std::uint64_t sequence;
    bool done;  // acknowledged, or lost
  };
  void Settle();

  const HistoryRing& ring_;
  std::uint64_t acked_;
  std::uint64_t next_;  // the first sequence number not sent
  // In sequence order: each entry settles everything after the one before it.
  std::deque<Pending> in_flight_;
  std::uint64_t reported_ = 0;  // lost entries are reported up to here
};
