// line_fuzz: whatever arrives on the serial line, in chunks of any size,
// interleaved with poll ticks, against a device configured from the input.
//
// Input layout (every read past the end gives 0):
//
//   header, 6 bytes
//     0  bus address the monitor answers at
//     1  "version"          byte % 4
//     2  "dir"              byte % 3
//     3  current source     byte % 3: 0 the answer, 1 "current_ratio" 1,
//                           2 "r_data_id" 21 (answers) or 22 (does not), with
//                           "r_current_field" "I"; (byte / 3) % 2 picks the id
//     4  "battery_adjust"   0x80 "nan", 0x81 "inf", 0x82 "-inf", else signed byte / 64
//     5  "group_voltage"    byte % 4: none, [11], [12], [11, 12]; 11 answers, 12 does not
//   events, until the input ends; the first byte of each, % 8, is its kind
//     0  poll tick
//     1  chunk: length byte, then that many bytes
//     2  long chunk: big-endian 16-bit length % 1024, then that many bytes
//     3  short answer: raw value (2 bytes, big-endian), sent as a valid frame
//     4  cell answer: 32 raw values (64 bytes), sent as a valid frame; then a
//        split byte: 1 to 66 delivers the frame in two chunks split there
//     5  damaged answer: kind byte (odd: cell answer with 64 value bytes, even:
//        short answer with 2), position byte, xor byte (0 taken as 1)
//     6  odd call: selector byte % 3, then a 32-bit little-endian word w:
//        0 process(nullptr, w), 1 process(4 bytes, a length of 81 or more: for
//        odd w one of the 128 largest, which wrap a sum with the bytes held),
//        2 a chunk of length 0
//     7  value query: selector byte picks the name
//
// After every event: at most 80 bytes held, the request kind 0 to 4, and for
// a completed cycle the record checks of CheckMeasuredRecord; the record
// published at the end of a cycle must hold the measurements of the previous
// history record (zeros before the first).

#include <json/value.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "battery/link.h"
#include "battery/record.h"
#include "battery2v_32/cell_name.h"
#include "fuzz/fuzz_support.h"

namespace {

using fuzz_support::Check;
using fuzz_support::CheckingController;
using fuzz_support::FuzzedDevice;
using fuzz_support::InputReader;

constexpr unsigned int kDataId = 7;
constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kLongChunkLimit = 1024;
constexpr std::uint32_t kHeldLimit = battery_link::kGatherBound - 1;

enum EventKind : std::uint8_t {
  kTick = 0,
  kChunk = 1,
  kLongChunk = 2,
  kShortFrame = 3,
  kCellFrame = 4,
  kDamagedFrame = 5,
  kOddCall = 6,
  kQuery = 7,
  kEventKinds = 8,
};

Json::Value BatteryAdjust(std::uint8_t selector) {
  switch (selector) {
    case 0x80:
      return "nan";
    case 0x81:
      return "inf";
    case 0x82:
      return "-inf";
    default:
      return static_cast<double>(static_cast<std::int8_t>(selector)) / 64.0;
  }
}

Json::Value ConfigurationFrom(InputReader& input) {
  const std::uint8_t version = input.Byte();
  const std::uint8_t dir = input.Byte();
  const std::uint8_t current = input.Byte();
  const std::uint8_t adjust = input.Byte();
  const std::uint8_t peers = input.Byte();
  Json::Value settings(Json::objectValue);
  settings["version"] = version % 4;
  settings["dir"] = dir % 3;
  if (current % 3 == 1) settings["current_ratio"] = 1;
  if (current % 3 == 2) {
    settings["r_data_id"] =
        (current / 3) % 2 != 0 ? fuzz_support::kCurrentSource : fuzz_support::kCurrentSource + 1;
    settings["r_current_field"] = "I";
  }
  settings["battery_adjust"] = BatteryAdjust(adjust);
  Json::Value ids(Json::arrayValue);
  if ((peers & 1u) != 0) ids.append(fuzz_support::kAnsweringPeer);
  if ((peers & 2u) != 0) ids.append(fuzz_support::kSilentPeer);
  settings["group_voltage"] = ids;
  Json::Value config(Json::objectValue);
  config["appSetting"] = settings;
  return config;
}

std::array<std::uint16_t, battery_link::kCellCount> CellValues(InputReader& input) {
  std::array<std::uint16_t, battery_link::kCellCount> raw{};
  for (std::uint16_t& value : raw) value = input.BigEndian16();
  return raw;
}

class LineSession {
 public:
  explicit LineSession(InputReader& input) : input_(input) {
    const std::uint8_t address = input_.Byte();
    host_->address = address;
    Json::Value host_config(Json::objectValue);
    // The host hands over the address with its top bit set; InitSetting clears it.
    host_config["address"] = static_cast<Json::UInt>(address ^ 0x80u);
    device_.Init(host_, kDataId, host_config);
    device_.InitSetting(ConfigurationFrom(input_));
    Check(battery_record::Load<std::uint32_t>(device_.data_, 0) == kDataId,
          "record carries the data id");
  }

  void Run() {
    while (!input_.AtEnd()) {
      RunEvent(static_cast<EventKind>(input_.Byte() % kEventKinds));
      CheckInvariants();
    }
  }

