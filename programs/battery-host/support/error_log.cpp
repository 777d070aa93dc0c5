#include "programs/battery-host/support/error_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  if (at_line_start_) priority_ = priority;
}

PrefixingBuffer::int_type PrefixingBuffer::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char c = traits_type::to_char_type(ch);
  return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
}

// A line goes out whole, prefix and all, in one write: lines of the host and
// of the plug-in never interleave mid-line, and a line costs one system call.
std::streamsize PrefixingBuffer::xsputn(const char* data, std::streamsize size) {
  const char* const begin = data;
  const char* const end = data + size;
  while (data != end) {
    if (at_line_start_) StartLine();
    const char* newline = std::find(data, end, '\n');
    const char* next = newline == end ? end : newline + 1;
    line_.append(data, next);
    data = next;
    if (newline == end) break;
    priority_ = Priority::kInfo;
    at_line_start_ = true;
    if (!WritePending()) return newline - begin;
  }
  return size;
}

int PrefixingBuffer::sync() {
  const bool written = WritePending();
  return target_->pubsync() == 0 && written ? 0 : -1;
}

void PrefixingBuffer::StartLine() {
  at_line_start_ = false;
  if (prefixes_.priority) {
    line_ += {'<', static_cast<char>('0' + static_cast<int>(priority_)), '>'};
  }
  if (prefixes_.time) line_ += host_text::Now() + ' ';
}

bool PrefixingBuffer::WritePending() {
  if (line_.empty()) return true;
  const auto size = static_cast<std::streamsize>(line_.size());
  const bool written = target_->sputn(line_.data(), size) == size;
  line_.clear();
  return written;
}

Prefixes ForStandardError() {
  const bool journal = StandardErrorIsJournal();
  return Prefixes{journal, !journal};
}

}  // namespace error_log
