// The history ring on its own: many laps at a fixed size, what a torn or
// corrupt entry hides (nothing but itself), reading by sequence number, a
// changed capacity, and how repeated write failures are said.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "battery/byte_order.h"
#include "programs/battery-host/state/device_history.h"
#include "programs/battery-host/state/history_ring.h"
#include "programs/battery-host/support/state_file.h"

namespace {

namespace fs = std::filesystem;
using history_ring::FileSize;

// A record that tells which entry it was written as.
HistoryRing::Record RecordOf(std::uint64_t n) {
  HistoryRing::Record record{};
  std::memcpy(record.data(), &n, sizeof n);
  return record;
}

// A context that tells it too: odd entries' group voltage is no
// measurement, every third has no offset, the rest offsets of either sign.
RecordContext ContextOf(std::uint64_t n) {
  RecordContext context;
  context.group_voltage_valid = n % 2 == 0;
  if (n % 3 != 0) context.utc_offset_minutes = n % 3 == 1 ? 120 : -570;
  return context;
}

class HistoryRingTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path() const { return (dir_ / "device-1.ring").string(); }
  std::unique_ptr<HistoryRing> Open(std::uint32_t capacity) {
    auto ring = std::make_unique<HistoryRing>(Path(), capacity);
    notes_.clear();
    ring->Open(notes_);
    return ring;
  }
  void Append(HistoryRing& ring, std::uint64_t first, std::uint64_t last) {
    for (std::uint64_t n = first; n <= last; ++n) {
      const auto failure = ring.Append(RecordOf(n).data(), ContextOf(n), notes_);
      ASSERT_FALSE(failure) << n << ": " << failure->Text();
    }
  }
  // Overwrites one byte of the entry in `slot`, as a write cut short would leave it.
  void Damage(std::uint64_t slot) const {
    std::fstream file(Path(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(history_ring::kHeaderSize +
                                           slot * history_ring::kEntrySize + 20));
    file.put('\x5A');
  }

  fs::path dir_ = fs::temp_directory_path() / ("history-ring-" + std::to_string(::getpid()));
  // The notes of the last Open and the Appends since, one per line.
  std::string Noted() const {
    std::string text;
    for (const std::string& note : notes_) text += note + "\n";
    return text;
  }

  FileNotes notes_;
};

// A host run of 100,000 cycles would take minutes; the ring sees the same writes here.
TEST_F(HistoryRingTest, HundredThousandEntriesKeepTheFileAtItsAllocatedSize) {
  auto ring = Open(1000);
  struct stat made {};
  ASSERT_EQ(::stat(Path().c_str(), &made), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(made.st_size), FileSize(1000));
  Append(*ring, 1, 100'000);
  struct stat after {};
  ASSERT_EQ(::stat(Path().c_str(), &after), 0);
  EXPECT_EQ(after.st_size, made.st_size);
  EXPECT_EQ(after.st_blocks, made.st_blocks) << "the file grew on disk";
  EXPECT_EQ(ring->OldestSequence(), 99'001u);
  EXPECT_EQ(ring->NewestSequence(), 100'000u);
  EXPECT_EQ(ring->ReadFrom(1)->sequence, 99'001u);
  EXPECT_EQ(ring->ReadFrom(99'500)->record, RecordOf(99'500));

  auto reopened = Open(1000);
  EXPECT_EQ(reopened->Newest()->record, RecordOf(100'000));
  for (const std::uint64_t n : {99'001u, 99'002u, 99'003u, 100'000u}) {
    EXPECT_EQ(reopened->ReadFrom(n)->context, ContextOf(n)) << n;
  }
  Append(*reopened, 100'001, 100'001);
  EXPECT_EQ(reopened->NewestSequence(), 100'001u);
}

struct DamageCase {
  const char* name;
  std::uint64_t damaged;  // sequence number of the entry damaged (capacity 4, entries 1..6)
  std::uint64_t newest;
  std::uint64_t oldest;
  std::uint64_t after_4;  // what ReadFrom(4) finds
};
void PrintTo(const DamageCase& c, std::ostream* out) {
  *out << c.name;
}

class HistoryRingDamageTest : public HistoryRingTest,
                              public ::testing::WithParamInterface<DamageCase> {};

TEST_P(HistoryRingDamageTest, HidesNothingButItself) {
  Append(*Open(4), 1, 6);
  Damage(GetParam().damaged % 4);
  auto ring = Open(4);
  EXPECT_EQ(ring->Newest()->sequence, GetParam().newest);
  EXPECT_EQ(ring->Newest()->record, RecordOf(GetParam().newest));
  EXPECT_EQ(ring->OldestSequence(), GetParam().oldest);
  EXPECT_EQ(ring->ReadFrom(4)->sequence, GetParam().after_4);
  // The next entry follows the newest valid one; every other entry stays.
  Append(*ring, GetParam().newest + 1, GetParam().newest + 1);
  EXPECT_EQ(Open(4)->Newest()->record, RecordOf(GetParam().newest + 1));
}

INSTANTIATE_TEST_SUITE_P(Entries, HistoryRingDamageTest,
                         ::testing::Values(DamageCase{"newest", 6, 5, 3, 4},
                                           DamageCase{"middle", 4, 6, 3, 5},
                                           DamageCase{"oldest", 3, 6, 4, 4}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(HistoryRingTest, HeaderThatDoesNotVerifyIsMovedAside) {
  Append(*Open(4), 1, 2);
  std::fstream(Path(), std::ios::in | std::ios::out | std::ios::binary).put('X');
  auto ring = Open(4);
  EXPECT_NE(Noted().find("header does not verify; moved aside"), std::string::npos) << Noted();
  EXPECT_TRUE(fs::exists(Path() + ".bad"));
  EXPECT_EQ(ring->NewestSequence(), 0u);
  Append(*ring, 1, 1);
}

TEST_F(HistoryRingTest, OtherCapacityKeepsTheNewestEntriesAndTheirNumbers) {
  Append(*Open(10), 1, 7);
  auto smaller = Open(4);
  EXPECT_NE(Noted().find("made into 4, keeping the newest 4"), std::string::npos) << Noted();
  EXPECT_EQ(fs::file_size(Path()), FileSize(4));
  EXPECT_EQ(smaller->OldestSequence(), 4u);
  EXPECT_EQ(smaller->ReadFrom(5)->record, RecordOf(5));
  auto larger = Open(8);
  EXPECT_EQ(larger->OldestSequence(), 4u);
  EXPECT_EQ(larger->NewestSequence(), 7u);
}

// A ring of the layout before (164-byte entries, no context) as it lies on
// disk: header version 1, entries 1..`last` of a ring of `capacity`.
std::string LayoutOneRing(std::uint32_t capacity, std::uint64_t last) {
  using byte_order::WriteLittleEndian;
  using state_file::Crc32;
  constexpr std::size_t kOldEntry = 164;
  std::string file(history_ring::kHeaderSize + capacity * kOldEntry, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(file.data());
  std::copy(history_ring::kMagic.begin(), history_ring::kMagic.end(), bytes);
  WriteLittleEndian<std::uint32_t>(file, 4, 1);
  WriteLittleEndian<std::uint32_t>(file, 8, 32);
  WriteLittleEndian<std::uint32_t>(file, 12, kOldEntry);
  WriteLittleEndian<std::uint32_t>(file, 16, capacity);
  WriteLittleEndian<std::uint32_t>(file, 28, Crc32(bytes, 28));
  for (std::uint64_t n = last > capacity ? last - capacity + 1 : 1; n <= last; ++n) {
    unsigned char* entry = bytes + history_ring::kHeaderSize + n % capacity * kOldEntry;
    const byte_order::ByteSpan at{entry, kOldEntry};
    WriteLittleEndian<std::uint64_t>(at, 0, n);
    const auto record = RecordOf(n);
    std::copy(record.begin(), record.end(), entry + 8);
    WriteLittleEndian<std::uint32_t>(at, 160, Crc32(entry, 160));
  }
  return file;
}

TEST_F(HistoryRingTest, RingOfTheLayoutBeforeIsReadThenMadeIntoTheNewOne) {
  std::ofstream(Path(), std::ios::binary) << LayoutOneRing(4, 6);
  // Read-only, it is read as it is: records whose context was not noted.
  ::chmod(Path().c_str(), 0444);
  if (::access(Path().c_str(), W_OK) != 0) {
    auto read_only = Open(4);
    EXPECT_EQ(read_only->OldestSequence(), 3u);
    EXPECT_EQ(read_only->Newest()->record, RecordOf(6));
    EXPECT_EQ(read_only->ReadFrom(4)->context, RecordContext{});
  }
  ::chmod(Path().c_str(), 0644);
  auto ring = Open(4);
  EXPECT_NE(Noted().find("4 entries of 688 bytes in layout 1 made into 4, keeping the newest 4"),
            std::string::npos)
      << Noted();
  EXPECT_EQ(fs::file_size(Path()), FileSize(4));
  EXPECT_EQ(ring->ReadFrom(3)->record, RecordOf(3));
  EXPECT_EQ(ring->ReadFrom(3)->context, RecordContext{});
  Append(*ring, 7, 7);
  auto reopened = Open(4);
  EXPECT_TRUE(notes_.empty()) << Noted();
  EXPECT_EQ(reopened->Newest()->context, ContextOf(7));
  EXPECT_EQ(reopened->OldestSequence(), 4u);
}

std::uint64_t HeaderId(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes(history_ring::kHeaderSize, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return byte_order::ReadLittleEndian<std::uint64_t>(bytes, history_ring::kHeaderRingIdOffset);
}

// A ring of layout 2 made before ring ids: its header's id 0, the CRC redone.
void ClearHeaderId(const std::string& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  std::array<unsigned char, history_ring::kHeaderSize> header{};
  file.read(reinterpret_cast<char*>(header.data()), header.size());
  byte_order::WriteLittleEndian<std::uint64_t>(header, history_ring::kHeaderRingIdOffset, 0);
  byte_order::WriteLittleEndian<std::uint32_t>(
      header, history_ring::kHeaderCrcOffset,
      state_file::Crc32(header.data(), history_ring::kHeaderCrcOffset));
  file.seekp(0);
  file.write(reinterpret_cast<const char*>(header.data()), header.size());
}

enum class IdAfter { kSame, kNew };

struct IdCase {
  const char* name;
  std::function<void()> before;  // leaves the file to open, entries 1..6 held
  std::uint32_t capacity;        // opened with
  IdAfter id;
  std::uint64_t newest;  // held after the open
  const char* note;      // said at the open
};

TEST_F(HistoryRingTest, RingIdIsMadeWithTheRingAndKeptWhileItsEntriesAre) {
  const auto made = [this] { Append(*Open(4), 1, 6); };
  const IdCase cases[] = {
      {"reopened", made, 4, IdAfter::kSame, 6, ""},
      {"rebuilt for another capacity", made, 8, IdAfter::kSame, 6, "made into 8"},
      {"header damaged",
       [&] {
         made();
         std::fstream(Path(), std::ios::in | std::ios::out | std::ios::binary).put('X');
       },
       4, IdAfter::kNew, 0, "moved aside"},
      {"every entry lost",
       [&] {
         made();
         for (std::uint64_t slot = 0; slot < 4; ++slot) Damage(slot);
       },
       4, IdAfter::kNew, 0, "no entry verifies; moved aside"},
      {"layout 2 made before ids",
       [&] {
         made();
         ClearHeaderId(Path());
       },
       4, IdAfter::kNew, 6, "given the ring id"},
      {"layout 1", [this] { std::ofstream(Path(), std::ios::binary) << LayoutOneRing(4, 6); }, 4,
       IdAfter::kNew, 6, "given the ring id"},
  };
  for (const IdCase& test : cases) {
    SCOPED_TRACE(test.name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    test.before();
    const std::uint64_t before = HeaderId(Path());
    auto ring = Open(test.capacity);
    EXPECT_NE(Noted().find(test.note), std::string::npos) << Noted();
    EXPECT_NE(ring->Id(), 0u);
    EXPECT_EQ(ring->Id() == before, test.id == IdAfter::kSame) << std::hex << before;
    EXPECT_EQ(ring->NewestSequence(), test.newest);
    EXPECT_EQ(HeaderId(Path()), ring->Id()) << "the header holds it";
    const std::uint64_t id = ring->Id();
    ring.reset();
    EXPECT_EQ(Open(test.capacity)->Id(), id) << "kept at the next open: " << Noted();
    EXPECT_EQ(history_ring::RingIdText(id).size(), 16u);
  }
  EXPECT_EQ(history_ring::RingIdText(0x00ab'cdef'0123'4567), "00abcdef01234567");
}

TEST(RepeatedFailureTest, SaidFirstThenOnceAMinuteOrOnANewReason) {
  using std::chrono::seconds;
  RepeatedFailure failure;
  const RepeatedFailure::Clock::time_point start;
  EXPECT_EQ(failure.Succeeded(), "");
  EXPECT_EQ(
      failure.Failed("pwrite: No space left on device", start),
      "cannot write the history: pwrite: No space left on device; retried at the next record");
  EXPECT_EQ(failure.Failed("pwrite: No space left on device", start + seconds(30)), "");
  EXPECT_EQ(failure.Failed("pwrite: No space left on device", start + seconds(61)),
            "cannot write the history: pwrite: No space left on device (2 failed writes since the "
            "last message); retried at the next record");
  EXPECT_NE(failure.Failed("open: Permission denied", start + seconds(62)), "");
  EXPECT_EQ(failure.Succeeded(), "history written again after 4 failed writes");
  EXPECT_EQ(failure.Succeeded(), "");
  EXPECT_NE(failure.Failed("pwrite: No space left on device", start + seconds(63)), "");
}

}  // namespace
