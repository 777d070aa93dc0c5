#include "programs/battery-host/outputs/mqtt/acked_cursor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "battery/byte_order.h"
#include "programs/battery-host/support/state_file.h"

namespace {

using namespace acked_cursor;
using byte_order::ReadLittleEndian;
using byte_order::WriteLittleEndian;

struct Slot {
  std::uint32_t count = 0;
  AckedCursor::Acked acked;
};

std::optional<Slot> DecodeSlot(const unsigned char* bytes, const SlotLayout& layout) {
  const byte_order::ByteSpan at{bytes, layout.size};
  const bool valid = std::equal(layout.magic.begin(), layout.magic.end(), bytes + kMagicOffset) &&
                     ReadLittleEndian<std::uint32_t>(at, layout.crc_offset) ==
                         state_file::Crc32(bytes, layout.crc_offset);
  if (!valid) return std::nullopt;
  Slot slot{ReadLittleEndian<std::uint32_t>(at, kCountOffset),
            {ReadLittleEndian<std::uint64_t>(at, kSequenceOffset)}};
  if (layout.has_ring_id) slot.acked.ring_id = ReadLittleEndian<std::uint64_t>(at, kRingIdOffset);
  return slot;
}

// The later of two write counts, across the count's wrap.
bool Later(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::int32_t>(a - b) > 0;
}

}  // namespace

AckedCursor::AckedCursor(std::string path) : path_(std::move(path)) {}

AckedCursor::~AckedCursor() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<FileFailure> AckedCursor::Open() {
  if (fd_ >= 0) return std::nullopt;
  const state_file::Opened file = state_file::OpenRegular(path_, O_RDWR | O_CREAT | O_NOFOLLOW);
  if (file.fd < 0) return file.failure;
  fd_ = file.fd;
  return std::nullopt;
}

std::optional<AckedCursor::Acked> AckedCursor::Read(std::optional<FileFailure>& failure) {
  failure = Open();
  if (failure) return std::nullopt;
  std::array<unsigned char, kSlotSize * kSlots> bytes{};
  const std::size_t got = state_file::ReadAt(fd_, bytes.data(), bytes.size(), 0);
  for (const SlotLayout* layout : kLayouts) {
    std::optional<Slot> newest;
    for (std::size_t i = 0; i < kSlots && (i + 1) * layout->size <= got; ++i) {
      const auto slot = DecodeSlot(&bytes[i * layout->size], *layout);
      if (slot && (!newest || Later(slot->count, newest->count))) newest = slot;
    }
    if (!newest) continue;
    count_ = newest->count;
    return newest->acked;
  }
  return std::nullopt;
}

std::optional<FileFailure> AckedCursor::Write(const Acked& acked) {
  if (auto failure = Open()) return failure;
  std::array<unsigned char, kSlotSize> bytes{};
  const std::uint32_t count = count_ + 1;
  std::copy(kLayout.magic.begin(), kLayout.magic.end(), bytes.begin() + kMagicOffset);
  WriteLittleEndian<std::uint32_t>(bytes, kCountOffset, count);
  WriteLittleEndian<std::uint64_t>(bytes, kSequenceOffset, acked.sequence);
  WriteLittleEndian<std::uint64_t>(bytes, kRingIdOffset, acked.ring_id);
  WriteLittleEndian<std::uint32_t>(bytes, kCrcOffset, state_file::Crc32(bytes.data(), kCrcOffset));
  if (!state_file::WriteAt(fd_, bytes.data(), bytes.size(), (count % kSlots) * kSlotSize)) {
    return FileFailure{"pwrite", errno};
  }
  count_ = count;
  return std::nullopt;
}
