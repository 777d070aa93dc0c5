#pragma once

// Shared by the fuzz targets: a device with its members in reach, a host that
// checks every record and request the device hands it, frames as a monitor
// sends them, and a sink for the device's diagnostic lines.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "battery/byte_order.h"
#include "battery/link.h"
#include "battery/record.h"
#include "battery2v_32/battery2v_32.h"
#include "host/controller.h"

namespace fuzz_support {

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void Check(bool holds, const char* what) {
  if (!holds) Fail(what);
}

// Exposes the members that the invariants are about.
class FuzzedDevice : public Battery2V32 {
 public:
  using Battery2V32::cmd_type_;
  using Battery2V32::data_;
  using Battery2V32::data_ready_;
  using Battery2V32::device_address_;
  using Battery2V32::last_update_;
  using Battery2V32::rx_length_;
};

inline float FloatAt(const unsigned char* bytes, std::size_t offset) {
  float value = 0.0f;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

inline bool SameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// A cell voltage that a decoded answer can have produced.
inline bool IsAcceptedCellVoltage(float volts) {
  return volts == 0.0f ||
         (volts >= Battery2V32::kMinCellVoltage && volts <= Battery2V32::kMaxCellVoltage);
}

// Peers that answer Get_SP_Value: data id 11 has a group voltage and data id
// 21 a current "I"; every other look-up fails as a host without the value does.
inline constexpr unsigned int kAnsweringPeer = 11;
inline constexpr unsigned int kSilentPeer = 12;
inline constexpr unsigned int kCurrentSource = 21;
inline constexpr float kPeerGroupVoltage = 26.5f;
inline constexpr float kSourceCurrent = -4.25f;

// A host that does nothing but check what the device hands it: requests are
// well-formed 5-byte frames to the configured address, every record is 152
// bytes. The record checks that depend on where the record came from are left
// to the targets through `on_history`.
class CheckingController : public PXHController {
 public:
  std::uint8_t address = 0;
  unsigned int published = 0;
  unsigned int saved = 0;
  std::vector<unsigned char> last_published;
  std::vector<unsigned char> last_saved;

  int SendData(PXHSPDevice&, const unsigned char* data, unsigned int length) override {
    Check(data != nullptr && length == battery_link::kRequestSize, "request is 5 bytes");
    Check(data[0] == battery_link::kRequestLead && data[1] == battery_link::kRequestLead,
          "request starts FE FE");
    Check(data[battery_link::kRequestAddressOffset] == address, "request carries the address");
    const unsigned char command = data[battery_link::kRequestCommandOffset];
    Check(command >= 0xA1 && command <= 0xA4, "request command is A1 to A4");
    Check(data[battery_link::kRequestChecksumOffset] ==
              Battery::GetMMCheckSum(data + battery_link::kRequestAddressOffset, 2),
          "request checksum");
    return static_cast<int>(length);
  }

  int SendSP(PXHVDevice&, int sp_id, const unsigned char* data, unsigned int length,
             bool flag) override {
    Check(sp_id == kBattery32SpDataId && !flag, "published as SP data 5011");
    Check(data != nullptr && length == battery_record::kSize, "published record is 152 bytes");
    last_published.assign(data, data + length);
    ++published;
    return 0;
  }

  int SaveDeviceHistory(PXHVDevice&, const unsigned char* data, unsigned int length) override {
    Check(data != nullptr && length == battery_record::kSize, "history record is 152 bytes");
    last_saved.assign(data, data + length);
    ++saved;
    return 0;
  }

  float Get_SP_Value(PXHVDevice&, unsigned int data_id, const std::string& name) override {
    if (data_id == kAnsweringPeer && name == "group_voltage") return kPeerGroupVoltage;
    if (data_id == kCurrentSource && name == "I") return kSourceCurrent;
    throw std::out_of_range("no such value");
  }
};

// The measurements of a history record are this cycle's: cells decoded inside
// the acceptance window or 0, the reserved byte 0, and a temperature that is
// either the one a new device starts with (0) or inside (0, 100].
inline void CheckMeasuredRecord(const std::vector<unsigned char>& record) {
  Check(record.size() == battery_record::kSize, "record is 152 bytes");
  for (std::size_t cell = 0; cell < battery_link::kCellCount; ++cell) {
    const float volts =
        FloatAt(record.data(), battery_record::kCellVoltageOffset + cell * sizeof(float));
    Check(IsAcceptedCellVoltage(volts), "history cell is 0 or inside 1.0 to 4.0");
  }
  Check(record[battery_record::kReservedOffset] == 0, "reserved byte is 0");
  const float temperature = FloatAt(record.data(), battery_record::kTemperatureOffset);
  Check(temperature >= 0.0f && temperature <= 100.0f, "temperature is 0 or inside (0, 100]");
}

// Frames exactly as a monitor at `address` sends them.
inline std::vector<unsigned char> ShortAnswer(std::uint8_t address, std::uint16_t raw) {
  std::vector<unsigned char> frame{battery_link::kAnswerLead, address, 0, 0};
  byte_order::WriteBigEndian(frame, battery_link::kShortAnswerValueOffset, raw);
  frame.push_back(Battery::GetMMCheckSum(frame.data() + 1, 3));
  return frame;
}

inline std::vector<unsigned char> CellAnswer(
    std::uint8_t address, const std::array<std::uint16_t, battery_link::kCellCount>& raw) {
  std::vector<unsigned char> frame{battery_link::kAnswerLead, address};
  for (const std::uint16_t value : raw) {
    frame.resize(frame.size() + sizeof value);
    byte_order::WriteBigEndian(frame, frame.size() - sizeof value, value);
  }
  frame.push_back(Battery::GetMMCheckSum(frame.data() + 1, static_cast<int>(frame.size() - 1)));
  return frame;
}

// Hands `bytes` to the device as one chunk from a buffer of exactly that size,
// so that AddressSanitizer sees any read past the chunk.
inline int Deliver(PXHSPDevice& device, const unsigned char* bytes, std::size_t length) {
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[length == 0 ? 1 : length]);
  if (length != 0) std::memcpy(chunk.get(), bytes, length);
  return device.process(chunk.get(), static_cast<unsigned int>(length));
}

inline int Deliver(PXHSPDevice& device, const std::vector<unsigned char>& bytes) {
  return Deliver(device, bytes.data(), bytes.size());
}

// One polling cycle with valid answers from the monitor at `address`: cell
// values `cells`, group voltage, current and temperature raw values. Returns
// true when every answer was taken as a cycle in order takes it.
inline bool RunCleanCycle(PXHSPDevice& device, std::uint8_t address,
                          const std::array<std::uint16_t, battery_link::kCellCount>& cells,
                          std::uint16_t group_raw, std::uint16_t current_raw,
                          std::uint16_t temperature_raw) {
  device.RefreshStatus();
  return Deliver(device, CellAnswer(address, cells)) == 1 &&
         Deliver(device, ShortAnswer(address, group_raw)) == 1 &&
         Deliver(device, ShortAnswer(address, current_raw)) == 1 &&
         Deliver(device, ShortAnswer(address, temperature_raw)) == 0;
}

// Cell values that cover the window: below, at and above both of its ends.
inline std::array<std::uint16_t, battery_link::kCellCount> SpreadCells() {
  std::array<std::uint16_t, battery_link::kCellCount> raw{};
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint16_t>(500 + 130 * i);
  raw[0] = 0;
  raw[1] = 1000;
  raw[2] = 4000;
  raw[3] = 65535;
  return raw;
}

// Swallows the device's diagnostic lines: formatting still runs, but nothing
// is written, so a campaign is not slowed down by terminal output.
class DiscardingBuffer : public std::streambuf {
 protected:
  int overflow(int character) override {
    setp(area_.data(), area_.data() + area_.size());
    return traits_type::not_eof(character);
  }

 private:
  std::array<char, 256> area_{};
};

inline void DiscardStandardOutput() {
  static DiscardingBuffer discard;
  std::cout.rdbuf(&discard);
}

// Reads an input front to back; past its end every read gives zeros.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool AtEnd() const { return position_ >= size_; }
  std::size_t Remaining() const { return AtEnd() ? 0 : size_ - position_; }

  std::uint8_t Byte() { return AtEnd() ? 0 : data_[position_++]; }

  std::uint16_t BigEndian16() {
    const std::uint8_t high = Byte();
    return static_cast<std::uint16_t>((high << 8) | Byte());
  }

  std::uint32_t LittleEndian32() {
    std::uint32_t value = 0;
    for (unsigned shift = 0; shift < 32; shift += 8) value |= std::uint32_t{Byte()} << shift;
    return value;
  }

  // Up to `length` bytes, fewer when the input ends first.
  std::vector<unsigned char> Bytes(std::size_t length) {
    const std::size_t taken = length < Remaining() ? length : Remaining();
    std::vector<unsigned char> bytes(data_ + position_, data_ + position_ + taken);
    position_ += taken;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace fuzz_support
