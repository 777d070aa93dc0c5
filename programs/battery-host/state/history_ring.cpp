#include "programs/battery-host/state/history_ring.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "battery/byte_order.h"
#include "programs/battery-host/support/state_file.h"

namespace {

using namespace history_ring;
using byte_order::ReadLittleEndian;
using byte_order::WriteLittleEndian;
using state_file::Crc32;
using state_file::Opened;
using state_file::OpenRegular;
using state_file::ReadAt;
using state_file::WriteAt;

// Entries read per call while scanning a ring.
constexpr std::size_t kScanBatch = 256;

bool MayNotWrite(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// The system's random source (getrandom): two rings made at the same moment
// on two machines, or from the same image, get different ids.
std::uint64_t NewRingId() {
  std::random_device source;
  std::uint64_t id = 0;
  while (id == 0) id = (std::uint64_t{source()} << 32) | source();
  return id;
}

std::array<unsigned char, kHeaderSize> MakeHeader(std::uint32_t capacity, std::uint64_t id,
                                                  const EntryLayout& layout = kCurrentLayout) {
  std::array<unsigned char, kHeaderSize> header{};
  std::copy(kMagic.begin(), kMagic.end(), header.begin() + kHeaderMagicOffset);
  WriteLittleEndian<std::uint32_t>(header, kHeaderVersionOffset, layout.version);
  WriteLittleEndian<std::uint32_t>(header, kHeaderSizeOffset, kHeaderSize);
  WriteLittleEndian<std::uint32_t>(header, kHeaderEntrySizeOffset, layout.entry_size);
  WriteLittleEndian<std::uint32_t>(header, kHeaderCapacityOffset, capacity);
  WriteLittleEndian<std::uint64_t>(header, kHeaderRingIdOffset, id);
  WriteLittleEndian<std::uint32_t>(header, kHeaderCrcOffset,
                                   Crc32(header.data(), kHeaderCrcOffset));
  return header;
}

struct HeaderFacts {
  std::uint32_t capacity = 0;  // 0: the header does not verify
  const EntryLayout* layout = nullptr;
  std::uint64_t id = 0;
};

const EntryLayout* LayoutOf(std::uint32_t version, std::uint32_t entry_size) {
  for (const EntryLayout& layout : kLayouts) {
    if (layout.version == version && layout.entry_size == entry_size) return &layout;
  }
  return nullptr;
}

HeaderFacts ReadHeader(const std::array<unsigned char, kHeaderSize>& header) {
  const std::uint32_t capacity = ReadLittleEndian<std::uint32_t>(header, kHeaderCapacityOffset);
  const EntryLayout* layout =
      LayoutOf(ReadLittleEndian<std::uint32_t>(header, kHeaderVersionOffset),
               ReadLittleEndian<std::uint32_t>(header, kHeaderEntrySizeOffset));
  const bool valid = std::equal(kMagic.begin(), kMagic.end(), header.begin()) &&
                     layout != nullptr &&
                     ReadLittleEndian<std::uint32_t>(header, kHeaderSizeOffset) == kHeaderSize &&
                     capacity >= kMinCapacity && capacity <= kMaxCapacity &&
                     ReadLittleEndian<std::uint32_t>(header, kHeaderCrcOffset) ==
                         Crc32(header.data(), kHeaderCrcOffset);
  return valid ? HeaderFacts{capacity, layout,
                             ReadLittleEndian<std::uint64_t>(header, kHeaderRingIdOffset)}
               : HeaderFacts{};
}

std::array<unsigned char, kEntrySize> MakeEntry(const HistoryRing::Entry& entry,
                                                const EntryLayout& layout) {
  std::array<unsigned char, kEntrySize> bytes{};
  WriteLittleEndian<std::uint64_t>(bytes, kEntrySequenceOffset, entry.sequence);
  std::copy(entry.record.begin(), entry.record.end(), bytes.begin() + kEntryRecordOffset);
  if (layout.has_context) {
    const auto offset = entry.context.utc_offset_minutes;
    WriteLittleEndian<std::uint16_t>(
        bytes, kEntryUtcOffsetOffset,
        static_cast<std::uint16_t>(offset ? *offset : kUtcOffsetNotKnown));
    WriteLittleEndian<std::uint16_t>(
        bytes, kEntryFlagsOffset,
        entry.context.group_voltage_valid ? std::uint16_t{0} : kFlagGroupVoltageNotMeasured);
  }
  WriteLittleEndian<std::uint32_t>(bytes, layout.CrcOffset(),
                                   Crc32(bytes.data(), layout.CrcOffset()));
  return bytes;
}

RecordContext DecodeContext(byte_order::ByteSpan<const unsigned char> bytes) {
  RecordContext context;
  const auto offset = ReadLittleEndian<std::int16_t>(bytes, kEntryUtcOffsetOffset);
  if (offset != kUtcOffsetNotKnown) context.utc_offset_minutes = offset;
  const auto flags = ReadLittleEndian<std::uint16_t>(bytes, kEntryFlagsOffset);
  context.group_voltage_valid = (flags & kFlagGroupVoltageNotMeasured) == 0;
  return context;
}

// The entry in `bytes` when it verifies and belongs in `slot`.
std::optional<HistoryRing::Entry> DecodeEntry(const unsigned char* bytes, std::uint32_t slot,
                                              std::uint32_t capacity, const EntryLayout& layout) {
  const byte_order::ByteSpan at{bytes, layout.entry_size};
  const std::size_t crc_at = layout.CrcOffset();
  if (ReadLittleEndian<std::uint32_t>(at, crc_at) != Crc32(bytes, crc_at)) return std::nullopt;
  HistoryRing::Entry entry;
  entry.sequence = ReadLittleEndian<std::uint64_t>(at, kEntrySequenceOffset);
  if (entry.sequence == 0 || entry.sequence % capacity != slot) return std::nullopt;
  std::copy_n(bytes + kEntryRecordOffset, entry.record.size(), entry.record.begin());
  if (layout.has_context) entry.context = DecodeContext(at);
  return entry;
}

std::uint32_t SlotOf(std::uint64_t sequence, std::uint32_t capacity) {
  return static_cast<std::uint32_t>(sequence % capacity);
}

std::uint64_t EntryOffset(std::uint64_t slot, const EntryLayout& layout = kCurrentLayout) {
  return kHeaderSize + slot * layout.entry_size;
}

// A renamed file survives a power cut only once its folder is on disk too.
void SyncFolderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string history_ring::RingIdText(std::uint64_t id) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (std::size_t i = text.size(); i > 0; --i, id >>= 4) text[i - 1] = kDigits[id & 0xf];
  return text;
}

HistoryRing::HistoryRing(std::string path, std::uint32_t capacity)
    : path_(std::move(path)), capacity_(capacity) {}

HistoryRing::~HistoryRing() {
  Close();
}

void HistoryRing::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  appended_.reset();
  access_ = Access::kNone;
  rebuild_pending_ = false;
}

