// cache_fuzz: any image with any length offered as the cached record, to a
// device that has already completed one cycle. An image is taken only when it
// is exactly 152 bytes; otherwise nothing changes. Queries answer from what
// was taken, and the next polling cycle publishes the taken image before it
// saves the cycle's own measurements.
//
// Input layout: a mode byte, then the image.
//   mode & 1         the std::string overload (else the byte overload)
//   (mode >> 1) % 4  0 the image as it is; 1 the image cut or padded with
//                    zeros to 152 bytes; 2 a claimed length (32-bit
//                    little-endian word ahead of the image) with the image's
//                    own bytes; 3 a null pointer with a claimed length
//   A claimed length of 152 for an image of fewer bytes is taken as the
//   image's size: the caller vouches for the bytes it names.

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "battery/link.h"
#include "battery/local_time.h"
#include "battery/record.h"
#include "battery2v_32/cell_labels.h"
#include "fuzz/fuzz_support.h"

namespace {

using fuzz_support::Check;
using fuzz_support::FuzzedDevice;
using fuzz_support::SameBits;

constexpr unsigned int kDataId = 9;
constexpr std::uint8_t kAddress = 0x21;
constexpr int kRecordSize = static_cast<int>(battery_record::kSize);

enum Length : std::uint8_t { kAsIs = 0, kFitted = 1, kClaimed = 2, kNullClaimed = 3 };

std::vector<unsigned char> RecordBytes(const FuzzedDevice& device) {
  const unsigned char* bytes = battery_record::Bytes(device.data_);
  return std::vector<unsigned char>(bytes, bytes + battery_record::kSize);
}

int Offer(FuzzedDevice& device, fuzz_support::InputReader& input, std::uint8_t mode,
          bool& expect_taken, std::vector<unsigned char>& image) {
  const bool as_string = (mode & 1u) != 0;
  const auto length_mode = static_cast<Length>((mode >> 1) % 4);
  int claimed = 0;
  if (!as_string && (length_mode == kClaimed || length_mode == kNullClaimed)) {
    claimed = static_cast<int>(input.LittleEndian32());
  }
  image = input.Bytes(input.Remaining());
  if (length_mode == kFitted) image.resize(battery_record::kSize, 0);
  const int size = static_cast<int>(image.size());
  if (as_string) {
    expect_taken = size == kRecordSize;
    return device.LoadFromCache(std::string(image.begin(), image.end()));
  }
  // An exactly sized copy, so that AddressSanitizer sees a read past its end.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[image.empty() ? 1 : image.size()]);
  if (!image.empty()) std::memcpy(bytes.get(), image.data(), image.size());
  if (length_mode == kNullClaimed) {
    expect_taken = false;
    return device.LoadFromCache(nullptr, claimed);
  }
  int length = size;
  if (length_mode == kClaimed)
    length = claimed == kRecordSize && size < kRecordSize ? size : claimed;
  expect_taken = length == kRecordSize;
  // A claimed length names only the leading bytes of a longer image.
  if (expect_taken) image.resize(battery_record::kSize);
  return device.LoadFromCache(bytes.get(), length);
}

void CheckAnswersFrom(const FuzzedDevice& device, const std::vector<unsigned char>& record) {
  for (std::size_t cell = 0; cell < battery_link::kCellCount; ++cell) {
    const float value = device.Get_Value(kDataId, battery2v_32::CellLabels::VariableNames()[cell]);
    const float expected =
        fuzz_support::FloatAt(record.data(), battery_record::kCellVoltageOffset + 4 * cell);
    Check(SameBits(value, expected), "a cell is answered from the record");
  }
  Check(SameBits(device.Get_Value(kDataId, "group_voltage"),
                 fuzz_support::FloatAt(record.data(), battery_record::kGroupVoltageOffset)),
        "group voltage from the record");
  Check(SameBits(device.Get_Value(kDataId, "group_current"),
                 fuzz_support::FloatAt(record.data(), battery_record::kGroupCurrentOffset)),
        "group current from the record");
  Check(SameBits(device.Get_Value(kDataId, "temperature"),
                 fuzz_support::FloatAt(record.data(), battery_record::kTemperatureOffset)),
        "temperature from the record");
  try {
    device.Get_Value(kDataId, "battery_32_value");
    fuzz_support::Fail("there is no cell 32");
  } catch (const std::out_of_range&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::DiscardStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  fuzz_support::InputReader input(data, size);
  const auto host = std::make_shared<fuzz_support::CheckingController>();
  host->address = kAddress;
  FuzzedDevice device;
  Json::Value host_config(Json::objectValue);
  host_config["address"] = static_cast<Json::UInt>(kAddress);
  device.Init(host, kDataId, host_config);
  Check(fuzz_support::RunCleanCycle(device, kAddress, fuzz_support::SpreadCells(), 5350, 125, 2345),
        "the device completes its first cycle");
  // An old last activity shows whether a refused image touched it.
  device.last_update_ = LocalNow() - boost::posix_time::seconds(10);
  const std::vector<unsigned char> record_before = RecordBytes(device);
  const auto update_before = device.last_update_;

  bool expect_taken = false;
  std::vector<unsigned char> image;
  const int result = Offer(device, input, input.Byte(), expect_taken, image);
  Check(result == (expect_taken ? 1 : 0), "an image is taken exactly when it is 152 bytes");
  if (expect_taken) {
    Check(RecordBytes(device) == image, "the image is taken whole");
  } else {
    Check(RecordBytes(device) == record_before, "a refused image changes no byte");
    Check(device.last_update_ == update_before, "a refused image is no activity");
  }
  Check(host->published == 1 && host->saved == 1, "a cache load publishes nothing");
  const std::vector<unsigned char> record = RecordBytes(device);
  device.last_update_ = LocalNow();
  CheckAnswersFrom(device, record);

  // The next cycle publishes the record as it stands, then saves fresh values.
  Check(
      fuzz_support::RunCleanCycle(device, kAddress, fuzz_support::SpreadCells(), 4800, 2500, 1999),
      "a cycle completes after a cache load");
  Check(host->published == 2 && host->saved == 2, "one more record published and saved");
  Check(std::equal(record.begin(), record.begin() + battery_record::kSampleTimeOffset,
                   host->last_published.begin()),
        "the publication holds the record as it stood");
  fuzz_support::CheckMeasuredRecord(host->last_saved);
  return 0;
}
