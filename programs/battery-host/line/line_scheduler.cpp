#include "programs/battery-host/line/line_scheduler.h"

#include <algorithm>

namespace {

// The answer a request draws: the cells, or one value.
std::size_t AnswerSizeOf(const std::uint8_t* data, std::size_t size) {
  const bool cells = size > battery_link::kRequestCommandOffset &&
                     data[battery_link::kRequestCommandOffset] ==
                         static_cast<std::uint8_t>(battery_link::Command::kCellVoltages);
  return cells ? battery_link::kCellAnswerSize : battery_link::kShortAnswerSize;
}

}  // namespace

LineScheduler::LineScheduler(LineClock& clock, Timing timing, Wire& wire)
    : clock_(clock), timing_(timing), wire_(wire) {
  clock_.OnAlarm([this] { OnAlarm(); });
}

void LineScheduler::Add(PXHSPDevice* device, Clock::duration poll_interval) {
  Member member;
  member.device = device;
  member.poll_interval = poll_interval;
  members_.push_back(member);
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
  // Its answer may still come.
  if (phase_ == Phase::kAwaiting) SetGuard(Guard{LandingBound(copy_), 0});
  held_.clear();
  first_copy_.reset();
  ScheduleTurn();
}

void LineScheduler::Up() {
  if (phase_ != Phase::kDown) return;
  ScheduleTurn();
}