void HistoryRing::Open(FileNotes& notes) {
  Close();
  if (const auto failure = OpenExisting(notes)) {
    notes.push_back(path_ + ": " + failure->Text());
  } else if (access_ == Access::kReadOnly) {
    notes.push_back(path_ + ": " + write_refusal_.Text() +
                    ": opened read-only; its entries are restored, new ones cannot be written");
  }
}

std::optional<FileFailure> HistoryRing::OpenExisting(FileNotes& notes) {
  slots_.clear();
  newest_ = 0;
  id_ = 0;
  file_capacity_ = 0;
  Opened file = OpenRegular(path_, O_RDWR);
  if (file.Error() == ENOENT) return Create({});
  Access access = Access::kReadWrite;
  if (file.fd < 0 && MayNotWrite(file.Error())) {
    write_refusal_ = *file.failure;
    file = OpenRegular(path_, O_RDONLY);
    access = Access::kReadOnly;
  }
  if (file.fd < 0) return file.failure;
  fd_ = file.fd;
  access_ = access;
  return Load(notes);
}

std::optional<FileFailure> HistoryRing::Load(FileNotes& notes) {
  std::array<unsigned char, kHeaderSize> header{};
  const bool whole = ReadAt(fd_, header.data(), header.size(), 0) == header.size();
  const HeaderFacts facts = whole ? ReadHeader(header) : HeaderFacts{};
  file_capacity_ = facts.capacity;
  if (file_capacity_ == 0) {
    if (access_ != Access::kReadWrite) {
      return FileFailure{"the header does not verify: not a history ring"};
    }
    return MoveAside("the header does not verify", notes);
  }
  layout_ = facts.layout;
  id_ = facts.id;
  const bool written = Scan();
  // Entries were written and none is left: the ring starts again at 1, as a
  // ring of its own.
  if (access_ == Access::kReadWrite && written && newest_ == 0) {
    return MoveAside("no entry verifies", notes);
  }
  if (access_ == Access::kReadWrite && id_ == 0) GiveId(notes);
  struct stat info {};
  ::fstat(fd_, &info);
  const bool allocated =
      static_cast<std::uint64_t>(info.st_size) >= FileSize(file_capacity_, *layout_);
  const bool as_configured = file_capacity_ == capacity_ && layout_ == &kCurrentLayout;
  if (access_ == Access::kReadWrite && !(allocated && as_configured)) {
    rebuild_pending_ = true;
    Rebuild(notes);
  }
  return std::nullopt;
}

