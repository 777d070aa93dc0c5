// History files: the newest intact record is recovered, torn or corrupt
// entries never are.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>

#include "programs/battery-host/state/history_file.h"

namespace {

class HistoryFileTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove(path_); }

  static HistoryFile::Record Record(unsigned char fill) {
    HistoryFile::Record record;
    record.fill(fill);
    return record;
  }
  void Append(unsigned char fill) {
    HistoryFile file(path_);
    ASSERT_TRUE(file.Append(Record(fill).data(), battery_record::kSize));
  }
  std::optional<HistoryFile::Record> Recover(std::string& notes) {
    return HistoryFile(path_).Recover(notes);
  }

  std::string path_ =
      (std::filesystem::temp_directory_path() / ("history-test-" + std::to_string(::getpid())))
          .string();
};

TEST_F(HistoryFileTest, NewestRecordIsRecovered) {
  Append(1);
  Append(2);
  std::string notes;
  const auto record = Recover(notes);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, Record(2));
  EXPECT_EQ(notes, "");
  EXPECT_EQ(std::filesystem::file_size(path_), 2 * HistoryFile::kEntrySize);
}

struct TornCase {
  const char* name;
  std::size_t keep;        // bytes of the third entry that reached the file
  long flip;               // offset of a byte to corrupt in the last whole entry, or -1
  unsigned char expected;  // fill of the record recovered
  const char* note;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const TornCase& c, std::ostream* out) {
  *out << c.name;
}

class HistoryTornTest : public HistoryFileTest, public ::testing::WithParamInterface<TornCase> {};

TEST_P(HistoryTornTest, TornOrCorruptEntriesAreNeverLoaded) {
  Append(1);
  Append(2);
  const auto third = HistoryFile::Frame(Record(3).data());
  {
    std::ofstream out(path_, std::ios::app | std::ios::binary);
    out.write(reinterpret_cast<const char*>(third.data()), static_cast<long>(GetParam().keep));
  }
  if (GetParam().flip >= 0) {
    std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<long>(HistoryFile::kEntrySize) + GetParam().flip);
    file.put('\x77');
  }
  std::string notes;
  const auto record = Recover(notes);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, Record(GetParam().expected));
  EXPECT_NE(notes.find(GetParam().note), std::string::npos) << notes;
  EXPECT_EQ(std::filesystem::file_size(path_) % HistoryFile::kEntrySize, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Tails, HistoryTornTest,
    ::testing::Values(TornCase{"record_cut", 100, -1, 2, "torn entry of 100 bytes"},
                      TornCase{"crc_cut", HistoryFile::kEntrySize - 1, -1, 2, "torn entry of 159"},
                      TornCase{"record_byte_flipped", 0, 50, 1, "corrupt entry 1"},
                      TornCase{"magic_flipped", 0, 0, 1, "corrupt entry 1"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(HistoryFileTest, MissingFileHasNoRecord) {
  std::string notes;
  EXPECT_FALSE(Recover(notes));
}

}  // namespace
