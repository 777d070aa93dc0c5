// The record as a byte image: little-endian IEEE-754 floats at fixed offsets,
// the temperature at the odd offset 141, and images that sit at any address.
// On the controller a float access at an odd address traps, so these tests
// are the ones that catch a field read or written through a float pointer.

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "tests/support/device_harness.h"

namespace {

using test_frames::Bytes;

// The four bytes at `offset`, lowest address first.
Bytes Field(const Bytes& image, std::size_t offset) {
  return Bytes(image.begin() + static_cast<std::ptrdiff_t>(offset),
               image.begin() + static_cast<std::ptrdiff_t>(offset + 4));
}

class RecordImageTest : public DeviceTest {};

TEST_F(RecordImageTest, CycleWritesLittleEndianFloatsAtTheirOffsets) {
  Configure();
  // Group voltage 53.6 V (0.1 V steps), current 12.5 A, temperature 23.45 degrees.
  RunCycle(test_frames::RisingCells(), 536, 125, 2345);
  ASSERT_EQ(host->saved.size(), 1u);
  const Bytes& image = host->saved.front();
  ASSERT_EQ(image.size(), 152u);
  EXPECT_EQ(Field(image, 0), (Bytes{0x07, 0x00, 0x00, 0x00}));    // data id 7
  EXPECT_EQ(Field(image, 4), (Bytes{0x00, 0x00, 0x00, 0x40}));    // cell 0: 2.0 V
  EXPECT_EQ(Field(image, 132), (Bytes{0x66, 0x66, 0x56, 0x42}));  // 53.6 V
  EXPECT_EQ(Field(image, 136), (Bytes{0x00, 0x00, 0x48, 0x41}));  // 12.5 A
  EXPECT_EQ(image[140], 0x00);                                    // reserved
  EXPECT_EQ(Field(image, 141), (Bytes{0x9A, 0x99, 0xBB, 0x41}));  // 23.45 degrees
}

TEST_F(RecordImageTest, CachedImageAtAnOddAddressRestoresTheMeasurements) {
  Bytes image(152, 0);
  const std::array<Bytes, 3> fields = {Bytes{0x66, 0x66, 0x56, 0x42},   // 53.6 V
                                       Bytes{0x00, 0x00, 0x48, 0x41},   // 12.5 A
                                       Bytes{0x9A, 0x99, 0xBB, 0x41}};  // 23.45 degrees
  const std::array<std::size_t, 3> offsets = {132, 136, 141};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::memcpy(image.data() + offsets[i], fields[i].data(), 4);
  }
  // One byte in front: the image and each of its float fields start at an
  // address that is not a multiple of four.
  alignas(8) std::array<unsigned char, 1 + 152> buffer{};
  std::memcpy(buffer.data() + 1, image.data(), image.size());

  EXPECT_EQ(device.LoadFromCache(buffer.data() + 1, 152), 1);
  EXPECT_EQ(device.group_voltage_, 53.6f);
  EXPECT_EQ(device.group_current_, 12.5f);
  EXPECT_EQ(device.temperature_, 23.45f);
  EXPECT_EQ(std::memcmp(battery_record::Bytes(device.data_), image.data(), image.size()), 0);
}

}  // namespace
