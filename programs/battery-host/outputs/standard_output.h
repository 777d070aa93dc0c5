#pragma once

// Standard output of `battery-host run` carries the JSON lines and nothing
// else. While a StandardOutput lives, the JSON lines go to the standard output
// the host was started with, and file descriptor 1 itself points at standard
// error: whatever else writes there (the plug-in's own lines through C stdio)
// cannot mix into the JSON.
//
// The lines are written from the event loop without ever blocking it: a
// reader that is slow or stops (a pipe nobody reads, a stalled journal, a
// terminal held with Ctrl-S) must not stop the polling, the HTTP server, the
// MQTT upstream or SIGTERM. What the reader has not taken waits in a queue of
// kQueueBytes; a line that does not fit is dropped whole and counted, so the
// stream never holds part of a line. A write that fails (a closed pipe, a
// full disk) is kept as the stream's failure, with the system's reason, so
// the run can end loudly.
//
// A regular file (and /dev/null) takes its writes at once; a pipe, a FIFO or
// a terminal is written through a descriptor of its own opened non-blocking
// (the shell that shares the terminal's is left alone), a socket (the
// journal) with MSG_DONTWAIT.

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class StandardOutput {
 public:
  // A record line is about 450 bytes: 256 KiB hold about 580 lines, on top of
  // the pipe's own 64 KiB: ten minutes of one monitor polled every second, or
  // a pause of two seconds with 256 monitors. A reader further behind than
  // that has stopped or cannot keep up, and a small controller's memory is
  // better spent than on lines nobody reads.
  static constexpr std::size_t kQueueBytes = 256 * 1024;

  class Listener {
   public:
    // A write failed: nothing more is written.
    virtual void OutputFailed(const std::string& reason) = 0;
    // The first line of a run of dropped ones was dropped.
    virtual void OutputDropping() = 0;
    // The reader has taken everything queued since `dropped` lines were
    // dropped; `dropped_in_run` counts every line dropped since the start.
    virtual void OutputCaughtUp(std::uint64_t dropped, std::uint64_t dropped_in_run) = 0;

   protected:
    ~Listener() = default;
  };

  // Throws std::runtime_error when standard output is closed.
  StandardOutput(boost::asio::io_context& io, Listener& listener);
  ~StandardOutput();
  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;

  // Writes a whole line (its newline included) or queues it; false when it
  // was dropped, or the stream has failed.
  bool Write(std::string_view line);
  // Once the event loop has ended: writes what is queued, waiting for the
  // reader at most `limit`. The number of lines that were not written.
  std::size_t Finish(std::chrono::milliseconds limit);

  std::uint64_t Dropped() const { return dropped_in_run_; }
  const std::string& Failure() const { return failure_; }

 private:
  enum class Kind { kFile, kStream, kSocket };

  // What the reader takes of `data` now, or -1 with errno set.
  long WriteNow(const char* data, std::size_t size);
  // Queued lines to the reader as far as it takes them now.
  void WriteQueued();
  void WaitForReader();
  void Fail(int error);

  Listener& listener_;
  Kind kind_;
  int fd_;
  // The descriptor's flags to put back at the end, where O_NONBLOCK had to be
  // set on the one the host was given; -1 when they were not changed.
  int restore_flags_ = -1;
  boost::asio::posix::stream_descriptor waiter_;
  std::string queue_;            // whole lines, the first one maybe begun
  std::size_t queue_start_ = 0;  // what of queue_ has been written
  bool waiting_ = false;
  std::uint64_t dropped_ = 0;  // since the reader last kept up
  std::uint64_t dropped_in_run_ = 0;
  std::string failure_;
};

// A file the host appends lines to, opened without blocking (anything but a
// regular file is refused); throws std::runtime_error naming the path and the
// reason when it cannot be opened.
int OpenAppendFile(const std::string& path);
