#include "programs/battery-host/line/line_scheduler.h"

#include <algorithm>

LineScheduler::LineScheduler(boost::asio::io_context& io, Timing timing, Wire& wire)
    : timing_(timing), wire_(wire), timer_(io) {}

void LineScheduler::Add(PXHSPDevice* device, Clock::duration poll_interval) {
  members_.push_back(Member{device, poll_interval});
  // Between turns the wait may be for a later device, or for none at all.
  if (phase_ == Phase::kIdle) ScheduleTurn();
}

void LineScheduler::Remove(const PXHSPDevice& device) {
  const auto found =
      std::find_if(members_.begin(), members_.end(),
                   [&device](const Member& member) { return member.device == &device; });
  if (found == members_.end()) return;
  const bool its_turn = Owner() == &device;
  const auto index = static_cast<std::size_t>(found - members_.begin());
  members_.erase(found);
  const auto shift = [index](std::size_t& at) {
    if (at > index) --at;
  };
  shift(owner_);
  shift(next_);
  if (next_ >= members_.size()) next_ = 0;
  if (last_owner_ && *last_owner_ == index) {
    last_owner_.reset();
  } else if (last_owner_) {
    shift(*last_owner_);
  }
  if (!its_turn) return;
  held_.clear();
  guard_ = true;
  ScheduleTurn();
}

void LineScheduler::Up() {
  if (phase_ != Phase::kDown) return;
  ScheduleTurn();
}

void LineScheduler::Down() {
  // The device keeps its request outstanding: its next turn re-sends it.
  if (phase_ == Phase::kAwaiting || phase_ == Phase::kHolding) last_owner_ = owner_;
  phase_ = Phase::kDown;
  held_.clear();
  ++wait_number_;
  timer_.cancel();
}

PXHSPDevice* LineScheduler::Owner() const {
  const bool in_turn = phase_ == Phase::kAwaiting || phase_ == Phase::kHolding;
  return in_turn ? members_[owner_].device : nullptr;
}

const PXHSPDevice* LineScheduler::Blamed() const {
  if (const PXHSPDevice* owner = Owner()) return owner;
  return last_owner_ ? members_[*last_owner_].device : nullptr;
}