 private:
  void RunEvent(EventKind kind) {
    switch (kind) {
      case kTick:
        Check(device_.RefreshStatus() == 1, "RefreshStatus returns 1");
        Check(device_.cmd_type_ != 0, "a tick leaves a request outstanding");
        break;
      case kChunk:
        Deliver(input_.Bytes(input_.Byte()));
        break;
      case kLongChunk:
        Deliver(input_.Bytes(input_.BigEndian16() % kLongChunkLimit));
        break;
      case kShortFrame:
        Deliver(fuzz_support::ShortAnswer(host_->address, input_.BigEndian16()));
        break;
      case kCellFrame:
        DeliverCellFrame();
        break;
      case kDamagedFrame:
        DeliverDamagedFrame();
        break;
      case kOddCall:
        OddCall();
        break;
      default:
        Query();
        break;
    }
  }

  void Deliver(const std::vector<unsigned char>& chunk) {
    const int result = fuzz_support::Deliver(device_, chunk);
    Check(result == 0 || result == 1, "process returns 0 or 1");
  }

  void DeliverCellFrame() {
    const std::vector<unsigned char> frame =
        fuzz_support::CellAnswer(host_->address, CellValues(input_));
    const std::size_t split = input_.Byte();
    if (split == 0 || split >= frame.size()) return Deliver(frame);
    Deliver(std::vector<unsigned char>(frame.begin(), frame.begin() + static_cast<long>(split)));
    Deliver(std::vector<unsigned char>(frame.begin() + static_cast<long>(split), frame.end()));
  }

  void DeliverDamagedFrame() {
    const bool cells = (input_.Byte() & 1u) != 0;
    std::vector<unsigned char> frame =
        cells ? fuzz_support::CellAnswer(host_->address, CellValues(input_))
              : fuzz_support::ShortAnswer(host_->address, input_.BigEndian16());
    const std::size_t position = input_.Byte() % frame.size();
    const std::uint8_t flip = input_.Byte();
    frame[position] = static_cast<unsigned char>(frame[position] ^ (flip == 0 ? 1u : flip));
    Deliver(frame);
  }

  void OddCall() {
    const std::uint8_t selector = input_.Byte() % 3;
    const std::uint32_t word = input_.LittleEndian32();
    if (selector == 0) {
      // No bytes behind the pointer: whatever the length, nothing may be read.
      const std::uint32_t held = device_.rx_length_;
      const int result = device_.process(nullptr, word);
      Check(result == 0 || result == 1, "process returns 0 or 1");
      Check(device_.rx_length_ <= held, "a null chunk adds nothing");
      return;
    }
    if (selector == 1) {
      // A length that no chunk may have: refused before a byte is read.
      constexpr std::uint32_t kTopLengths = 128;
      const std::uint32_t length =
          (word & 1u) != 0 ? UINT32_MAX - (word >> 1) % kTopLengths
                           : battery_link::kGatherBound +
                                 (word >> 1) % (UINT32_MAX - battery_link::kGatherBound);
      std::unique_ptr<unsigned char[]> bytes(new unsigned char[4]{0xED, 0x01, 0x02, 0x03});
      Check(device_.process(bytes.get(), length) == 0, "oversized chunk gives the request up");
      Check(device_.rx_length_ == 0 && device_.cmd_type_ == 0,
            "oversized chunk empties the buffer");
      return;
    }
    Deliver({});
  }

  void Query() {
    static const char* const kNames[] = {
        "battery_0_value", "battery_31_value", "battery_32_value",    "group_voltage",
        "group_current",   "temperature",      "x battery_7_value y", "Group_Voltage"};
    const std::string name = kNames[input_.Byte() % std::size(kNames)];
    try {
      const float value = device_.Get_Value(kDataId, name);
      const auto cell = battery2v_32::FindCellNumber(name);
      if (cell && *cell < static_cast<int>(battery_link::kCellCount)) {
        Check(fuzz_support::SameBits(value, battery_record::CellVoltage(
                                                device_.data_, static_cast<std::size_t>(*cell))),
              "a cell query answers from the record");
      }
    } catch (const std::out_of_range&) {
      // Not ready, too old, or not a name of this device.
    }
  }

  void CheckInvariants() {
    Check(device_.rx_length_ <= kHeldLimit, "never more than 80 bytes held");
    Check(device_.cmd_type_ >= 0 && device_.cmd_type_ <= 4, "request kind is 0 to 4");
    Check(host_->published == host_->saved, "every cycle publishes and saves one record");
    if (host_->saved == cycles_) return;
    Check(host_->saved == cycles_ + 1, "one cycle per event at most");
    ++cycles_;
    const std::vector<unsigned char>& published = host_->last_published;
    for (std::size_t i = battery_record::kCellVoltageOffset; i < battery_record::kSampleTimeOffset;
         ++i) {
      const unsigned char expected = previous_history_.empty() ? 0 : previous_history_[i];
      Check(published[i] == expected, "publication holds the previous cycle's measurements");
    }
    fuzz_support::CheckMeasuredRecord(host_->last_saved);
    Check(battery_record::Load<std::uint32_t>(device_.data_, 0) == kDataId,
          "record keeps the data id");
    previous_history_ = host_->last_saved;
  }

  InputReader& input_;
  std::shared_ptr<CheckingController> host_ = std::make_shared<CheckingController>();
  FuzzedDevice device_;
  unsigned int cycles_ = 0;
  std::vector<unsigned char> previous_history_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::DiscardStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderSize) return 0;
  InputReader input(data, size);
  LineSession session(input);
  session.Run();
  return 0;
}
