#include "programs/battery-host/state/device_history.h"

#include <algorithm>
#include <ostream>

#include "programs/battery-host/support/error_log.h"

std::string RepeatedFailure::Failed(const std::string& reason, Clock::time_point now) {
  ++failures_;
  ++unspoken_;
  const bool first = failures_ == 1;
  if (!first && reason == last_reason_ && now - last_said_ < kQuiet) return {};
  std::string text = "cannot write the history: " + reason;
  if (!first) text += " (" + std::to_string(unspoken_) + " failed writes since the last message)";
  last_reason_ = reason;
  last_said_ = now;
  unspoken_ = 0;
  return text + "; retried at the next record";
}

std::string RepeatedFailure::Succeeded() {
  if (failures_ == 0) return {};
  const std::string text =
      "history written again after " + std::to_string(failures_) + " failed writes";
  failures_ = 0;
  unspoken_ = 0;
  last_reason_.clear();
  return text;
}

DeviceHistory::DeviceHistory(boost::asio::io_context& io, const std::filesystem::path& state_dir,
                             unsigned int data_id, const HistorySettings& settings,
                             std::ostream& err)
    : settings_(settings),
      err_(err),
      prefix_("battery-host: " + std::to_string(data_id) + ": "),
      ring_((state_dir / ("device-" + std::to_string(data_id) + ".ring")).string(),
            settings.entries),
      timer_(io) {}

std::optional<HistoryRing::Entry> DeviceHistory::Open() {
  FileNotes notes;
  ring_.Open(notes);
  Say(notes, error_log::Warning);
  return ring_.Newest();
}

bool DeviceHistory::Save(const unsigned char* record, std::size_t length,
                         const RecordContext& context) {
  if (length != held_.size()) return false;
  std::copy_n(record, length, held_.begin());
  held_context_ = context;
  holding_ = true;
  const auto now = RepeatedFailure::Clock::now();
  const bool due = !last_written_ || now >= *last_written_ + settings_.interval;
  if (due || failure_.Failing()) return Write();
  if (!timer_armed_) {
    timer_armed_ = true;
    timer_.expires_at(*last_written_ + settings_.interval);
    timer_.async_wait([this](const boost::system::error_code& error) {
      // A cancelled wait may end after the history is gone: nothing of it is touched.
      if (error) return;
      timer_armed_ = false;
      if (holding_) Write();
    });
  }
  return true;
}

void DeviceHistory::Flush() {
  timer_.cancel();
  timer_armed_ = false;
  if (holding_) Write();
}

bool DeviceHistory::Write() {
  FileNotes notes;
  const std::optional<FileFailure> failure = ring_.Append(held_.data(), held_context_, notes);
  Say(notes, error_log::Warning);
  const auto now = RepeatedFailure::Clock::now();
  if (failure) {
    Say(failure_.Failed(ring_.Path() + ": " + failure->Text(), now), error_log::Error);
    return false;
  }
  holding_ = false;
  last_written_ = now;
  Say(failure_.Succeeded(), error_log::Info);
  return true;
}

void DeviceHistory::Say(const FileNotes& lines, Mark mark) {
  for (const std::string& line : lines) err_ << mark << prefix_ << line << '\n';
  if (!lines.empty()) err_ << std::flush;
}

void DeviceHistory::Say(const std::string& line, Mark mark) {
  if (!line.empty()) Say(FileNotes{line}, mark);
}
