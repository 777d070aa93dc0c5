#pragma once

// Frames as the monitor and the controller put them on the line, for use as
// test input. The checksum is the link's own; link_test pins it to worked
// examples.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "battery/byte_order.h"
#include "battery/link.h"
#include "programs/battery-host/support/text_format.h"

namespace test_frames {

using Bytes = std::vector<std::uint8_t>;

// The checksum of bytes[begin, end).
inline std::uint8_t Checksum(const Bytes& bytes, std::size_t begin, std::size_t end) {
  return battery_link::Checksum(bytes.data() + begin, end - begin);
}

inline Bytes Request(std::uint8_t address, std::uint8_t command) {
  Bytes frame{0xFE, 0xFE, address, command};
  frame.push_back(Checksum(frame, 2, 4));
  return frame;
}

inline Bytes ShortAnswer(std::uint8_t address, std::uint16_t raw) {
  Bytes frame{0xED, address, 0, 0};
  byte_order::WriteBigEndian(frame, 2, raw);
  frame.push_back(Checksum(frame, 1, 4));
  return frame;
}

using CellRaw = std::array<std::uint16_t, 32>;

inline Bytes CellAnswer(std::uint8_t address, const CellRaw& raw) {
  Bytes frame{0xED, address};
  for (const std::uint16_t value : raw) {
    frame.resize(frame.size() + sizeof value);
    byte_order::WriteBigEndian(frame, frame.size() - sizeof value, value);
  }
  frame.push_back(Checksum(frame, 1, frame.size()));
  return frame;
}

// Cells of 2.000 V, 2.001 V, ... in thousandths.
inline CellRaw RisingCells(std::uint16_t first = 2000, std::uint16_t step = 1) {
  CellRaw raw{};
  for (std::size_t i = 0; i < raw.size(); ++i) {
    raw[i] = static_cast<std::uint16_t>(first + step * i);
  }
  return raw;
}

inline std::string Hex(const Bytes& bytes) {
  return host_text::Hex(bytes.data(), bytes.size());
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace test_frames
