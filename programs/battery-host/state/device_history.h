#pragma once

// What the live host does with the records a device saves: at most one entry
// per configured interval goes to the device's history ring (the newest
// record, written when the interval has passed, and the record held at a
// clean stop); every record when the interval is 0. A write that fails is
// said on the error stream with the system's reason, retried at the next
// record, and said again while it keeps failing, at most once a minute.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

#include "programs/battery-host/state/history_ring.h"
#include "programs/battery-host/state/history_settings.h"

// Messages about a failure that may repeat at every record: the first, then
// again once a minute (or when the reason changes) with a count, and one line
// when it works again.
class RepeatedFailure {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kQuiet{60};

  // What to say about a failure at `now`; empty while it was said less than a minute ago.
  std::string Failed(const std::string& reason, Clock::time_point now);
  // What to say when it worked after failures; empty otherwise.
  std::string Succeeded();
  bool Failing() const { return failures_ != 0; }

 private:
  std::string last_reason_;
  Clock::time_point last_said_;
  unsigned long failures_ = 0;  // since it last worked
  unsigned long unspoken_ = 0;  // since the last message
};

class DeviceHistory {
 public:
  DeviceHistory(boost::asio::io_context& io, const std::filesystem::path& state_dir,
                unsigned int data_id, const HistorySettings& settings, std::ostream& err);

  // Opens (or makes) the ring; its newest entry, for the device to start from.
  std::optional<HistoryRing::Entry> Open();
  // A record the device saved, with what the host noted of it; false when
  // writing it failed just now.
  bool Save(const unsigned char* record, std::size_t length, const RecordContext& context);
  // At a clean stop: writes the record held back by the interval, if any.
  void Flush();
  const HistoryRing& Ring() const { return ring_; }

 private:
  bool Write();
  // Each line on the error stream, marked with its priority.
  using Mark = std::ostream& (*)(std::ostream&);
  void Say(const FileNotes& lines, Mark mark);
  // One line; nothing when it is empty.
  void Say(const std::string& line, Mark mark);

  HistorySettings settings_;
  std::ostream& err_;
  std::string prefix_;  // "battery-host: DATA_ID: "
  HistoryRing ring_;
  boost::asio::steady_timer timer_;
  bool timer_armed_ = false;
  HistoryRing::Record held_{};
  RecordContext held_context_;
  bool holding_ = false;
  std::optional<RepeatedFailure::Clock::time_point> last_written_;
  RepeatedFailure failure_;
};
