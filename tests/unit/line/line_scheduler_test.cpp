// The turns of a line on virtual time. Each row is a line with devices on
// it, what its monitors do with each request they hear (answer after a
// latency, or stay silent), and the trace the line must show: requests
// written and held, answers taken, stale bytes dropped, cycles completed and
// given up, each at its time in milliseconds.
//
// The devices are stand-ins for the plug-in: a cycle is the four requests,
// cells first; a missing answer is re-sent at the next RefreshStatus, three
// times a cycle at most; an answer is taken whole and must be the answer to
// the request outstanding (the monitors tag each answer with its request's
// command, so one taken for another request shows in the trace).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "battery/link.h"
#include "programs/battery-host/line/answer_latency.h"
#include "programs/battery-host/line/line_clock.h"
#include "programs/battery-host/line/line_scheduler.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
namespace link = battery_link;

constexpr std::uint8_t kCommands[] = {0xA1, 0xA2, 0xA3, 0xA4};
constexpr Clock::time_point kStart{};

class VirtualClock final : public LineClock {
 public:
  Clock::time_point Now() const override { return now_; }
  void SetAlarm(Clock::time_point when) override { alarm_ = when; }
  void AlarmSoon() override { alarm_ = now_; }
  void ClearAlarm() override { alarm_.reset(); }

  std::optional<Clock::time_point> Alarm() const { return alarm_; }
  void MoveTo(Clock::time_point when) { now_ = when; }
  void RingAlarm() {
    alarm_.reset();
    Ring();
  }

 private:
  Clock::time_point now_ = kStart;
  std::optional<Clock::time_point> alarm_;
};

// What a monitor does with the n-th request it hears (0 for the first).
struct Answer {
  double latency_ms;     // from the request's last byte; below 0: no answer
  std::uint8_t tag = 0;  // the request it answers (its size follows); 0: the one heard
  double split_ms = 0;   // above 0: the first two bytes come this long before the rest
};
using Script = std::function<Answer(int request)>;
const Answer kSilent{-1};

class Line;

// The plug-in's cycle, as the scheduler sees it.
class StandIn final : public PXHSPDevice {
 public:
  StandIn(Line& line, int number) : line_(line), number_(number) {}
  int RefreshStatus() override;
  int process(unsigned char* data, unsigned int length) override;
  using PXHSPDevice::LoadFromCache;
  int LoadFromCache(const unsigned char*, int) override { return 0; }
  int number() const { return number_; }
  int resends = 0;

 private:
  void Ask();

  Line& line_;
  int number_;
  std::optional<std::size_t> outstanding_;  // index in kCommands
  std::vector<std::uint8_t> held_;
};

class Line final : private LineScheduler::Wire {
 public:
  Line(LineScheduler::Timing timing, std::vector<Script> monitors, milliseconds poll = {})
      : scheduler_(clock_, timing, *this), baud_(timing.baud), scripts_(std::move(monitors)) {
    for (std::size_t i = 0; i < scripts_.size(); ++i) {
      devices_.push_back(std::make_unique<StandIn>(*this, static_cast<int>(i + 1)));
      heard_.push_back(0);
    }
    for (auto& device : devices_) scheduler_.Add(device.get(), poll);
  }

  static std::string Tag(std::uint8_t command) {
    char name[8];
    std::snprintf(name, sizeof name, "%02X", command);
    return name;
  }
  LineScheduler& Scheduler() { return scheduler_; }
  StandIn& Device(int number) { return *devices_[static_cast<std::size_t>(number - 1)]; }
  void Note(const std::string& what) {
    char time[32];
    std::snprintf(time, sizeof time, "%.1f ",
                  std::chrono::duration<double, std::milli>(clock_.Now() - kStart).count());
    trace_.push_back(time + what);
  }

