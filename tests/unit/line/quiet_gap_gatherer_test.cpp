#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <vector>

#include "programs/battery-host/line/quiet_gap_gatherer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Gathering until the line is quiet. The gap's timer fires only inside
// io.run(), so bytes added before it always fall within one gap.

class QuietGapGathererTest : public ::testing::Test {
 protected:
  void Add(const Bytes& bytes) { gatherer_.Add(bytes.data(), bytes.size()); }
  void RunUntilQuiet() {
    io_.restart();
    io_.run();
  }

  boost::asio::io_context io_;
  std::vector<Bytes> chunks_;
  QuietGapGatherer gatherer_{
      io_, std::chrono::milliseconds(5),
      [this](std::uint8_t* data, std::size_t size) { chunks_.emplace_back(data, data + size); }};
};

TEST_F(QuietGapGathererTest, PiecesWithinTheGapGoOverAsOneChunk) {
  Add({0xED, 0x01});
  Add({0x02, 0xBF});
  Add({0xC2});
  EXPECT_TRUE(chunks_.empty()) << "the line has not been quiet yet";
  RunUntilQuiet();
  EXPECT_EQ(chunks_, (std::vector<Bytes>{{0xED, 0x01, 0x02, 0xBF, 0xC2}}));
}

TEST_F(QuietGapGathererTest, EightyBytesGoOverAtOnce) {
  Bytes stream(100);
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(i);
  Add(Bytes(stream.begin(), stream.begin() + 30));
  Add(Bytes(stream.begin() + 30, stream.end()));
  ASSERT_EQ(chunks_.size(), 1u);
  EXPECT_EQ(chunks_[0], Bytes(stream.begin(), stream.begin() + QuietGapGatherer::kMaxChunk));
  RunUntilQuiet();
  ASSERT_EQ(chunks_.size(), 2u);
  EXPECT_EQ(chunks_[1], Bytes(stream.begin() + QuietGapGatherer::kMaxChunk, stream.end()));
}

TEST_F(QuietGapGathererTest, FlushHandsOverWhatIsHeldAndEndsTheWait) {
  Add({0xED, 0x01, 0x02});
  gatherer_.Flush();
  EXPECT_EQ(chunks_, (std::vector<Bytes>{{0xED, 0x01, 0x02}}));
  gatherer_.Flush();
  RunUntilQuiet();
  EXPECT_EQ(chunks_.size(), 1u) << "nothing held, nothing handed over";
}

TEST_F(QuietGapGathererTest, BytesAfterAQuietGapStartANewChunk) {
  Add({0xED, 0x01, 0x00, 0x10, 0x11});
  RunUntilQuiet();
  Add({0xED, 0x01});
  RunUntilQuiet();
  EXPECT_EQ(chunks_, (std::vector<Bytes>{{0xED, 0x01, 0x00, 0x10, 0x11}, {0xED, 0x01}}));
}

}  // namespace