std::optional<FileFailure> HistoryRing::MoveAside(const std::string& why, FileNotes& notes) {
  const std::string aside = path_ + ".bad";
  if (::rename(path_.c_str(), aside.c_str()) != 0) return FileFailure{"rename", errno};
  notes.push_back(path_ + ": " + why + "; moved aside to " + aside + ", started anew");
  Close();
  return Create({});
}

bool HistoryRing::Scan() {
  bool written = false;
  slots_.assign(file_capacity_, 0);
  newest_ = 0;
  const std::size_t entry_size = layout_->entry_size;
  std::vector<unsigned char> batch(kScanBatch * entry_size);
  for (std::uint32_t first = 0; first < file_capacity_; first += kScanBatch) {
    const std::uint32_t count =
        std::min<std::uint32_t>(static_cast<std::uint32_t>(kScanBatch), file_capacity_ - first);
    const std::size_t got =
        ReadAt(fd_, batch.data(), count * entry_size, EntryOffset(first, *layout_));
    for (std::uint32_t i = 0; i < count && (i + 1) * entry_size <= got; ++i) {
      const auto entry = DecodeEntry(&batch[i * entry_size], first + i, file_capacity_, *layout_);
      const unsigned char* bytes = &batch[i * entry_size];
      written =
          written || std::any_of(bytes, bytes + entry_size, [](unsigned char b) { return b; });
      if (entry) {
        slots_[first + i] = entry->sequence;
        newest_ = std::max(newest_, entry->sequence);
      }
    }
  }
  // An entry left from a lap before (its replacement failed before any byte
  // reached the file) is not part of the history any more.
  for (std::uint64_t& sequence : slots_) {
    if (sequence + file_capacity_ <= newest_) sequence = 0;
  }
  return written;
}

// Another capacity or layout, or a file cut short: made anew with the newest
// entries it holds. On a full disk the ring goes on as it is meanwhile; the
// free space is looked at first, so a retry at every record reads nothing.
void HistoryRing::Rebuild(FileNotes& notes) {
  struct stat info {};
  ::fstat(fd_, &info);
  std::string was =
      std::to_string(file_capacity_) + " entries of " + std::to_string(info.st_size) + " bytes";
  if (layout_ != &kCurrentLayout) was += " in layout " + std::to_string(layout_->version);
  std::vector<Entry> carried;
  std::optional<FileFailure> failure = SpaceFor(FileSize(capacity_));
  if (!failure) {
    carried = HeldEntries();
    if (carried.size() > capacity_)
      carried.erase(carried.begin(), carried.end() - static_cast<std::ptrdiff_t>(capacity_));
    failure = Create(carried, id_);
  }
  if (!failure) {
    notes.push_back(path_ + ": " + was + " made into " + std::to_string(capacity_) +
                    ", keeping the newest " + std::to_string(carried.size()));
    rebuild_pending_ = false;
    rebuild_failure_.clear();
    return;
  }
  const std::string text = failure->Text();
  if (text != rebuild_failure_) {
    notes.push_back(path_ + ": " + was + " could not be made into " + std::to_string(capacity_) +
                    ": " + text + "; kept as it is, tried again at the next record");
  }
  rebuild_failure_ = text;
}

std::optional<FileFailure> HistoryRing::SpaceFor(std::uint64_t bytes) const {
  struct statvfs disk {};
  if (::fstatvfs(fd_, &disk) != 0) return std::nullopt;
  // Blocks reserved for root count: the service may run as root.
  const std::uint64_t free = std::uint64_t{disk.f_bfree} * disk.f_frsize;
  if (free >= bytes) return std::nullopt;
  return FileFailure{"not enough space: " + std::to_string(bytes) + " bytes needed, " +
                         std::to_string(free) + " free",
                     ENOSPC};
}

std::vector<HistoryRing::Entry> HistoryRing::HeldEntries() const {
  std::vector<Entry> entries;
  for (auto entry = ReadFrom(1); entry; entry = ReadFrom(entry->sequence + 1)) {
    entries.push_back(*entry);
  }
  return entries;
}

void HistoryRing::GiveId(FileNotes& notes) {
  const std::uint64_t id = NewRingId();
  const auto header = MakeHeader(file_capacity_, id, *layout_);
  // The header alone is rewritten: one write of 32 bytes, which a crash
  // leaves whole or not begun within a sector.
  if (!WriteAt(fd_, header.data(), header.size(), 0) || ::fdatasync(fd_) != 0) {
    notes.push_back(path_ + ": " + FileFailure{"write the ring id", errno}.Text());
    return;
  }
  if (id_ == 0) notes.push_back(path_ + ": given the ring id " + RingIdText(id));
  id_ = id;
}

