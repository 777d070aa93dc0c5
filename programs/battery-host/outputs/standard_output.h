#pragma once

// Standard output of `battery-host run` carries the JSON lines and nothing
// else. While a StandardOutput lives, the JSON lines go to the standard output
// the host was started with, and file descriptor 1 itself points at standard
// error: whatever else writes there (the plug-in's own lines through C stdio)
// cannot mix into the JSON. A write that fails or stops short is kept as the
// stream's failure, with the system's reason, so the run can end loudly.

#include <array>
#include <ostream>
#include <streambuf>
#include <string>

// Writes to a file descriptor it owns, in whole lines when flushed per line;
// remembers why the first write that did not go through failed.
class FdOutputBuffer final : public std::streambuf {
 public:
  explicit FdOutputBuffer(int fd);
  ~FdOutputBuffer() override;
  FdOutputBuffer(const FdOutputBuffer&) = delete;
  FdOutputBuffer& operator=(const FdOutputBuffer&) = delete;

  // Empty while every write went through; else why one did not.
  const std::string& Failure() const { return failure_; }

 protected:
  int_type overflow(int_type ch) override;
  int sync() override;

 private:
  bool WriteAll(const char* data, std::size_t size);

  int fd_;
  std::array<char, 4096> space_{};
  std::string failure_;
};

class StandardOutput {
 public:
  // Throws std::runtime_error when standard output is closed.
  StandardOutput();
  ~StandardOutput() { stream_.flush(); }
  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;

  std::ostream& Stream() { return stream_; }
  const std::string& Failure() const { return buffer_.Failure(); }

 private:
  FdOutputBuffer buffer_;
  std::ostream stream_;
};

// A file the host appends lines to, opened without blocking (anything but a
// regular file is refused); throws std::runtime_error naming the path and the
// reason when it cannot be opened.
int OpenAppendFile(const std::string& path);
