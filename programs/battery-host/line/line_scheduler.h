#pragma once

// Turns on one line (a serial port, or an RS-485 bus that several devices
// share): which device may talk, when its requests go out, how long each
// waits for its answer, and which device the bytes that come back belong to.
//
//   turn:  request ... answer | request ... answer | ... | cycle ends | next turn
//
// - A device's cycle starts when it is due: `poll_interval` after its last
//   cycle started (always, for an interval of 0). Due devices take turns
//   round the line; a device that is not due leaves the line to the others.
// - A turn starts the device's cycle (RefreshStatus) and lasts until the cycle
//   completes or is given up. Requests follow answers at once, within a turn
//   and between turns alike: frames are told apart by their lead bytes and
//   lengths, not by silence, and a monitor has released the line once its
//   last byte has reached us (the turnaround of an RS-485 transceiver is the
//   port's business), so no gap is kept.
// - Each request waits for its answer for the timeout in force: the port's
//   answer timeout, or, once a device's latency is learned (AnswerLatency),
//   that timeout less the request's line time and the soonest the monitor
//   answers, so that the re-send's own answer cannot come before the first
//   copy's could have (see Stale answers), but never less than the worst
//   latency seen with its margin. An answer that has started when the
//   timeout comes is waited for until it could have ended. Then the device's
//   RefreshStatus re-sends the request. The plug-in re-sends at most
//   battery_link::kResendsPerCycle times a cycle; when an answer is still
//   missing after that, the host gives the cycle up and ends the turn.
// - Dead monitors. A device whose turns end given up without a byte heard
//   from it, kDeadTurns in a row, is probed: a turn of one request, not
//   re-sent, every probe interval (doubling from kFirstProbeInterval up to
//   kLongestProbeInterval), until its first answer. A monitor that answers
//   badly is not dead.
// - Stale answers. Answers do not name their request. The guarantee: an
//   answer that its monitor starts within the port's answer timeout of its
//   request is never taken for another request, whatever timeout was in
//   force (a learned one may be short of a monitor that has just turned
//   slow). Such an answer has reached us by its landing bound: the request's
//   time, the port's answer timeout and the answer's line time.
//   - Bytes heard sooner after a request than it and the monitor's soonest
//     answer can cross the line are another request's answer, late: stale.
//   - After a cycle given up at a timeout, or an answer refused, the next
//     request on the line is held until the landing bound of the last
//     request, and what came is dropped (`stale`).
//   - After a re-send, the first copy's answer may still come, until its
//     landing bound; the re-send's own answer cannot be heard before its
//     request has crossed the line and the monitor's soonest answer has
//     passed (SoonestAnswer). The line is read at the first copy's landing
//     bound: when nothing had come by then and the answer taken was heard no
//     sooner than the re-send's can be, it was the re-send's, and nothing is
//     held. Otherwise the answer taken may have been either copy's, so the
//     next request is held until a second answer has come (as many stale
//     bytes as an answer, then a few quiet byte times) or the re-send's
//     landing bound has passed.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "battery/link.h"
#include "host/device.h"
#include "programs/battery-host/line/answer_latency.h"
#include "programs/battery-host/line/line_clock.h"