std::optional<FileFailure> HistoryRing::Create(const std::vector<Entry>& carried,
                                               std::uint64_t id) {
  if (id == 0) id = NewRingId();
  // Made whole under another name and renamed into place: a crash meanwhile
  // leaves the old file or the new one, never half of one.
  const std::string temporary = path_ + ".new";
  ::unlink(temporary.c_str());
  const int fd =
      ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return FileFailure{"create " + temporary, errno};
  const auto fail = [&](const char* what, int error) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return FileFailure{what, error};
  };
  const int allocated = ::posix_fallocate(fd, 0, static_cast<off_t>(FileSize(capacity_)));
  if (allocated != 0) return fail("posix_fallocate", allocated);
  const auto header = MakeHeader(capacity_, id);
  if (!WriteAt(fd, header.data(), header.size(), 0)) return fail("pwrite", errno);
  for (const Entry& entry : carried) {
    const auto bytes = MakeEntry(entry, kCurrentLayout);
    if (!WriteAt(fd, bytes.data(), kEntrySize, EntryOffset(SlotOf(entry.sequence, capacity_)))) {
      return fail("pwrite", errno);
    }
  }
  if (::fsync(fd) != 0) return fail("fsync", errno);
  if (::rename(temporary.c_str(), path_.c_str()) != 0) return fail("rename", errno);
  SyncFolderOf(path_);
  Close();
  fd_ = fd;
  access_ = Access::kReadWrite;
  file_capacity_ = capacity_;
  layout_ = &kCurrentLayout;
  id_ = id;
  slots_.assign(capacity_, 0);
  newest_ = 0;
  for (const Entry& entry : carried) {
    slots_[SlotOf(entry.sequence, capacity_)] = entry.sequence;
    newest_ = std::max(newest_, entry.sequence);
  }
  return std::nullopt;
}

std::uint64_t HistoryRing::OldestSequence() const {
  for (std::uint64_t sequence = newest_ > file_capacity_ ? newest_ - file_capacity_ + 1 : 1;
       newest_ != 0 && sequence <= newest_; ++sequence) {
    if (slots_[SlotOf(sequence, file_capacity_)] == sequence) return sequence;
  }
  return 0;
}

std::optional<HistoryRing::Entry> HistoryRing::ReadSlot(std::uint32_t slot) const {
  std::array<unsigned char, kEntrySize> bytes{};
  const std::size_t size = layout_->entry_size;
  if (fd_ < 0 || ReadAt(fd_, bytes.data(), size, EntryOffset(slot, *layout_)) != size) {
    return std::nullopt;
  }
  return DecodeEntry(bytes.data(), slot, file_capacity_, *layout_);
}

std::optional<HistoryRing::Entry> HistoryRing::ReadFrom(std::uint64_t sequence) const {
  const std::uint64_t window = newest_ > file_capacity_ ? newest_ - file_capacity_ + 1 : 1;
  for (std::uint64_t s = std::max(sequence, window); newest_ != 0 && s <= newest_; ++s) {
    const std::uint32_t slot = SlotOf(s, file_capacity_);
    if (slots_[slot] != s) continue;
    if (appended_ && appended_->sequence == s) return appended_;
    const auto entry = ReadSlot(slot);
    if (entry && entry->sequence == s) return entry;
  }
  return std::nullopt;
}

std::optional<HistoryRing::Entry> HistoryRing::Newest() const {
  for (std::uint64_t s = newest_; s != 0 && s + file_capacity_ > newest_; --s) {
    const std::uint32_t slot = SlotOf(s, file_capacity_);
    if (slots_[slot] != s) continue;
    const auto entry = ReadSlot(slot);
    if (entry && entry->sequence == s) return entry;
  }
  return std::nullopt;
}

std::optional<FileFailure> HistoryRing::Append(const unsigned char* record,
                                               const RecordContext& context, FileNotes& notes) {
  if (access_ != Access::kReadWrite) {
    Close();
    if (auto failure = OpenExisting(notes)) return failure;
    if (access_ != Access::kReadWrite) return write_refusal_;
  }
  if (rebuild_pending_) Rebuild(notes);
  Entry entry;
  entry.sequence = newest_ + 1;
  std::copy_n(record, entry.record.size(), entry.record.begin());
  entry.context = context;
  const auto bytes = MakeEntry(entry, *layout_);
  const std::uint32_t slot = SlotOf(entry.sequence, file_capacity_);
  // One write per entry: what it replaces is the oldest entry, and only that.
  if (!WriteAt(fd_, bytes.data(), layout_->entry_size, EntryOffset(slot, *layout_))) {
    const int error = errno;
    slots_[slot] = 0;
    return FileFailure{"pwrite", error};
  }
  slots_[slot] = entry.sequence;
  newest_ = entry.sequence;
  // An entry of layout 1 keeps no context: what it reads back as.
  if (!layout_->has_context) entry.context = RecordContext{};
  appended_ = entry;
  return std::nullopt;
}
