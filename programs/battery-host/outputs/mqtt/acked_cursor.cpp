#include "programs/battery-host/outputs/mqtt/acked_cursor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "programs/battery-host/support/state_file.h"

namespace {

using namespace acked_cursor;
using state_file::Get;
using state_file::Put;

struct Slot {
  std::uint32_t count = 0;
  AckedCursor::Acked acked;
};

std::optional<Slot> DecodeSlot(const unsigned char* bytes, const SlotLayout& layout) {
  const bool valid =
      std::equal(layout.magic.begin(), layout.magic.end(), bytes + kMagicOffset) &&
      Get<std::uint32_t>(bytes + layout.crc_offset) == state_file::Crc32(bytes, layout.crc_offset);
  if (!valid) return std::nullopt;
  Slot slot{Get<std::uint32_t>(bytes + kCountOffset),
            {Get<std::uint64_t>(bytes + kSequenceOffset)}};
  if (layout.has_ring_id) slot.acked.ring_id = Get<std::uint64_t>(bytes + kRingIdOffset);
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

std::string AckedCursor::Open() {
  if (fd_ >= 0) return {};
  const state_file::Opened file = state_file::OpenRegular(path_, O_RDWR | O_CREAT | O_NOFOLLOW);
  if (file.fd < 0) return file.problem;
  fd_ = file.fd;
  return {};
}

std::optional<AckedCursor::Acked> AckedCursor::Read(std::string& failure) {
  failure = Open();
  if (!failure.empty()) return std::nullopt;
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

std::string AckedCursor::Write(const Acked& acked) {
  const std::string failure = Open();
  if (!failure.empty()) return failure;
  std::array<unsigned char, kSlotSize> bytes{};
  const std::uint32_t count = count_ + 1;
  std::copy(kLayout.magic.begin(), kLayout.magic.end(), bytes.begin() + kMagicOffset);
  Put<std::uint32_t>(&bytes[kCountOffset], count);
  Put<std::uint64_t>(&bytes[kSequenceOffset], acked.sequence);
  Put<std::uint64_t>(&bytes[kRingIdOffset], acked.ring_id);
  Put<std::uint32_t>(&bytes[kCrcOffset], state_file::Crc32(bytes.data(), kCrcOffset));
  if (!state_file::WriteAt(fd_, bytes.data(), bytes.size(), (count % kSlots) * kSlotSize)) {
    return state_file::ErrorText("pwrite", errno);
  }
  count_ = count;
  return {};
}