class LineScheduler {
 public:
  using Clock = std::chrono::steady_clock;
  // The plug-in's re-sends per cycle (its retry limit).
  static constexpr int kResendsPerCycle = battery_link::kResendsPerCycle;
  static constexpr int kDeadTurns = 2;
  static constexpr std::chrono::milliseconds kFirstProbeInterval{1'000};
  static constexpr std::chrono::milliseconds kLongestProbeInterval{5'000};
  // A stale answer is over once the line has been quiet this many byte times.
  static constexpr int kQuietByteTimes = 3;

  struct Timing {
    // The timeout of a request and the cell answer: the port's, or its default.
    Clock::duration answer_timeout;
    // The port's quiet gap: answers are handed over that much after they came.
    Clock::duration quiet{};
    unsigned baud = battery_link::kBaudRate;  // 0: bytes take no time on the line
    bool learn = true;                        // learn each device's latency
  };

  // What the scheduler needs from its line.
  class Wire {
   public:
    // Puts the request on the line now.
    virtual void Write(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) = 0;
    // The request waits until the line is quiet (for the trace).
    virtual void Hold(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) = 0;
    // Hands over whatever has already arrived (Heard, then Receive), now.
    virtual void Drain() = 0;
    // The scheduler is about to call into the device (RefreshStatus, process).
    virtual void Calling(const PXHSPDevice& device) = 0;
    // The device's turn ended without its cycle completing.
    virtual void GivenUp(const PXHSPDevice& device) = 0;

   protected:
    ~Wire() = default;
  };

  enum class Delivery {
    kToDevice,  // the device awaiting an answer took the bytes
    kStale,     // dropped while a request was held until the line is quiet
    kDropped,   // dropped: no device was awaiting an answer
  };

  // A device's answer timing, for the status page and the metrics.
  struct DeviceTiming {
    Clock::duration answer_timeout;  // in force for its cell request
    AnswerLatency::Percentiles latency;
    bool probed;  // taken for dead: probed, not polled
  };

  // Whether a device still takes part (it may have completed its cycles).
  using Active = std::function<bool(const PXHSPDevice& device)>;

  LineScheduler(LineClock& clock, Timing timing, Wire& wire);

  // The longest a turn takes while its monitor answers, if slowly: its
  // requests and its re-sends each wait an answer timeout, and each re-send
  // may hold the next request for an answer timeout and the longest exchange.
  static constexpr Clock::duration LongestTurn(const Timing& timing) {
    constexpr int kRequests = static_cast<int>(battery_link::kRequestsPerCycle);
    const Clock::duration longest_exchange = battery_link::LineTime(
        battery_link::kRequestSize + battery_link::kCellAnswerSize, timing.baud);
    return (kRequests + kResendsPerCycle) * timing.answer_timeout +
           kResendsPerCycle * (timing.answer_timeout + longest_exchange);
  }

  // Devices join and leave while the line runs (a reloaded configuration).
  // A device that leaves in its turn ends it: its answer may still come, so
  // the next request waits for its landing bound.
  void Add(PXHSPDevice* device, Clock::duration poll_interval);
  void Remove(const PXHSPDevice& device);
  std::size_t Size() const { return members_.size(); }
  void SetActive(Active active) { active_ = std::move(active); }

  // The line can carry requests: turns start.
  void Up();
  // The line broke: the turn under way ends, and no turn starts until Up.
  void Down();

  // From the devices, through the host's controller: a device writes on the
  // line, starts a polling cycle, completes one.
  void Send(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size);
  void CycleStarted(const PXHSPDevice& device);
  void CycleCompleted(const PXHSPDevice& device);

  // Bytes arrived on the line, before any gathering; `answer_bytes` of them
  // after the adapter's echo was dropped.
  void Heard(std::size_t answer_bytes);
  // Bytes ready for the device whose answer is awaited.
  Delivery Receive(std::uint8_t* data, std::size_t size);

  // The device whose exchange is under way (its request is out or held), or nullptr.
  PXHSPDevice* Owner() const;
  // Whether bytes that arrive now go to the owner.
  bool Awaiting() const { return phase_ == Phase::kAwaiting; }
  // The device that stale bytes are counted for: the owner, else the last one.
  const PXHSPDevice* Blamed() const;
  std::uint64_t StaleBytes(const PXHSPDevice& device) const;
  std::optional<DeviceTiming> TimingOf(const PXHSPDevice& device) const;

 private:
  enum class Phase {
    kDown,      // the line is down
    kIdle,      // between turns: the next starts when a device is due
    kAwaiting,  // the owner's request is on the line; its answer is awaited
    kHolding,   // the owner's request waits for a stale answer to pass
  };
  enum class Outcome { kCompleted, kGivenUp };
  // Whether the answer of the copy before a re-send may still come.
  enum class FirstCopy { kMayCome, kGone };

  struct Member {
    PXHSPDevice* device = nullptr;
    Clock::duration poll_interval{};
    Clock::time_point due{};  // when its next cycle may start
    int resends = 0;          // in the cycle under way
    std::uint64_t stale_bytes = 0;
    AnswerLatency latency;
    bool heard_in_turn = false;
    int dead_turns = 0;                // turns in a row given up without a byte heard
    Clock::duration probe_interval{};  // zero while it is polled
  };

  // One copy of a request on the line.
  struct Copy {
    Clock::time_point written{};
    Clock::duration timeout{};
    std::size_t answer_size = 0;
  };

  // The next request waits until `until`, or once `release_after` stale
  // bytes (0: none) were heard and the line has been quiet for a little.
  struct Guard {
    Clock::time_point until{};
    std::size_t release_after = 0;
  };

  bool IsActive(std::size_t index) const { return !active_ || active_(*members_[index].device); }
  std::optional<std::size_t> DueNow(Clock::time_point now) const;
  std::optional<Clock::time_point> EarliestDue() const;
  Clock::duration LineTime(std::size_t bytes) const {
    return battery_link::LineTime(bytes, timing_.baud);
  }
  Clock::duration TimeoutFor(const Member& member, std::size_t answer_size) const;
  // How soon after a request its answer can be heard: learned, else assumed late.
  Clock::duration SoonestAnswer(const Member& member) const;
  // When an answer to `copy` that its monitor started within the port's
  // answer timeout has reached us, whatever timeout was in force: a learned
  // timeout may be short of a monitor that has just turned slow.
  Clock::time_point LandingBound(const Copy& copy) const {
    return copy.written + timing_.answer_timeout + LineTime(copy.answer_size);
  }
  Clock::time_point QuietAfterStale() const { return last_heard_ + kQuietByteTimes * LineTime(1); }

  // When copy_ is given up unless its answer comes.
  Clock::time_point AnswerDeadline() const;

  void ScheduleTurn();
  void StartTurn();
  void Refresh();
  void EndExchange(Outcome outcome);
  void EndTurn(Member& member, Outcome outcome);
  void Write(const std::uint8_t* data, std::size_t size, bool resend);
  void SetGuard(Guard guard);
  // The guard once the answer to copy_ was taken.
  void GuardAfterAnswer();

  void OnAlarm();
  void SetAwaitingAlarm();
  void AwaitingAlarm();
  void CheckFirstCopy();
  void AnswerTimedOut();
  void SetHoldingAlarm();
  void HoldingAlarm();

  LineClock& clock_;
  Timing timing_;
  Wire& wire_;
  std::vector<Member> members_;
  Active active_;
  Phase phase_ = Phase::kDown;
  std::size_t owner_ = 0;
  std::size_t next_ = 0;
  std::optional<std::size_t> last_owner_;

  Copy copy_;  // the copy whose answer is awaited
  bool copy_resent_ = false;
  // The copy whose timeout ran out, while RefreshStatus re-sends it (or not).
  std::optional<Copy> timed_out_;
  std::optional<Copy> first_copy_;  // the copy before it, when it is a re-send
  FirstCopy first_copy_state_ = FirstCopy::kGone;
  bool first_copy_checked_ = false;
  bool answer_heard_ = false;        // bytes of an answer to copy_ have come
  Clock::time_point first_heard_{};  // when the first of them came
  std::size_t early_bytes_ = 0;      // heard too soon to be its answer: stale
  bool extended_ = false;            // copy_'s timeout ran out while its answer came
  bool sampled_ = false;             // copy_'s latency was measured

  std::optional<Guard> guard_;
  std::size_t stale_in_guard_ = 0;
  std::vector<std::uint8_t> held_;
  bool held_resend_ = false;
  Clock::time_point last_heard_{};

  // What happened inside the call into the device under way.
  bool in_refresh_ = false;
  bool cycle_started_ = false;
  bool cycle_completed_ = false;
  bool sent_ = false;
  // Writes and exchange ends so far: a drain may move the line on.
  std::uint64_t steps_ = 0;
};
