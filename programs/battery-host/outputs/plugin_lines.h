#pragma once

// The plug-in writes its own diagnostic lines ("rvSize is 0", its
// configuration trace) on std::cout. While a PluginLines lives, each of them
// goes to `target` (standard error, or a file the configuration names) as
//
//   battery-host: 1001 plug-in: rvSize is 0
//
// with the data id of the device the host is dealing with when the line is
// written: the one it called, or that called it.
//
// The plug-in ends every polling cycle with the same line. A line that is
// the same as the one before of the same device is not written again but
// counted; the count is written as a line of the device's own
//
//   battery-host: 1001 plug-in: last line repeated 59 times
//
// before the device's next different line, at the latest at the first
// repeat once kRepeatReport has passed since the device's last line was
// written, when the device is forgotten (Forget) and at the end.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "programs/battery-host/support/line_buffer.h"

class PluginLines final : public LineBuffer {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::minutes kRepeatReport{1};

  explicit PluginLines(std::streambuf* target, Clock clock = std::chrono::steady_clock::now);
  ~PluginLines() override;
  PluginLines(const PluginLines&) = delete;
  PluginLines& operator=(const PluginLines&) = delete;

  void SetSubject(unsigned int data_id) {
    subject_ = data_id;
    has_subject_ = true;
  }
  // The device is gone (removed, or made again): its repeats are written,
  // and its next line is written whatever it is.
  void Forget(unsigned int data_id);

 protected:
  void StartLine(std::string& line) override;
  bool LineEnded() override;
  int sync() override { return target_->pubsync(); }

 private:
  // The subject of a line: a data id, or kNoSubject before any was set.
  using Subject = std::uint64_t;
  static constexpr Subject kNoSubject = Subject{1} << 32;

  struct Repeats {
    std::string last;  // the device's last line, prefix included
    std::uint64_t count = 0;
    std::chrono::steady_clock::time_point written;  // when its last line went out
  };

  void Prefix(Subject subject, std::string& line) const;
  void Send(const std::string& line);
  void WriteRepeats(Subject subject, Repeats& repeats, std::chrono::steady_clock::time_point now);

  std::streambuf* target_;
  std::streambuf* replaced_;
  Clock clock_;
  unsigned int subject_ = 0;
  bool has_subject_ = false;
  Subject line_subject_ = kNoSubject;  // of the line under way
  std::map<Subject, Repeats> repeats_;
  std::string report_;  // kept: its space is reused
};