  // Runs the line until `end` or until the trace holds `lines` lines.
  std::vector<std::string> Run(milliseconds end, std::size_t lines = 1'000'000) {
    scheduler_.Up();
    while (trace_.size() < lines) {
      std::optional<Clock::time_point> next = clock_.Alarm();
      if (!arriving_.empty() && (!next || arriving_.begin()->first < *next)) {
        next = arriving_.begin()->first;
      }
      if (!next || *next > kStart + end) break;
      clock_.MoveTo(*next);
      if (clock_.Alarm() == next) {
        clock_.RingAlarm();
      } else {
        DeliverDue();
      }
    }
    trace_.resize(std::min(trace_.size(), lines));
    return trace_;
  }

  void Send(const StandIn& device, const std::uint8_t* data, std::size_t size) {
    scheduler_.Send(device, data, size);
  }
  void Started(const StandIn& device) {
    Note(std::to_string(device.number()) + " cycle");
    scheduler_.CycleStarted(device);
  }
  void Completed(const StandIn& device) {
    Note(std::to_string(device.number()) + " done");
    scheduler_.CycleCompleted(device);
  }

 private:
  static std::string Name(const std::uint8_t* request) {
    return Tag(request[link::kRequestCommandOffset]);
  }
  Clock::duration LineTime(std::size_t bytes) const { return link::LineTime(bytes, baud_); }

  void Write(const PXHSPDevice& device, const std::uint8_t* data, std::size_t size) override {
    const auto& stand_in = static_cast<const StandIn&>(device);
    Note(std::to_string(stand_in.number()) + " tx " + Name(data));
    const auto index = static_cast<std::size_t>(stand_in.number() - 1);
    const Answer answer = scripts_[index](heard_[index]++);
    if (answer.latency_ms < 0) return;
    const std::uint8_t tag = answer.tag != 0 ? answer.tag : data[link::kRequestCommandOffset];
    std::vector<std::uint8_t> bytes(
        tag == kCommands[0] ? link::kCellAnswerSize : link::kShortAnswerSize, 0);
    bytes[0] = link::kAnswerLead;
    bytes[1] = tag;
    // A chunk reaches us once its last byte has crossed the line.
    const Clock::time_point starts = clock_.Now() + LineTime(size) + Ms(answer.latency_ms);
    if (answer.split_ms <= 0) {
      arriving_.emplace(starts + LineTime(bytes.size()), bytes);
      return;
    }
    const Clock::time_point first = starts + LineTime(2);
    arriving_.emplace(first, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 2));
    arriving_.emplace(first + Ms(answer.split_ms),
                      std::vector<std::uint8_t>(bytes.begin() + 2, bytes.end()));
  }
  static Clock::duration Ms(double ms) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
  }
  void Hold(const PXHSPDevice& device, const std::uint8_t* data, std::size_t) override {
    Note(std::to_string(static_cast<const StandIn&>(device).number()) + " held " + Name(data));
  }
  void Drain() override { DeliverDue(); }
  void Calling(const PXHSPDevice&) override {}
  void GivenUp(const PXHSPDevice& device) override {
    Note(std::to_string(static_cast<const StandIn&>(device).number()) + " given up");
  }

  void DeliverDue() {
    while (!arriving_.empty() && arriving_.begin()->first <= clock_.Now()) {
      std::vector<std::uint8_t> bytes = std::move(arriving_.begin()->second);
      arriving_.erase(arriving_.begin());
      scheduler_.Heard(bytes.size());
      if (scheduler_.Receive(bytes.data(), bytes.size()) != LineScheduler::Delivery::kToDevice) {
        Note("stale " + std::to_string(bytes.size()));
      }
    }
  }

  VirtualClock clock_;
  LineScheduler scheduler_;
  unsigned baud_;
  std::vector<Script> scripts_;
  std::vector<std::unique_ptr<StandIn>> devices_;
  std::vector<int> heard_;
  std::multimap<Clock::time_point, std::vector<std::uint8_t>> arriving_;
  std::vector<std::string> trace_;
};

