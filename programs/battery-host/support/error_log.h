#pragma once

// The host's error stream. Every line starts with the time it was written,
// "2026-03-01T12:00:05.123+01:00 battery-host: 1001 ...". When standard error
// goes to the journal (the service manager names that stream in
// JOURNAL_STREAM), which keeps the time itself, every line starts instead with
// the journal's priority prefix, "<3>" for errors, "<4>" for warnings and
// "<6>" for the rest, so journalctl shows errors and warnings as such.
//
//   err << error_log::Error << "battery-host: " << port << ": gone" << std::endl;
//
// A line without a mark is info; on a stream without prefixes the marks write
// nothing.

#include <ostream>
#include <streambuf>
#include <string>

#include "programs/battery-host/support/line_buffer.h"

namespace error_log {

enum class Priority { kError = 3, kWarning = 4, kInfo = 6 };

// Marks the line being started on `out`.
std::ostream& Error(std::ostream& out);
std::ostream& Warning(std::ostream& out);
std::ostream& Info(std::ostream& out);

// True when standard error is the journal stream named by JOURNAL_STREAM
// ("DEVICE:INODE"), not merely a process started under systemd that
// redirected it elsewhere.
bool StandardErrorIsJournal();

// What starts every line.
struct Prefixes {
  bool priority = false;  // the journal's "<N>"
  bool time = false;      // local time with milliseconds and the UTC offset
};
// The prefixes for standard error as it is now: the journal, or anything else.
Prefixes ForStandardError();

// Writes each line to `target` behind its prefixes, whole.
class PrefixingBuffer final : public LineBuffer {
 public:
  PrefixingBuffer(std::streambuf* target, Prefixes prefixes)
      : target_(target), prefixes_(prefixes) {}
  // Takes effect for a line nothing of which has been written yet.
  void Mark(Priority priority);
  std::streambuf* Target() const { return target_; }

 protected:
  void StartLine(std::string& line) override;
  bool LineEnded() override;
  int sync() override;

 private:
  bool WritePending();

  std::streambuf* target_;
  Prefixes prefixes_;
  Priority priority_ = Priority::kInfo;
};

// Puts a PrefixingBuffer between `out` and its buffer while it lives.
class LinePrefixes {
 public:
  LinePrefixes(std::ostream& out, Prefixes prefixes) : out_(out), buffer_(out.rdbuf(), prefixes) {
    out_.rdbuf(&buffer_);
  }
  ~LinePrefixes() {
    out_.flush();
    out_.rdbuf(buffer_.Target());
  }
  LinePrefixes(const LinePrefixes&) = delete;
  LinePrefixes& operator=(const LinePrefixes&) = delete;

 private:
  std::ostream& out_;
  PrefixingBuffer buffer_;
};

}  // namespace error_log
