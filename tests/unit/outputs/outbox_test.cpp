// What the MQTT end-to-end test cannot make happen: acknowledgements out of
// order, a loss found again after further disconnects, and a torn write of
// the acknowledged sequence number.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "battery/byte_order.h"
#include "programs/battery-host/outputs/mqtt/acked_cursor.h"
#include "programs/battery-host/outputs/mqtt/outbox.h"
#include "programs/battery-host/state/history_ring.h"
#include "programs/battery-host/support/state_file.h"

namespace {

namespace fs = std::filesystem;

class OutboxTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  void OpenRing(std::uint32_t capacity) {
    ring_.emplace((dir_ / "device-1.ring").string(), capacity);
    ring_->Open(notes_);
  }
  void Append(std::uint64_t count) {
    const HistoryRing::Record record{};
    for (std::uint64_t i = 0; i < count; ++i) {
      ASSERT_FALSE(ring_->Append(record.data(), RecordContext{}, notes_));
    }
  }
  // Sends what the outbox hands out; the sequence numbers sent and the losses said.
  std::vector<std::uint64_t> SendAll(Outbox& outbox, std::vector<LostRange>& lost) {
    std::vector<std::uint64_t> sent;
    std::optional<LostRange> range;
    for (auto entry = outbox.Next(range); entry || range; entry = outbox.Next(range)) {
      if (range) lost.push_back(*range);
      if (!entry) break;
      outbox.Sent(entry->sequence);
      sent.push_back(entry->sequence);
    }
    return sent;
  }

  fs::path dir_ = fs::temp_directory_path() / ("outbox-" + std::to_string(::getpid()));
  FileNotes notes_;
  std::optional<HistoryRing> ring_;
};

TEST_F(OutboxTest, TheAcknowledgedNumberMovesOnlyOverAnUnbrokenRun) {
  OpenRing(10);
  Append(5);
  Outbox outbox(*ring_, 0);
  std::vector<LostRange> lost;
  EXPECT_EQ(SendAll(outbox, lost), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
  outbox.Acknowledged(2);
  outbox.Acknowledged(3);
  EXPECT_EQ(outbox.Acked(), 0u);
  outbox.Acknowledged(1);
  EXPECT_EQ(outbox.Acked(), 3u);
  EXPECT_EQ(outbox.Depth(), 2u);
  // A disconnect: 4 and 5 go again, nothing before them.
  outbox.Rewind();
  EXPECT_EQ(SendAll(outbox, lost), (std::vector<std::uint64_t>{4, 5}));
  EXPECT_TRUE(lost.empty());
}

TEST_F(OutboxTest, ALossIsSaidOnceHoweverOftenTheConnectionDrops) {
  OpenRing(5);
  Append(1);
  Outbox outbox(*ring_, 0);
  std::vector<LostRange> lost;
  EXPECT_EQ(SendAll(outbox, lost), (std::vector<std::uint64_t>{1}));
  // While 1 waits for its acknowledgement the ring laps: it holds 8 to 12.
  Append(11);
  EXPECT_EQ(SendAll(outbox, lost), (std::vector<std::uint64_t>{8, 9, 10, 11, 12}));
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].first, 2u);
  EXPECT_EQ(lost[0].last, 7u);
  for (int drop = 0; drop < 3; ++drop) {
    outbox.Rewind();
    EXPECT_EQ(SendAll(outbox, lost), (std::vector<std::uint64_t>{8, 9, 10, 11, 12}));
    EXPECT_EQ(lost.size(), 1u);
  }
  for (std::uint64_t sequence = 1; sequence <= 12; ++sequence) outbox.Acknowledged(sequence);
  EXPECT_EQ(outbox.Acked(), 12u);
  EXPECT_EQ(outbox.Depth(), 0u);
}

// The sequence number and the ring id read back, as one value.
std::uint64_t SequenceOf(const std::optional<AckedCursor::Acked>& acked, std::uint64_t ring) {
  if (!acked) return 0;
  EXPECT_EQ(acked->ring_id, ring);
  return acked->sequence;
}

TEST_F(OutboxTest, ATornCursorWriteLeavesTheValueBefore) {
  const std::string path = (dir_ / "device-1.acked").string();
  constexpr std::uint64_t kRing = 0x8000'0000'0000'0001;
  std::optional<FileFailure> failure;
  {
    AckedCursor cursor(path);
    EXPECT_EQ(cursor.Read(failure), std::nullopt);
    EXPECT_FALSE(failure);
    ASSERT_FALSE(cursor.Write({5, kRing}));
    ASSERT_FALSE(cursor.Write({9, kRing}));
    EXPECT_EQ(SequenceOf(cursor.Read(failure), kRing), 9u);
  }
  // The second write went to slot 0: one byte of its number torn.
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(acked_cursor::kSequenceOffset);
    file.put('\x7F');
  }
  AckedCursor cursor(path);
  EXPECT_EQ(SequenceOf(cursor.Read(failure), kRing), 5u);
  ASSERT_FALSE(cursor.Write({11, kRing + 1}));
  EXPECT_EQ(SequenceOf(AckedCursor(path).Read(failure), kRing + 1), 11u);
}

// A file of before ring ids ("B32A", 24-byte slots) reads as its number
// without a ring; the first write in the new layout wins over what is left.
TEST_F(OutboxTest, ACursorWithoutRingIdIsReadAndWrittenOver) {
  const std::string path = (dir_ / "device-1.acked").string();
  const auto& old = acked_cursor::kLayoutWithoutRing;
  std::array<unsigned char, 2 * 24> bytes{};
  for (std::uint32_t count : {3u, 4u}) {
    unsigned char* slot = &bytes[(count % 2) * old.size];
    const byte_order::ByteSpan at{slot, old.size};
    std::copy(old.magic.begin(), old.magic.end(), slot);
    byte_order::WriteLittleEndian<std::uint32_t>(at, acked_cursor::kCountOffset, count);
    byte_order::WriteLittleEndian<std::uint64_t>(at, acked_cursor::kSequenceOffset, count * 10);
    byte_order::WriteLittleEndian<std::uint32_t>(at, old.crc_offset,
                                                 state_file::Crc32(slot, old.crc_offset));
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::optional<FileFailure> failure;
  AckedCursor cursor(path);
  EXPECT_EQ(SequenceOf(cursor.Read(failure), 0), 40u);
  ASSERT_FALSE(cursor.Write({41, 7}));
  EXPECT_EQ(SequenceOf(AckedCursor(path).Read(failure), 7), 41u);
}

}  // namespace
