#pragma once

// How far the broker has acknowledged a device's records: the sequence number
// of its history ring up to which every entry has been acknowledged, and the
// id of that ring, kept in the state directory as `device-DATA_ID.acked` so
// that a restarted host goes on from there (and starts from the first entry
// of a ring that is not the one acknowledged).
//
// The file holds two slots of 32 bytes, little-endian; each write goes to
// the slot after the one written last, in one pwrite, so a write torn by a
// crash leaves the other slot, the value before, intact:
//
//   offset size content
//        0    4 magic "B32C"
//        4    4 write count (the slot is write count mod 2)
//        8    8 acknowledged sequence number
//       16    8 ring id
//       24    4 CRC-32 of bytes 0..23
//       28    4 reserved, 0
//
// Files written before ring ids hold slots of 24 bytes ("B32A", the CRC at
// 16, no ring id); they are read as a cursor of the ring there is, and
// written over in the new layout.
//
// Nothing is synced: the kernel writes the one page back within its
// writeback delay, however often it was written meanwhile.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "programs/battery-host/support/file_failure.h"

namespace acked_cursor {

struct SlotLayout {
  std::array<unsigned char, 4> magic;
  std::size_t size;
  std::size_t crc_offset;
  bool has_ring_id;
};

inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kCountOffset = 4;
inline constexpr std::size_t kSequenceOffset = 8;
inline constexpr std::size_t kRingIdOffset = 16;
inline constexpr std::size_t kCrcOffset = 24;
inline constexpr std::size_t kSlotSize = 32;
inline constexpr std::size_t kSlots = 2;

inline constexpr SlotLayout kLayout{{'B', '3', '2', 'C'}, kSlotSize, kCrcOffset, true};
inline constexpr SlotLayout kLayoutWithoutRing{{'B', '3', '2', 'A'}, 24, 16, false};
// The newer first: a file holds both only after its first write in kLayout.
inline constexpr const SlotLayout* kLayouts[] = {&kLayout, &kLayoutWithoutRing};

static_assert(kMagicOffset + kLayout.magic.size() == kCountOffset);
static_assert(kCountOffset + sizeof(std::uint32_t) == kSequenceOffset);
static_assert(kSequenceOffset + sizeof(std::uint64_t) == kRingIdOffset);
static_assert(kRingIdOffset + sizeof(std::uint64_t) == kCrcOffset);
static_assert(kCrcOffset + sizeof(std::uint32_t) + 4 == kSlotSize);
static_assert(kSequenceOffset + sizeof(std::uint64_t) == kLayoutWithoutRing.crc_offset);
static_assert(kLayoutWithoutRing.crc_offset + sizeof(std::uint32_t) + 4 == kLayoutWithoutRing.size);
static_assert(kSlotSize % 8 == 0 && kLayoutWithoutRing.size % 8 == 0, "slots stay 8-byte aligned");

}  // namespace acked_cursor

class AckedCursor {
 public:
  struct Acked {
    std::uint64_t sequence = 0;
    std::uint64_t ring_id = 0;  // 0: written before ring ids
  };

  explicit AckedCursor(std::string path);
  ~AckedCursor();
  AckedCursor(const AckedCursor&) = delete;
  AckedCursor& operator=(const AckedCursor&) = delete;

  // The newest slot that verifies; empty when there is none (no file yet, or
  // both slots torn). A failure to open says why in `failure`.
  std::optional<Acked> Read(std::optional<FileFailure>& failure);
  // Nothing on success, else what failed.
  std::optional<FileFailure> Write(const Acked& acked);

  const std::string& Path() const { return path_; }

 private:
  std::optional<FileFailure> Open();

  std::string path_;
  int fd_ = -1;
  std::uint32_t count_ = 0;  // of the slot read or written last
};
