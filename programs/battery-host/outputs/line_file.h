#pragma once

// The file that the plug-in's own lines are appended to (plugin_log), one
// line per write: each line goes in whole or not at all, so a full disk never
// leaves half a line in the file. A write that fails is said once on the
// error stream with the system's reason; the lines that follow are dropped
// and counted, each tried in turn, and the first that goes in again is said
// too, with the count.

#include <cstdint>
#include <ostream>
#include <string>

#include "programs/battery-host/support/line_buffer.h"

class LineFile final : public UnbufferedStreambuf {
 public:
  // Throws std::runtime_error, naming the path and the reason, when the file
  // cannot be opened for appending (OpenAppendFile).
  LineFile(std::string path, std::ostream& err);
  ~LineFile() override;
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

 protected:
  // One whole line, its newline included, as PluginLines hands it over.
  std::streamsize xsputn(const char* data, std::streamsize size) override;

 private:
  // The system's reason when the line did not go in whole; empty when it did.
  std::string Append(const char* data, std::size_t size);

  std::string path_;
  std::ostream& err_;
  int fd_;
  std::uint64_t dropped_ = 0;  // since the last line that went in
  std::string failure_;        // the reason said, while lines are dropped
};
