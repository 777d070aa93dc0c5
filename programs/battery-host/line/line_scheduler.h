#pragma once

// Turns on one line (a serial port, or an RS-485 bus that several devices
// share): which device may talk, when its requests go out, and which device
// the bytes that come back belong to.
//
//   turn:  gap | request ... answer | request ... answer | ... | cycle ends | gap | next turn
//
// - A device's cycle starts when it is due: `poll_interval` after its last
//   cycle started (always, for an interval of 0). Due devices take turns
//   round the line; a device that is not due leaves the line to the others.
// - A turn starts the device's cycle (RefreshStatus) once the line has been
//   silent for the inter-frame gap, and lasts until the cycle completes or is
//   given up: turns follow each other back to back at the line's speed.
// - Each request waits `answer_timeout` for its answer, then the device's
//   RefreshStatus re-sends it. The plug-in re-sends at most
//   battery_link::kResendsPerCycle times a cycle, shared by its requests; when
//   an answer is still missing after that, the host gives the cycle up and
//   ends the turn, so a silent monitor holds the line for at most
//   (1 + kResendsPerCycle) answer timeouts a turn.
// - Stale answers. Answers do not name their request. After a re-send two
//   answers to one request may be on their way, and after a given-up cycle
//   the answer to its last request may still come. So after either, the next
//   request written on the line (by this device or the next) is held until the
//   line has been quiet for `answer_timeout`, and what arrives meanwhile is
//   dropped as stale. When a re-sent request drew an answer, the hold also
//   lasts until the re-send's own answer could have come: `answer_timeout`
//   plus the line time of the longest exchange after the re-send. So an
//   answer that its monitor starts within the answer timeout of its request
//   is never taken for another request. Without a re-send nothing is held:
//   the next request goes out as the answer is taken.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "battery/link.h"
#include "host/device.h"

class LineScheduler {
 public:
  using Clock = std::chrono::steady_clock;
  // The plug-in's re-sends per cycle (its retry limit).
  static constexpr int kResendsPerCycle = battery_link::kResendsPerCycle;

  struct Timing {
    Clock::duration answer_timeout;
    Clock::duration frame_gap;
    Clock::duration longest_exchange;  // line time of a request and the longest answer
  };

  // What the scheduler needs from its line.
  class Wire {
   public:
    // Puts the request on the line now.
    virtual void Write(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) = 0;
    // The request waits until the line is quiet (for the trace).
    virtual void Hold(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) = 0;
    // Hands over whatever has already arrived, before a missing answer is re-sent.
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

  // Whether a device still takes part (it may have completed its cycles).
  using Active = std::function<bool(const PXHSPDevice& device)>;

  LineScheduler(boost::asio::io_context& io, Timing timing, Wire& wire);

  // The longest a turn takes while its monitor answers, if slowly: its
  // requests and its re-sends each wait an answer timeout, each re-send may
  // hold the next request for an answer timeout and the longest exchange, and
  // the gap before it.
  static constexpr Clock::duration LongestTurn(const Timing& timing) {
    constexpr int kRequests = static_cast<int>(battery_link::kRequestsPerCycle);
    return (kRequests + kResendsPerCycle) * timing.answer_timeout +
           kResendsPerCycle * (timing.answer_timeout + timing.longest_exchange) + timing.frame_gap;
  }

  // Devices join and leave while the line runs (a reloaded configuration).
  // A device that leaves in its turn ends it: its answer may still come, so
  // the next request waits for the line to be quiet.
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

  // Bytes arrived on the line, before any echo is dropped or any gathering:
  // the line is not quiet.
  void Heard() { last_heard_ = Clock::now(); }
  // Bytes ready for the device whose answer is awaited.
  Delivery Receive(std::uint8_t* data, std::size_t size);

  // The device whose exchange is under way (its request is out or held), or nullptr.
  PXHSPDevice* Owner() const;
  // Whether bytes that arrive now go to the owner.
  bool Awaiting() const { return phase_ == Phase::kAwaiting; }
  // The device that stale bytes are counted for: the owner, else the last one.
  const PXHSPDevice* Blamed() const;
  std::uint64_t StaleBytes(const PXHSPDevice& device) const;

 private:
  enum class Phase {
    kDown,      // the line is down
    kIdle,      // between turns: the next starts when a device is due and the gap has passed
    kAwaiting,  // the owner's request is on the line; its answer is awaited
    kHolding,   // the owner's request waits for the line to be quiet
  };
  enum class Outcome { kCompleted, kGivenUp };

  struct Member {
    PXHSPDevice* device;
    Clock::duration poll_interval;
    Clock::time_point due{};  // when its next cycle may start
    int resends = 0;          // in the cycle under way
    std::uint64_t stale_bytes = 0;
  };

  bool IsActive(std::size_t index) const { return !active_ || active_(*members_[index].device); }
  std::optional<std::size_t> DueNow(Clock::time_point now) const;
  std::optional<Clock::time_point> EarliestDue() const;
  Clock::time_point LastActivity() const { return std::max(last_write_, last_heard_); }
  // When a held request may go out.
  Clock::time_point QuietAt() const;

  void ScheduleTurn();
  void StartTurn();
  void Refresh();
  void AnswerTimedOut();
  void WriteHeldOnceQuiet();
  void Write(const std::uint8_t* data, std::size_t size, bool resend);
  void EndExchange(Outcome outcome);
  void WaitUntil(Clock::time_point when);
  void OnTimer();

  Timing timing_;
  Wire& wire_;
  boost::asio::steady_timer timer_;
  // Handlers of waits that were replaced may still run: only the newest counts.
  std::uint64_t wait_number_ = 0;
  std::vector<Member> members_;
  Active active_;
  Phase phase_ = Phase::kDown;
  std::size_t owner_ = 0;
  std::size_t next_ = 0;
  std::optional<std::size_t> last_owner_;
  // The next request waits for the line to be quiet (a re-send or a give-up came before).
  bool guard_ = false;
  std::vector<std::uint8_t> held_;
  bool held_resend_ = false;
  Clock::time_point last_write_{};
  Clock::time_point last_resend_{};
  Clock::time_point last_heard_{};
  // What happened inside the call into the device under way.
  bool in_refresh_ = false;
  bool cycle_started_ = false;
  bool cycle_completed_ = false;
  bool sent_ = false;
  // Writes and exchange ends so far: a drain may move the line on.
  std::uint64_t steps_ = 0;
};
