#include "programs/battery-host/outputs/error_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "programs/battery-host/text_format.h"

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

std::streamsize PrefixingBuffer::xsputn(const char* data, std::streamsize size) {
  std::streamsize done = 0;
  while (done < size) {
    if (at_line_start_ && !WritePrefix()) break;
    const char* end = std::find(data + done, data + size, '\n');
    const bool line_ends = end != data + size;
    const std::streamsize piece = (end - data) - done + (line_ends ? 1 : 0);
    const std::streamsize written = target_->sputn(data + done, piece);
    done += written;
    if (written != piece) break;
    if (line_ends) {
      at_line_start_ = true;
      priority_ = Priority::kInfo;
    }
  }
  return done;
}

Prefixes ForStandardError() {
  const bool journal = StandardErrorIsJournal();
  return Prefixes{journal, !journal};
}

bool PrefixingBuffer::WritePrefix() {
  at_line_start_ = false;
  std::string prefix;
  if (prefixes_.priority) {
    prefix = {'<', static_cast<char>('0' + static_cast<int>(priority_)), '>'};
  }
  if (prefixes_.time) prefix += host_text::Now() + ' ';
  const auto size = static_cast<std::streamsize>(prefix.size());
  return target_->sputn(prefix.data(), size) == size;
}

}  // namespace error_log
