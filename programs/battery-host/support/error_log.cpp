#include "programs/battery-host/support/error_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "programs/battery-host/support/text_format.h"

namespace error_log {

namespace {

std::ostream& MarkLine(std::ostream& out, Priority priority) {
  if (auto* buffer = dynamic_cast<PrefixingBuffer*>(out.rdbuf())) buffer->Mark(priority);
  return out;
}

}  // namespace

std::ostream& Error(std::ostream& out) {
  return MarkLine(out, Priority::kError);
}
std::ostream& Warning(std::ostream& out) {
  return MarkLine(out, Priority::kWarning);
}

std::ostream& Info(std::ostream& out) {
  return MarkLine(out, Priority::kInfo);
}

bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) return false;
  struct stat error_file {};
  if (fstat(STDERR_FILENO, &error_file) != 0) return false;
  return error_file.st_dev == device && error_file.st_ino == inode;
}

void PrefixingBuffer::Mark(Priority priority) {
  if (AtLineStart()) priority_ = priority;
}

void PrefixingBuffer::StartLine(std::string& line) {
  if (prefixes_.priority) {
    line += {'<', static_cast<char>('0' + static_cast<int>(priority_)), '>'};
  }
  if (prefixes_.time) {
    host_text::AppendNow(line);
    line += ' ';
  }
}

// A line goes out whole, prefix and all, in one write: lines of the host and
// of the plug-in never interleave mid-line, and a line costs one system call.
bool PrefixingBuffer::LineEnded() {
  priority_ = Priority::kInfo;
  return WritePending();
}

int PrefixingBuffer::sync() {
  const bool written = WritePending();
  return target_->pubsync() == 0 && written ? 0 : -1;
}

bool PrefixingBuffer::WritePending() {
  std::string& line = Line();
  if (line.empty()) return true;
  const auto size = static_cast<std::streamsize>(line.size());
  const bool written = target_->sputn(line.data(), size) == size;
  line.clear();
  return written;
}

Prefixes ForStandardError() {
  const bool journal = StandardErrorIsJournal();
  return Prefixes{journal, !journal};
}

}  // namespace error_log
