#pragma once

// A device's history: a file of fixed size holding the newest `capacity`
// records the device saved, each in an entry of its own with a sequence
// number that rises by one per entry written and keeps rising across
// restarts. The file is allocated in full when it is created, so a disk that
// fills later cannot cut a write short for want of space.
//
//   header, 32 bytes                         entry, 168 bytes
//   offset size content                      offset size content
//        0    4 magic "B32R"                      0    8 sequence number (from 1)
//        4    4 layout version (2)                8  152 the record, byte for byte
//        8    4 header size (32)                160    2 UTC offset of its sample_time,
//       12    4 entry size (168)                         minutes east, signed; -32768:
//       16    4 capacity (entries)                       not known
//       20    8 ring id (random, never 0)       162    2 flags: bit 0, the group voltage
//       28    4 CRC-32 of bytes 0..27                    is no measurement
//                                               164    4 CRC-32 of bytes 0..163
//
// All numbers little-endian. Entry N sits in slot N mod capacity, at offset
// 32 + slot * 168: writing entry N replaces entry N - capacity and nothing
// else, so an entry torn by a crash or a failed write hides no other entry.
// The newest entry is the valid one (CRC verifies, sequence number matches
// its slot) with the highest sequence number; a torn newest entry is skipped
// and the one before it is used.
//
// The ring id tells this ring from every other one made for the device (a
// reinstall, a new card, a ring made anew after damage all start again at
// sequence number 1): it is made at random when the ring is made, and kept
// while the ring keeps its entries (a rebuild for another capacity). A ring
// whose bytes 20..27 are 0 (made before ids) gets one when opened for writing.
//
// Layout 1 had 164-byte entries without the offset and the flags (CRC at
// 160): such a ring is read as records whose context was not noted, and made
// into layout 2 when it is opened for writing.
//
// Nothing here blocks on what it opens: a FIFO, a device or anything but a
// regular file in place of the history is refused.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "battery/record.h"
#include "programs/battery-host/state/host_record.h"
#include "programs/battery-host/support/file_failure.h"

namespace history_ring {

inline constexpr std::array<unsigned char, 4> kMagic = {'B', '3', '2', 'R'};
inline constexpr std::uint32_t kLayoutVersion = 2;

inline constexpr std::size_t kHeaderMagicOffset = 0;
inline constexpr std::size_t kHeaderVersionOffset = 4;
inline constexpr std::size_t kHeaderSizeOffset = 8;
inline constexpr std::size_t kHeaderEntrySizeOffset = 12;
inline constexpr std::size_t kHeaderCapacityOffset = 16;
inline constexpr std::size_t kHeaderRingIdOffset = 20;
inline constexpr std::size_t kHeaderCrcOffset = 28;
inline constexpr std::size_t kHeaderSize = 32;

inline constexpr std::size_t kEntrySequenceOffset = 0;
inline constexpr std::size_t kEntryRecordOffset = 8;
inline constexpr std::size_t kEntryUtcOffsetOffset = kEntryRecordOffset + battery_record::kSize;
inline constexpr std::size_t kEntryFlagsOffset = kEntryUtcOffsetOffset + 2;
inline constexpr std::size_t kEntryCrcOffset = kEntryFlagsOffset + 2;
inline constexpr std::size_t kEntrySize = kEntryCrcOffset + 4;

inline constexpr std::int16_t kUtcOffsetNotKnown = std::numeric_limits<std::int16_t>::min();
inline constexpr std::uint16_t kFlagGroupVoltageNotMeasured = 1u << 0;

// Each header field ends where the next begins: four bytes each, eight for the id.
static_assert(kMagic.size() == kHeaderVersionOffset - kHeaderMagicOffset);
static_assert(kHeaderVersionOffset + 4 == kHeaderSizeOffset);
static_assert(kHeaderSizeOffset + 4 == kHeaderEntrySizeOffset);
static_assert(kHeaderEntrySizeOffset + 4 == kHeaderCapacityOffset);
static_assert(kHeaderCapacityOffset + 4 == kHeaderRingIdOffset);
static_assert(kHeaderRingIdOffset + sizeof(std::uint64_t) == kHeaderCrcOffset);
static_assert(kHeaderCrcOffset + 4 == kHeaderSize);
static_assert(kEntrySequenceOffset == 0);
static_assert(kEntryRecordOffset == kEntrySequenceOffset + sizeof(std::uint64_t));
static_assert(kEntryUtcOffsetOffset == 160 && kEntryFlagsOffset == 162);
static_assert(kEntryCrcOffset == 164 && kEntrySize == 168);
static_assert(kEntrySize % 4 == 0, "entries stay 4-byte aligned");

// What sets the entries of a ring's layout version apart.
struct EntryLayout {
  std::uint32_t version;
  std::uint32_t entry_size;
  bool has_context;  // the UTC offset and the flags behind the record
  constexpr std::size_t CrcOffset() const { return entry_size - 4; }
};
inline constexpr EntryLayout kLayouts[] = {{1, 164, false}, {kLayoutVersion, kEntrySize, true}};
inline constexpr const EntryLayout& kCurrentLayout = kLayouts[1];
static_assert(kLayouts[0].CrcOffset() == kEntryRecordOffset + battery_record::kSize);
static_assert(kCurrentLayout.CrcOffset() == kEntryCrcOffset);

// Capacity limits of the configuration; the file of the largest is 164 MB.
inline constexpr std::uint32_t kMinCapacity = 1;
inline constexpr std::uint32_t kMaxCapacity = 1'000'000;

// A ring id as it goes out (MQTT): 16 lowercase hex digits, as a string
// because JSON numbers above 2^53 lose digits in JavaScript.
std::string RingIdText(std::uint64_t id);

inline constexpr std::uint64_t FileSize(std::uint32_t capacity,
                                        const EntryLayout& layout = kCurrentLayout) {
  return kHeaderSize + std::uint64_t{capacity} * layout.entry_size;
}

}  // namespace history_ring