std::uint64_t LineScheduler::StaleBytes(const PXHSPDevice& device) const {
  for (const Member& member : members_) {
    if (member.device == &device) return member.stale_bytes;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Turns

std::optional<std::size_t> LineScheduler::DueNow(Clock::time_point now) const {
  for (std::size_t k = 0; k < members_.size(); ++k) {
    const std::size_t index = (next_ + k) % members_.size();
    if (IsActive(index) && members_[index].due <= now) return index;
  }
  return std::nullopt;
}

std::optional<LineScheduler::Clock::time_point> LineScheduler::EarliestDue() const {
  std::optional<Clock::time_point> earliest;
  for (std::size_t index = 0; index < members_.size(); ++index) {
    if (!IsActive(index)) continue;
    if (!earliest || members_[index].due < *earliest) earliest = members_[index].due;
  }
  return earliest;
}

void LineScheduler::ScheduleTurn() {
  phase_ = Phase::kIdle;
  const auto due = EarliestDue();
  if (!due) {
    ++wait_number_;
    timer_.cancel();
    return;
  }
  // Always through the loop, never from inside the call that ended the turn before.
  WaitUntil(std::max(*due, LastActivity() + timing_.frame_gap));
}

void LineScheduler::StartTurn() {
  const Clock::time_point now = Clock::now();
  const auto index = DueNow(now);
  if (!index || now < LastActivity() + timing_.frame_gap) return ScheduleTurn();
  owner_ = *index;
  next_ = (*index + 1) % members_.size();
  phase_ = Phase::kAwaiting;
  Refresh();
  if (!sent_) EndExchange(Outcome::kGivenUp);
}

// RefreshStatus starts a cycle, or re-sends the request that is outstanding.
void LineScheduler::Refresh() {
  in_refresh_ = true;
  cycle_started_ = false;
  sent_ = false;
  wire_.Calling(*members_[owner_].device);
  members_[owner_].device->RefreshStatus();
  in_refresh_ = false;
}

void LineScheduler::CycleStarted(const PXHSPDevice& device) {
  if (Owner() != &device) return;
  Member& member = members_[owner_];
  cycle_started_ = true;
  member.resends = 0;
  member.due = Clock::now() + member.poll_interval;
}

void LineScheduler::CycleCompleted(const PXHSPDevice& device) {
  if (Owner() == &device) cycle_completed_ = true;
}

void LineScheduler::EndExchange(Outcome outcome) {
  ++steps_;
  if (outcome == Outcome::kGivenUp) guard_ = true;
  last_owner_ = owner_;
  ScheduleTurn();
  if (outcome == Outcome::kGivenUp) wire_.GivenUp(*members_[owner_].device);
}

// ---------------------------------------------------------------------------
// Requests and answers

void LineScheduler::Send(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) {
  // Only the device whose turn it is talks; nothing goes out on a line that is down.
  if (Owner() != &device) return;
  const bool resend = in_refresh_ && !cycle_started_;
  if (resend) ++members_[owner_].resends;
  sent_ = true;
  if (guard_ && Clock::now() < QuietAt()) {
    held_.assign(data, data + size);
    held_resend_ = resend;
    phase_ = Phase::kHolding;
    wire_.Hold(device, data, size);
    WaitUntil(QuietAt());
    return;
  }
  Write(data, size, resend);
}

LineScheduler::Clock::time_point LineScheduler::QuietAt() const {
  const Clock::time_point quiet = LastActivity() + timing_.answer_timeout;
  // The first answer came after the re-send: the second may follow as late as
  // the re-send's own answer would.
  if (last_heard_ <= last_resend_) return quiet;
  return std::max(quiet, last_resend_ + timing_.answer_timeout + timing_.longest_exchange);
}

void LineScheduler::Write(const std::uint8_t* data, std::size_t size, bool resend) {
  const Member& member = members_[owner_];
  ++steps_;
  phase_ = Phase::kAwaiting;
  // A re-sent request may draw two answers: the request after it waits for quiet.
  guard_ = resend;
  last_write_ = Clock::now();
  if (resend) last_resend_ = last_write_;
  wire_.Write(*member.device, data, size);
  // Unless the write broke the line.
  if (phase_ == Phase::kAwaiting) WaitUntil(last_write_ + timing_.answer_timeout);
}

LineScheduler::Delivery LineScheduler::Receive(std::uint8_t* data, std::size_t size) {
  if (phase_ != Phase::kAwaiting) {
    if (const PXHSPDevice* blamed = Blamed()) {
      for (Member& member : members_) {
        if (member.device == blamed) member.stale_bytes += size;
      }
    }
    return phase_ == Phase::kHolding ? Delivery::kStale : Delivery::kDropped;
  }
  cycle_completed_ = false;
  sent_ = false;
  wire_.Calling(*members_[owner_].device);
  if (members_[owner_].device->process(data, static_cast<unsigned int>(size)) == 0) {
    EndExchange(cycle_completed_ ? Outcome::kCompleted : Outcome::kGivenUp);
  }
  return Delivery::kToDevice;
}

void LineScheduler::AnswerTimedOut() {
  const std::uint64_t steps = steps_;
  wire_.Drain();
  // What had arrived may have been the answer: the line has moved on.
  if (steps_ != steps || phase_ != Phase::kAwaiting) return;
  if (members_[owner_].resends < kResendsPerCycle) {
    Refresh();
    if (sent_) return;
  }
  EndExchange(Outcome::kGivenUp);
}

void LineScheduler::WriteHeldOnceQuiet() {
  const Clock::time_point quiet = QuietAt();
  if (Clock::now() < quiet) return WaitUntil(quiet);
  Write(held_.data(), held_.size(), held_resend_);
  held_.clear();
}

// ---------------------------------------------------------------------------
// The line's one timer

void LineScheduler::WaitUntil(Clock::time_point when) {
  const std::uint64_t number = ++wait_number_;
  timer_.expires_at(when);
  timer_.async_wait([this, number](const boost::system::error_code& error) {
    if (!error && number == wait_number_) OnTimer();
  });
}

void LineScheduler::OnTimer() {
  switch (phase_) {
    case Phase::kIdle:
      return StartTurn();
    case Phase::kAwaiting:
      return AnswerTimedOut();
    case Phase::kHolding:
      return WriteHeldOnceQuiet();
    case Phase::kDown:
      return;
  }
}
