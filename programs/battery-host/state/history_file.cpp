#include "programs/battery-host/state/history_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/crc.hpp>

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned char kMagic[4] = {'B', '3', '2', 'H'};
constexpr std::size_t kRecordOffset = sizeof kMagic;
constexpr std::size_t kCrcOffset = kRecordOffset + battery_record::kSize;
// Entries examined from the end before recovery gives up.
constexpr std::size_t kMaxEntriesScanned = 64;

std::uint32_t Crc(const unsigned char* record) {
  boost::crc_32_type crc;
  crc.process_bytes(record, battery_record::kSize);
  return crc.checksum();
}

}  // namespace

HistoryFile::HistoryFile(std::string path) : path_(std::move(path)) {}

HistoryFile::~HistoryFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::array<unsigned char, HistoryFile::kEntrySize> HistoryFile::Frame(const unsigned char* record) {
  std::array<unsigned char, kEntrySize> entry{};
  std::memcpy(entry.data(), kMagic, sizeof kMagic);
  std::memcpy(entry.data() + kRecordOffset, record, battery_record::kSize);
  const std::uint32_t crc = Crc(record);
  for (std::size_t i = 0; i < 4; ++i) {
    entry[kCrcOffset + i] = static_cast<unsigned char>(crc >> (8 * i));
  }
  return entry;
}

bool HistoryFile::Verify(const unsigned char* entry) {
  if (std::memcmp(entry, kMagic, sizeof kMagic) != 0) return false;
  std::uint32_t stored = 0;
  for (std::size_t i = 0; i < 4; ++i)
    stored |= static_cast<std::uint32_t>(entry[kCrcOffset + i]) << (8 * i);
  return stored == Crc(entry + kRecordOffset);
}

std::optional<HistoryFile::Record> HistoryFile::Recover(std::string& notes) {
  const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  ::fstat(fd, &info);
  const auto size = static_cast<std::size_t>(info.st_size);
  const std::size_t whole = size - size % kEntrySize;
  if (whole != size) {
    notes +=
        path_ + ": torn entry of " + std::to_string(size - whole) + " bytes at the end, cut off\n";
    if (::ftruncate(fd, static_cast<off_t>(whole)) != 0) notes += path_ + ": cannot cut it off\n";
  }
  std::optional<Record> newest;
  std::array<unsigned char, kEntrySize> entry{};
  const std::size_t count = whole / kEntrySize;
  for (std::size_t back = 1; back <= std::min(count, kMaxEntriesScanned) && !newest; ++back) {
    const auto offset = static_cast<off_t>((count - back) * kEntrySize);
    if (::pread(fd, entry.data(), entry.size(), offset) != static_cast<ssize_t>(entry.size()) ||
        !Verify(entry.data())) {
      notes += path_ + ": corrupt entry " + std::to_string(count - back) + " skipped\n";
      continue;
    }
    newest.emplace();
    std::memcpy(newest->data(), entry.data() + kRecordOffset, battery_record::kSize);
  }
  ::close(fd);
  return newest;
}

bool HistoryFile::Append(const unsigned char* record, std::size_t length) {
  if (length != battery_record::kSize) {
    errno = EINVAL;
    return false;
  }
  if (fd_ < 0) fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
  const auto entry = Frame(record);
  // One write per entry: a power cut tears at most this entry.
  return ::write(fd_, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size());
}
