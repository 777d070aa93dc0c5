#pragma once

// How far the broker has acknowledged a device's records: the sequence number
// of its history ring up to which every entry has been acknowledged, kept in
// the state directory as `device-DATA_ID.acked` so that a restarted host goes
// on from there.
//
// The file holds two slots of 24 bytes, little-endian; each write goes to
// the slot after the one written last, in one pwrite, so a write torn by a
// crash leaves the other slot, the value before, intact:
//
//   offset size content
//        0    4 magic "B32A"
//        4    4 write count (the slot is write count mod 2)
//        8    8 acknowledged sequence number
//       16    4 CRC-32 of bytes 0..15
//       20    4 reserved, 0
//
// Nothing is synced: the kernel writes the one page back within its
// writeback delay, however often it was written meanwhile.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace acked_cursor {

inline constexpr std::array<unsigned char, 4> kMagic = {'B', '3', '2', 'A'};
inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kCountOffset = 4;
inline constexpr std::size_t kSequenceOffset = 8;
inline constexpr std::size_t kCrcOffset = 16;
inline constexpr std::size_t kSlotSize = 24;
inline constexpr std::size_t kSlots = 2;

static_assert(kMagicOffset + kMagic.size() == kCountOffset);
static_assert(kCountOffset + sizeof(std::uint32_t) == kSequenceOffset);
static_assert(kSequenceOffset + sizeof(std::uint64_t) == kCrcOffset);
static_assert(kCrcOffset + sizeof(std::uint32_t) + 4 == kSlotSize);
static_assert(kSlotSize % 8 == 0, "slots stay 8-byte aligned");

}  // namespace acked_cursor

class AckedCursor {
 public:
  explicit AckedCursor(std::string path);
  ~AckedCursor();
  AckedCursor(const AckedCursor&) = delete;
  AckedCursor& operator=(const AckedCursor&) = delete;

  // The newest slot that verifies; empty when there is none (no file yet, or
  // both slots torn). A failure to open says why in `failure`.
  std::optional<std::uint64_t> Read(std::string& failure);
  // Empty on success, else what failed with the system's reason.
  std::string Write(std::uint64_t sequence);

  const std::string& Path() const { return path_; }

 private:
  std::string Open();

  std::string path_;
  int fd_ = -1;
  std::uint32_t count_ = 0;  // of the slot read or written last
};