int StandIn::RefreshStatus() {
  if (outstanding_ && resends < link::kResendsPerCycle) {
    ++resends;
    Ask();
    return 1;
  }
  resends = 0;
  outstanding_ = 0;
  line_.Started(*this);
  Ask();
  return 1;
}

void StandIn::Ask() {
  held_.clear();
  const std::uint8_t request[] = {link::kRequestLead, link::kRequestLead, 0x81,
                                  kCommands[*outstanding_], 0};
  line_.Send(*this, request, sizeof request);
}

int StandIn::process(unsigned char* data, unsigned int length) {
  held_.insert(held_.end(), data, data + length);
  const bool cells = *outstanding_ == 0;
  const std::size_t size = cells ? link::kCellAnswerSize : link::kShortAnswerSize;
  if (held_.size() < size) return 1;
  const std::uint8_t tag = held_[1];
  const std::string rx = std::to_string(number_) + " rx " + Line::Tag(tag);
  // An answer of another length is refused; one of the same length cannot
  // be told from the right one, and its value lands in another field.
  if (held_.size() != size) {
    line_.Note(rx + " refused");
    return 0;
  }
  line_.Note(tag == kCommands[*outstanding_] ? rx
                                             : rx + " INTO " + Line::Tag(kCommands[*outstanding_]));
  if (++*outstanding_ == std::size(kCommands)) {
    outstanding_.reset();
    line_.Completed(*this);
    return 0;
  }
  Ask();
  return 1;
}

}  // namespace

