#pragma once

// Serial link to the battery monitor (19200 baud). The controller is the
// master; every exchange is one request and one answer. Values on the line are
// unsigned 16-bit big-endian (high byte first).
//
// Request, 5 bytes, controller -> monitor:
//
//   +------+------+---------+---------+----------+
//   | 0xFE | 0xFE | address | command | checksum |   checksum over address, command
//   +------+------+---------+---------+----------+
//      0      1        2         3          4
//
// Short answer, 5 bytes, monitor -> controller (group voltage, current, temperature):
//
//   +------+---------+-----------+-----------+----------+
//   | 0xED | address | value hi  | value lo  | checksum |   checksum over bytes 1..3
//   +------+---------+-----------+-----------+----------+
//      0        1          2           3          4
//
// Cell-voltage answer, 67 bytes, monitor -> controller:
//
//   +------+---------+------------+------------+-----+-------------+----------+
//   | 0xED | address | cell 0 hi  | cell 0 lo  | ... | cell 31 lo  | checksum |  checksum
//   over 1..65
//   +------+---------+------------+------------+-----+-------------+----------+
//      0        1          2            3               65            66
//
// The checksum is the byte sum modulo 256, then modulo 254, so it is never
// 0xFE or 0xFF. Answers do not repeat the command: an answer belongs to the
// request that is outstanding.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace battery_link {

// The monitor talks at 19200 baud, 8N1: a start bit, eight data bits and a
// stop bit, so each byte holds the line for 10 bit times.
inline constexpr unsigned kBaudRate = 19200;
inline constexpr unsigned kBitsPerByte = 10;

// Time that `bytes` take on a line at `baud`, rounded up to whole
// microseconds; no time at all for a baud rate of 0 (a line that does not
// keep time, as a simulation may ask for).
constexpr std::chrono::microseconds LineTime(std::size_t bytes, unsigned baud) {
  if (baud == 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(
      (static_cast<std::uint64_t>(bytes) * kBitsPerByte * 1'000'000 + baud - 1) / baud);
}
static_assert(LineTime(1, kBaudRate).count() == 521);

inline constexpr std::uint8_t kRequestLead = 0xFE;
inline constexpr std::uint8_t kAnswerLead = 0xED;

enum class Command : std::uint8_t {
  kCellVoltages = 0xA1,
  kGroupVoltage = 0xA2,
  kGroupCurrent = 0xA3,
  kTemperature = 0xA4,
};

inline constexpr std::size_t kRequestSize = 5;
inline constexpr std::size_t kRequestAddressOffset = 2;
inline constexpr std::size_t kRequestCommandOffset = 3;
inline constexpr std::size_t kRequestChecksumOffset = 4;
static_assert(kRequestChecksumOffset == kRequestSize - 1);

inline constexpr std::size_t kAnswerAddressOffset = 1;

// A polling cycle asks its four requests in turn: cell voltages, group
// voltage, group current, temperature.
inline constexpr std::size_t kRequestsPerCycle = 4;
// A missing answer is asked for again at the next poll tick; the re-sends are
// one budget for the whole cycle, shared by its requests.
inline constexpr int kResendsPerCycle = 3;

inline constexpr std::size_t kShortAnswerSize = 5;
inline constexpr std::size_t kShortAnswerValueOffset = 2;
inline constexpr std::size_t kShortAnswerChecksumOffset = 4;
static_assert(kShortAnswerChecksumOffset == kShortAnswerSize - 1);
static_assert(kShortAnswerValueOffset + 2 == kShortAnswerChecksumOffset);

inline constexpr std::size_t kCellCount = 32;
inline constexpr std::size_t kCellAnswerSize = 67;
inline constexpr std::size_t kCellAnswerValuesOffset = 2;
inline constexpr std::size_t kCellAnswerChecksumOffset = 66;
static_assert(kCellAnswerValuesOffset + 2 * kCellCount == kCellAnswerChecksumOffset);
static_assert(kCellAnswerChecksumOffset == kCellAnswerSize - 1);

// Received bytes are gathered until an answer is complete; a chunk that would
// bring the held bytes to this bound gives the request up.
inline constexpr std::uint32_t kGatherBound = 81;
static_assert(kCellAnswerSize < kGatherBound);

// The frame checksum over `length` bytes: their sum modulo 256, then modulo
// 254. The reduction by 254 comes after the 8-bit wrap, so a checksum is never
// 0xFE or 0xFF.
constexpr std::uint8_t Checksum(const std::uint8_t* data, std::size_t length) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
  return static_cast<std::uint8_t>(sum % 254);
}

}  // namespace battery_link