void LineScheduler::Down() {
  // The device keeps its request outstanding: its next turn re-sends it.
  if (Owner() != nullptr) last_owner_ = owner_;
  phase_ = Phase::kDown;
  held_.clear();
  first_copy_.reset();
  guard_.reset();
  clock_.ClearAlarm();
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

std::optional<LineScheduler::DeviceTiming> LineScheduler::TimingOf(
    const PXHSPDevice& device) const {
  for (const Member& member : members_) {
    if (member.device != &device) continue;
    return DeviceTiming{TimeoutFor(member, battery_link::kCellAnswerSize),
                        member.latency.Observed(), member.probe_interval.count() > 0};
  }
  return std::nullopt;
}

LineScheduler::Clock::duration LineScheduler::TimeoutFor(const Member& member,
                                                         std::size_t answer_size) const {
  const auto soonest = member.latency.Soonest();
  if (!timing_.learn || !soonest) return timing_.answer_timeout;
  // A re-send is told from its first copy only when the first copy's answer,
  // started within the port's timeout, has come before the re-send's can:
  // its request, the monitor's soonest answer and the answer's line time
  // after the re-send. So the port's timeout is shortened by that much, and
  // not below the monitor's worst latency with its margin.
  const Clock::duration provable =
      timing_.answer_timeout - LineTime(battery_link::kRequestSize) - Clock::duration(*soonest);
  const Clock::duration slowest = LineTime(battery_link::kRequestSize + answer_size) +
                                  timing_.quiet + Clock::duration(*member.latency.Allowance());
  return std::min(timing_.answer_timeout, std::max(provable, slowest));
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
  if (!due) return clock_.ClearAlarm();
  // Always through the loop, never from inside the call that ended the turn before.
  if (*due <= clock_.Now()) return clock_.AlarmSoon();
  clock_.SetAlarm(*due);
}

void LineScheduler::StartTurn() {
  const auto index = DueNow(clock_.Now());
  if (!index) return ScheduleTurn();
  owner_ = *index;
  next_ = (*index + 1) % members_.size();
  phase_ = Phase::kAwaiting;
  members_[owner_].heard_in_turn = false;
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
  member.due = clock_.Now() + member.poll_interval;
}

void LineScheduler::CycleCompleted(const PXHSPDevice& device) {
  if (Owner() == &device) cycle_completed_ = true;
}

void LineScheduler::EndExchange(Outcome outcome) {
  ++steps_;
  last_owner_ = owner_;
  first_copy_.reset();
  const std::size_t owner = owner_;
  EndTurn(members_[owner], outcome);
  ScheduleTurn();
  if (outcome == Outcome::kGivenUp) wire_.GivenUp(*members_[owner].device);
}

void LineScheduler::EndTurn(Member& member, Outcome outcome) {
  if (member.heard_in_turn || outcome == Outcome::kCompleted) {
    member.dead_turns = 0;
    member.probe_interval = {};
    return;
  }
  if (++member.dead_turns < kDeadTurns) return;
  member.probe_interval =
      member.probe_interval.count() == 0
          ? Clock::duration(kFirstProbeInterval)
          : std::min<Clock::duration>(2 * member.probe_interval, kLongestProbeInterval);
  // Whether its plug-in started a cycle in the turn or re-sent.
  member.due = clock_.Now() + std::max(member.poll_interval, member.probe_interval);
}

// ---------------------------------------------------------------------------
// Requests and answers

void LineScheduler::Send(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) {
  // Only the device whose turn it is talks; nothing goes out on a line that is down.
  if (Owner() != &device) return;
  const bool resend = in_refresh_ && !cycle_started_;
  if (resend) ++members_[owner_].resends;
  sent_ = true;
  if (!in_refresh_) {
    // An answer was taken and the next request of the cycle follows.
    GuardAfterAnswer();
  } else if (timed_out_ && resend) {
    // The copy that timed out may still be answered, until its landing bound.
    first_copy_ = timed_out_;
    first_copy_state_ = FirstCopy::kMayCome;
    first_copy_checked_ = false;
  } else if (timed_out_) {
    // A new cycle after a request that drew no answer: that answer may still come.
    SetGuard(Guard{LandingBound(*timed_out_), 0});
    first_copy_.reset();
  }
  timed_out_.reset();
  if (!guard_) return Write(data, size, resend);
  held_.assign(data, data + size);
  held_resend_ = resend;
  phase_ = Phase::kHolding;
  if (clock_.Now() < guard_->until) wire_.Hold(device, data, size);
  // Even once the guard has passed, what came meanwhile is read first, through the loop.
  SetHoldingAlarm();
}

void LineScheduler::SetGuard(Guard guard) {
  if (guard_) {
    // Two reasons to wait: the later bound, without ending early.
    guard.until = std::max(guard.until, guard_->until);
    guard.release_after = 0;
  }
  guard_ = guard;
  stale_in_guard_ = 0;
}

void LineScheduler::GuardAfterAnswer() {
  if (!first_copy_) return;
  // The re-send's own answer: the first copy's did not come by its landing
  // bound, and this one was heard no sooner than the re-send's could be. A
  // first copy that came later than the bound (a slow port, a monitor
  // turned slow) may still be heard sooner: then the next request waits.
  const Clock::time_point soonest_own =
      copy_.written + LineTime(battery_link::kRequestSize + 1) + SoonestAnswer(members_[owner_]);
  const bool own = first_copy_state_ == FirstCopy::kGone && first_heard_ >= soonest_own;
  // Otherwise the answer taken may have been the first copy's: the re-send's may follow.
  if (!own) SetGuard(Guard{LandingBound(copy_), copy_.answer_size});
  first_copy_.reset();
}

LineScheduler::Clock::duration LineScheduler::SoonestAnswer(const Member& member) const {
  if (const auto soonest = member.latency.Soonest(); soonest && timing_.learn) return *soonest;
  // Not known yet: as late as the port's timeout lets a cell answer start.
  const Clock::duration exchange =
      LineTime(battery_link::kRequestSize + battery_link::kCellAnswerSize) + timing_.quiet;
  return std::max(Clock::duration::zero(), timing_.answer_timeout - exchange);
}

void LineScheduler::Write(const std::uint8_t* data, std::size_t size, bool resend) {
  Member& member = members_[owner_];
  ++steps_;
  phase_ = Phase::kAwaiting;
  const std::size_t answer_size = AnswerSizeOf(data, size);
  copy_ = Copy{clock_.Now(), TimeoutFor(member, answer_size), answer_size};
  copy_resent_ = resend;
  answer_heard_ = false;
  early_bytes_ = 0;
  extended_ = false;
  sampled_ = false;
  wire_.Write(*member.device, data, size);
  // Unless the write broke the line.
  if (phase_ == Phase::kAwaiting) SetAwaitingAlarm();
}

void LineScheduler::Heard(std::size_t answer_bytes) {
  const Clock::time_point now = clock_.Now();
  last_heard_ = now;
  if (answer_bytes == 0 || phase_ != Phase::kAwaiting) return;
  Member& member = members_[owner_];
  member.heard_in_turn = true;
  // Bytes that come before the request and the monitor's soonest answer could
  // have crossed the line are not its answer but another request's, late
  // (after a re-send, they are its first copy's: the same request's).
  const auto soonest = member.latency.Soonest();
  const Clock::time_point earliest = copy_.written + LineTime(battery_link::kRequestSize + 1) +
                                     (timing_.learn && soonest ? *soonest : Clock::duration{});
  if (!answer_heard_ && !copy_resent_ && now < earliest) {
    early_bytes_ += answer_bytes;
    return;
  }
  if (!answer_heard_) first_heard_ = now;
  answer_heard_ = true;
  // An answer after a re-send could be either copy's: it says nothing of the latency.
  if (sampled_ || copy_resent_) return;
  sampled_ = true;
  const Clock::time_point request_ended = copy_.written + LineTime(battery_link::kRequestSize);
  const Clock::time_point answer_started = now - LineTime(answer_bytes);
  member.latency.Sample(
      std::chrono::duration_cast<AnswerLatency::Duration>(answer_started - request_ended));
}

LineScheduler::Delivery LineScheduler::Receive(std::uint8_t* data, std::size_t size) {
  if (phase_ != Phase::kAwaiting) {
    if (const PXHSPDevice* blamed = Blamed()) {
      for (Member& member : members_) {
        if (member.device == blamed) member.stale_bytes += size;
      }
    }
    if (guard_) {
      stale_in_guard_ += size;
      if (phase_ == Phase::kHolding) SetHoldingAlarm();
    }
    return phase_ == Phase::kHolding ? Delivery::kStale : Delivery::kDropped;
  }
  if (early_bytes_ != 0) {
    const std::size_t stale = std::min(size, early_bytes_);
    early_bytes_ -= stale;
    members_[owner_].stale_bytes += stale;
    if (stale == size) return Delivery::kStale;
    data += stale;
    size -= stale;
  }
  cycle_completed_ = false;
  sent_ = false;
  wire_.Calling(*members_[owner_].device);
  if (members_[owner_].device->process(data, static_cast<unsigned int>(size)) == 0) {
    GuardAfterAnswer();
    // A refused answer may be followed by the rest of one.
    if (!cycle_completed_) SetGuard(Guard{LandingBound(copy_), 0});
    EndExchange(cycle_completed_ ? Outcome::kCompleted : Outcome::kGivenUp);
  }
  return Delivery::kToDevice;
}

// ---------------------------------------------------------------------------
// The line's one alarm

void LineScheduler::OnAlarm() {
  switch (phase_) {
    case Phase::kIdle:
      return StartTurn();
    case Phase::kAwaiting:
      return AwaitingAlarm();
    case Phase::kHolding:
      return HoldingAlarm();
    case Phase::kDown:
      return;
  }
}

LineScheduler::Clock::time_point LineScheduler::AnswerDeadline() const {
  const Clock::time_point deadline = copy_.written + copy_.timeout;
  // An answer that started within the timeout has ended by then.
  return extended_ ? deadline + LineTime(copy_.answer_size) : deadline;
}

void LineScheduler::SetAwaitingAlarm() {
  Clock::time_point when = AnswerDeadline();
  if (first_copy_ && !first_copy_checked_) when = std::min(when, LandingBound(*first_copy_));
  clock_.SetAlarm(when);
}

void LineScheduler::AwaitingAlarm() {
  const Clock::time_point now = clock_.Now();
  if (first_copy_ && !first_copy_checked_ && now >= LandingBound(*first_copy_)) {
    return CheckFirstCopy();
  }
  if (now < AnswerDeadline()) return SetAwaitingAlarm();
  AnswerTimedOut();
}

// The first copy's answer, had it started within its timeout, is here by now.
void LineScheduler::CheckFirstCopy() {
  first_copy_checked_ = true;
  const std::uint64_t steps = steps_;
  wire_.Drain();
  // What had arrived completed the answer: the line has moved on.
  if (steps_ != steps || phase_ != Phase::kAwaiting) return;
  // Nothing came: the first copy's answer is not coming, and whatever comes is
  // the re-send's. (Had the re-send's come already, it would have been read.)
  if (!answer_heard_) first_copy_state_ = FirstCopy::kGone;
  SetAwaitingAlarm();
}

void LineScheduler::AnswerTimedOut() {
  const std::uint64_t steps = steps_;
  wire_.Drain();
  // What had arrived may have been the answer: the line has moved on.
  if (steps_ != steps || phase_ != Phase::kAwaiting) return;
  // An answer under way started within the timeout: it may still end.
  if (answer_heard_ && !extended_) {
    extended_ = true;
    return SetAwaitingAlarm();
  }
  Member& member = members_[owner_];
  if (!answer_heard_) member.latency.TimedOut();
  const bool probed = member.probe_interval.count() > 0;
  if (!probed && member.resends < kResendsPerCycle) {
    timed_out_ = copy_;
    Refresh();
    timed_out_.reset();
    if (sent_) return;
  }
  SetGuard(Guard{LandingBound(copy_), 0});
  EndExchange(Outcome::kGivenUp);
}

void LineScheduler::SetHoldingAlarm() {
  Clock::time_point when = guard_->until;
  if (guard_->release_after != 0 && stale_in_guard_ >= guard_->release_after) {
    when = std::min(when, QuietAfterStale());
  }
  // Never from inside the call that sent the request.
  if (when <= clock_.Now()) return clock_.AlarmSoon();
  clock_.SetAlarm(when);
}

void LineScheduler::HoldingAlarm() {
  const Clock::time_point now = clock_.Now();
  const bool passed = now >= guard_->until;
  const bool released = guard_->release_after != 0 && stale_in_guard_ >= guard_->release_after &&
                        now >= QuietAfterStale();
  if (!passed && !released) return SetHoldingAlarm();
  // What has come meanwhile is stale.
  const std::uint64_t steps = steps_;
  wire_.Drain();
  if (steps_ != steps || phase_ != Phase::kHolding) return;
  guard_.reset();
  const std::vector<std::uint8_t> request = std::move(held_);
  held_.clear();
  Write(request.data(), request.size(), held_resend_);
}