namespace {

LineScheduler::Timing Paced(bool learn = false, milliseconds timeout = milliseconds(88)) {
  return {timeout, {}, link::kBaudRate, learn};
}
Script Always(double latency_ms) {
  return [latency_ms](int) { return Answer{latency_ms}; };
}
// Answers after `latency_ms`, except the requests listed, answered as given.
Script Except(double latency_ms, std::map<int, Answer> exceptions) {
  return [latency_ms, exceptions](int request) {
    const auto found = exceptions.find(request);
    return found == exceptions.end() ? Answer{latency_ms} : found->second;
  };
}

struct TurnRow {
  const char* name;
  LineScheduler::Timing timing;
  std::vector<Script> monitors;
  double from_ms;  // the trace from this time on
  std::vector<std::string> trace;
};

// 19200 baud: a request or a short answer takes 2.6 ms on the line, the cell
// answer 34.9 ms; the monitors answer after 5 ms unless a row says otherwise.
// A cycle is 42.5 + 3 x 10.2 = 73.1 ms. The port's timeout is 88 ms.
class LineTurns : public testing::TestWithParam<TurnRow> {};
// Rows print as their names (not as bytes, padding and all).
void PrintTo(const TurnRow& row, std::ostream* out) {
  *out << row.name;
}

TEST_P(LineTurns, TraceOnVirtualTime) {
  const TurnRow& row = GetParam();
  Line line(row.timing, row.monitors);
  std::vector<std::string> trace;
  for (const std::string& entry : line.Run(milliseconds(1000))) {
    if (std::stod(entry) >= row.from_ms - 0.05) trace.push_back(entry);
    if (trace.size() == row.trace.size()) break;
  }
  EXPECT_EQ(trace, row.trace);
}

// Started within the port's timeout, it lands 1.2 ms after its request was re-sent.
const Answer kSlowShort{84};

INSTANTIATE_TEST_SUITE_P(
    Rows, LineTurns,
    testing::Values(
        TurnRow{"cycles_and_turns_follow_answers_at_once",
                Paced(),
                {Always(5), Always(5)},
                0,
                {"0.0 1 cycle", "0.0 1 tx A1", "42.5 1 rx A1", "42.5 1 tx A2", "52.7 1 rx A2",
                 "52.7 1 tx A3", "62.9 1 rx A3", "62.9 1 tx A4", "73.1 1 rx A4", "73.1 1 done",
                 "73.1 2 cycle", "73.1 2 tx A1"}},
        // Re-sent at 88 ms. Nothing came by the first copy's landing bound
        // (122.9 ms), but before the monitor's latency is learned its answer
        // may come as late as the port allows (50.5 ms): the answer taken
        // could be a late first copy's, so the next request waits for a
        // second answer or the re-send's landing bound, 88 + 88 + 34.9.
        TurnRow{"lost_cell_answer_before_learning_holds_the_next_request",
                Paced(),
                {Except(5, {{0, kSilent}})},
                0,
                {"0.0 1 cycle", "0.0 1 tx A1", "88.0 1 tx A1", "130.5 1 rx A1", "130.5 1 held A2",
                 "210.9 1 tx A2"}},
        // Learned (soonest 5 - 3 ms): cycle 3's short request is re-sent after
        // 88 - 2.6 - 2 ms; nothing came by the first copy's landing bound
        // (188.8 + 88 + 2.6), and the answer came no sooner than the re-send's
        // can: taken at once.
        TurnRow{
            "lost_short_answer_learned_taken_at_once",
            Paced(true),
            {Except(5, {{9, kSilent}})},
            188.8,
            {"188.8 1 rx A1", "188.8 1 tx A2", "272.2 1 tx A2", "282.4 1 rx A2", "282.4 1 tx A3"}},
        // Beyond the guarantee: the first copy's answer starts after the port's
        // timeout and lands after its landing bound (188.8 + 88 + 2.6), so it is
        // taken for the re-send's; the monitor answers the re-send too, but that
        // answer comes sooner than the next request's own could: stale.
        TurnRow{
            "answer_too_soon_for_its_request_is_stale",
            Paced(true),
            {Except(5, {{9, Answer{87}}})},
            272.2,
            {"272.2 1 tx A2", "281.0 1 rx A2", "281.0 1 tx A3", "282.4 stale 5", "291.2 1 rx A3"}},
        // The first copy's answer comes after the re-send; the re-send's own
        // answer is dropped, and the next request goes out 3 byte times after.
        TurnRow{"late_first_copy_taken_and_second_answer_stale",
                Paced(),
                {Except(5, {{1, kSlowShort}})},
                130.5,
                {"130.5 1 tx A2", "131.7 1 rx A2", "131.7 1 held A3", "140.7 stale 5",
                 "142.3 1 tx A3"}},
        // Without a second answer the hold lasts to the re-send's landing
        // bound: 130.5 + 88 + 2.6.
        TurnRow{"late_first_copy_without_a_second_answer_holds_to_the_bound",
                Paced(),
                {Except(5, {{1, kSlowShort}, {2, kSilent}})},
                130.5,
                {"130.5 1 tx A2", "131.7 1 rx A2", "131.7 1 held A3", "221.1 1 tx A3"}},
        // An answer under way when the timeout comes is waited for.
        TurnRow{"answer_under_way_at_the_timeout_is_waited_for",
                Paced(),
                {Except(5, {{1, Answer{83, 0, 3}}})},
                42.5,
                {"42.5 1 rx A1", "42.5 1 tx A2", "132.1 1 rx A2", "132.1 1 tx A3"}},
        // Request, three re-sends, given up; the next device waits for the last
        // copy's landing bound: 264 + 88 + 34.9.
        TurnRow{"cycle_given_up_holds_the_next_turn",
                Paced(),
                {Except(5, {{0, kSilent}, {1, kSilent}, {2, kSilent}, {3, kSilent}}), Always(5)},
                0,
                {"0.0 1 cycle", "0.0 1 tx A1", "88.0 1 tx A1", "176.0 1 tx A1", "264.0 1 tx A1",
                 "352.0 1 given up", "352.0 2 cycle", "352.0 2 held A1", "386.9 2 tx A1"}},
        // A cell answer where a short one is awaited: refused, the turn ends,
        // and the next waits for the landing bound of the short request.
        TurnRow{"refused_answer_holds_the_next_turn",
                Paced(),
                {Except(5, {{1, Answer{5, 0xA1}}}), Always(5)},
                42.5,
                {"42.5 1 rx A1", "42.5 1 tx A2", "85.0 1 rx A1 refused", "85.0 1 given up",
                 "85.0 2 cycle", "85.0 2 held A1", "133.1 2 tx A1"}},
        // After eight answers of 5 ms an answer comes 5 - 3 ms after its
        // request at the soonest: cycle 3's cell request is re-sent after
        // 88 - 2.6 - 2 ms, and the re-send's answer still comes after the
        // first copy's landing bound (146.3 + 88 + 34.9): nothing is held.
        TurnRow{"learned_timeout_resends_sooner",
                Paced(true),
                {Except(5, {{8, kSilent}})},
                146.3,
                {"146.3 1 rx A4", "146.3 1 done", "146.3 1 cycle", "146.3 1 tx A1", "229.7 1 tx A1",
                 "272.2 1 rx A1", "272.2 1 tx A2"}},
        TurnRow{"without_learning_the_port_timeout_stays",
                Paced(false),
                {Except(5, {{8, kSilent}})},
                146.3,
                {"146.3 1 rx A4", "146.3 1 done", "146.3 1 cycle", "146.3 1 tx A1", "234.3 1 tx A1",
                 "276.8 1 rx A1", "276.8 1 held A2", "357.2 1 tx A2"}}),
    [](const testing::TestParamInfo<TurnRow>& row) { return std::string(row.param.name); });

// The dead monitor's turns: (requests, start in ms), and the other device's
// cycles keep the line.
TEST(LineScheduler, DeadMonitorIsProbedFurtherApartUntilItAnswers) {
  // Two turns of four requests, five probes; the sixth probe is answered.
  constexpr int kAnswersFromRequest = 2 * 4 + 5;
  Line line(Paced(), {Always(5), [](int request) {
                        return request < kAnswersFromRequest ? kSilent : Answer{5};
                      }});
  std::vector<std::pair<int, double>> turns;  // the device's turns: requests, start
  bool in_turn = false;
  for (const std::string& entry : line.Run(milliseconds(25'000))) {
    if (entry.find(" 2 tx ") != std::string::npos) {
      if (!in_turn) turns.emplace_back(0, std::stod(entry));
      in_turn = true;
      ++turns.back().first;
    } else if (entry.find(" 1 tx ") != std::string::npos) {
      in_turn = false;
    }
  }
  const std::vector<int> requests = {4, 4, 1, 1, 1, 1, 1, 4, 4, 4};
  ASSERT_GE(turns.size(), requests.size());
  for (std::size_t turn = 0; turn < requests.size(); ++turn) {
    EXPECT_EQ(turns[turn].first, requests[turn]) << "turn " << turn;
  }
  // A probe is due a probe interval after the turn before was given up (its
  // requests' timeouts after its start); it waits at most for the other
  // device's cycle and the given-up request's landing bound.
  const std::vector<double> intervals = {1000, 2000, 4000, 5000, 5000};
  for (std::size_t probe = 0; probe < intervals.size(); ++probe) {
    const auto& [before, started] = turns[probe + 1];
    const double waited = turns[probe + 2].second - (started + before * 88);
    EXPECT_GE(waited, intervals[probe]) << "probe " << probe;
    EXPECT_LE(waited, intervals[probe] + 34.9 + 73.2) << "probe " << probe;
  }
  // Once it answered it is polled again: its next turn follows the other's cycle.
  EXPECT_LT(turns[8].second - turns[7].second, 2 * 73.2);
}

// A monitor's latency jumps from 5 ms to 80 ms, within a port timeout of
// 150 ms, and it answers every copy of a request it hears (a sim monitor
// busy answering would ignore a re-send): the allowance doubles at each
// timeout, no answer is taken for another request, and the device polls on.
TEST(LineScheduler, LatencyJumpWithinThePortTimeoutLandsNothingElsewhere) {
  Line line(Paced(true, milliseconds(150)),
            {[](int request) { return Answer{request < 40 ? 5.0 : 80.0}; }});
  // The 40th request goes out in the tenth cycle, before 1 s.
  int done_after_jump = 0, given_up = 0, into = 0;
  for (const std::string& entry : line.Run(milliseconds(10'000))) {
    if (entry.find(" INTO ") != std::string::npos) ++into;
    if (entry.find("given up") != std::string::npos) ++given_up;
    if (entry.find(" done") != std::string::npos && std::stod(entry) > 1000) ++done_after_jump;
  }
  EXPECT_EQ(into, 0);
  EXPECT_LE(given_up, 3);
  // Cycles of 117.5 + 3 x 85.2 ms once its latency is 80 ms: 24 at most in 9 s.
  EXPECT_GE(done_after_jump, 20);
}

// What a device's latencies make of its allowance, its soonest answer and
// the percentiles shown: samples in ms, then timeouts in a row.
struct LatencyRow {
  const char* name;
  std::vector<double> samples_ms;
  int timeouts;
  double allowance_ms;  // below 0: none yet
  double soonest_ms;
  double p50_ms, p99_ms;
};

class AnswerLatencyRows : public testing::TestWithParam<LatencyRow> {};
void PrintTo(const LatencyRow& row, std::ostream* out) {
  *out << row.name;
}

TEST_P(AnswerLatencyRows, AllowanceSoonestAndPercentiles) {
  const LatencyRow& row = GetParam();
  AnswerLatency latency;
  for (const double ms : row.samples_ms) latency.Sample(microseconds(static_cast<long>(ms * 1000)));
  for (int i = 0; i < row.timeouts; ++i) latency.TimedOut();
  const auto in_ms = [](microseconds us) { return static_cast<double>(us.count()) / 1000; };
  if (row.allowance_ms < 0) {
    EXPECT_FALSE(latency.Allowance());
    EXPECT_FALSE(latency.Soonest());
  } else {
    EXPECT_DOUBLE_EQ(in_ms(*latency.Allowance()), row.allowance_ms);
    EXPECT_DOUBLE_EQ(in_ms(*latency.Soonest()), row.soonest_ms);
  }
  const AnswerLatency::Percentiles seen = latency.Observed();
  EXPECT_EQ(seen.samples, std::min(row.samples_ms.size(), AnswerLatency::kWindow));
  EXPECT_DOUBLE_EQ(in_ms(seen.p50), row.p50_ms);
  EXPECT_DOUBLE_EQ(in_ms(seen.p99), row.p99_ms);
}

std::vector<double> Repeated(double ms, std::size_t count, std::vector<double> then = {}) {
  std::vector<double> samples(count, ms);
  samples.insert(samples.end(), then.begin(), then.end());
  return samples;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AnswerLatencyRows,
    testing::Values(LatencyRow{"too_few_samples", Repeated(5, 7), 0, -1, 0, 5, 5},
                    // The worst plus the margin (3 ms, more than half of 5); soonest 5 - 3.
                    LatencyRow{"steady_monitor", Repeated(5, 8), 0, 8, 2, 5, 5},
                    LatencyRow{"half_the_worst_as_margin", Repeated(10, 8, {40}), 0, 60, 7, 10, 40},
                    LatencyRow{"each_timeout_doubles_it", Repeated(5, 8), 2, 32, 2, 5, 5},
                    // The slow answer left the window of 64: the worst is 5 again.
                    LatencyRow{"the_worst_leaves_the_window",
                               Repeated(5, 1, Repeated(30, 1, Repeated(5, 64))), 0, 8, 2, 5, 5},
                    LatencyRow{"soonest_never_below_zero", Repeated(1, 8), 0, 5, 0, 1, 1}),
    [](const testing::TestParamInfo<LatencyRow>& row) { return std::string(row.param.name); });

}  // namespace