class HistoryRing {
 public:
  using Record = std::array<unsigned char, battery_record::kSize>;
  struct Entry {
    std::uint64_t sequence = 0;
    Record record{};
    RecordContext context;
  };

  HistoryRing(std::string path, std::uint32_t capacity);
  ~HistoryRing();
  HistoryRing(const HistoryRing&) = delete;
  HistoryRing& operator=(const HistoryRing&) = delete;

  // Reads what the file holds and readies it for writing: creates it,
  // rebuilds it for another capacity or layout or a header that does not
  // verify, opens it read-only when it may not be written. Adds one note per
  // thing repaired, carried over or failed to `notes`. A rebuild that fails
  // (a full disk) leaves the ring as it was, in use, and is tried again at
  // each Append.
  void Open(FileNotes& notes);

  // Sequence numbers of the oldest and the newest entry held; 0 when empty.
  std::uint64_t OldestSequence() const;
  std::uint64_t NewestSequence() const { return newest_; }
  // The id of the ring open; 0 while none is, or a ring made before ids is
  // open read-only.
  std::uint64_t Id() const { return id_; }
  // The entry with `sequence`, or the next one held after it.
  std::optional<Entry> ReadFrom(std::uint64_t sequence) const;
  // The newest valid entry.
  std::optional<Entry> Newest() const;

  // Writes `record` with its context as entry NewestSequence() + 1; nothing
  // on success, else what failed ("pwrite", ENOSPC). A ring that could not be
  // opened for writing is opened (or made) first, with what that repaired or
  // carried over in `notes`.
  std::optional<FileFailure> Append(const unsigned char* record, const RecordContext& context,
                                    FileNotes& notes);

  const std::string& Path() const { return path_; }
  std::uint32_t Capacity() const { return capacity_; }

 private:
  enum class Access { kNone, kReadOnly, kReadWrite };

  std::optional<FileFailure> OpenExisting(FileNotes& notes);
  std::optional<FileFailure> Load(FileNotes& notes);
  // True when any slot holds bytes (an entry, torn or whole): a ring in use.
  bool Scan();
  // Renames the file to PATH.bad and makes a new ring (a new id) in its place.
  std::optional<FileFailure> MoveAside(const std::string& why, FileNotes& notes);
  // Makes the ring anew at the configured capacity and layout, with the
  // newest entries it holds; what happened goes to `notes`.
  void Rebuild(FileNotes& notes);
  // Nothing when the file system of the ring has `bytes` free, else what is short.
  std::optional<FileFailure> SpaceFor(std::uint64_t bytes) const;
  // Makes the file with the `carried` entries; `id` 0: a new ring, with a new id.
  std::optional<FileFailure> Create(const std::vector<Entry>& carried, std::uint64_t id = 0);
  // A ring made before ids: a new id, written into its header.
  void GiveId(FileNotes& notes);
  std::vector<Entry> HeldEntries() const;
  std::optional<Entry> ReadSlot(std::uint32_t slot) const;
  void Close();

  std::string path_;
  std::uint32_t capacity_;
  int fd_ = -1;
  Access access_ = Access::kNone;
  FileFailure write_refusal_;        // why a ring opened read-only may not be written
  std::uint32_t file_capacity_ = 0;  // of the file open; the configured one once writable
  const history_ring::EntryLayout* layout_ = &history_ring::kCurrentLayout;  // of the file open
  // The file open is not at the configured capacity or layout: it is made so
  // at the next Append. The reason the last try failed, said once.
  bool rebuild_pending_ = false;
  std::string rebuild_failure_;
  std::vector<std::uint64_t> slots_;  // sequence number held by each slot, 0 for none
  std::uint64_t newest_ = 0;
  std::uint64_t id_ = 0;
  // The entry written last, while its slot holds it: the outbox reads each
  // record just after it was written, without going to the file.
  std::optional<Entry> appended_;
};
