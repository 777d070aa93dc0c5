#pragma once

// Unsigned and signed integers as bytes in a fixed order: little-endian (low
// byte first, as the host's records and state files keep them) and big-endian
// (high byte first, as the monitor's link carries them).
//
//   const auto raw = byte_order::ReadBigEndian<std::uint16_t>(frame, 2);
//   byte_order::WriteLittleEndian<std::uint32_t>(header, kCrcOffset, crc);
//
// The bytes are anything with std::data and std::size of one-byte elements: a
// C array, std::array, std::vector, std::string, or a ByteSpan made from a
// pointer and a size. A value that would reach past the end throws
// std::out_of_range and touches nothing.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <type_traits>

namespace byte_order {

// `size` bytes from `data`, for bytes known only by a pointer.
template <typename Byte>
class ByteSpan {
 public:
  static_assert(sizeof(Byte) == 1, "a span of bytes");
  constexpr ByteSpan(Byte* data, std::size_t size) : data_(data), size_(size) {}
  constexpr Byte* data() const { return data_; }
  constexpr std::size_t size() const { return size_; }

 private:
  Byte* data_;
  std::size_t size_;
};

enum class Order { kLittleEndian, kBigEndian };

namespace detail {

template <typename T, typename Bytes>
constexpr std::size_t CheckedOffset(const Bytes& bytes, std::size_t offset) {
  static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>, "an integer type");
  static_assert(sizeof(*std::data(bytes)) == 1, "bytes of one byte each");
  const std::size_t size = std::size(bytes);
  if (offset > size || size - offset < sizeof(T)) {
    throw std::out_of_range("byte_order: a value reaches past the end of its bytes");
  }
  return offset;
}

// Position of the byte of weight 256^i.
template <typename T>
constexpr std::size_t Place(Order order, std::size_t i) {
  return order == Order::kLittleEndian ? i : sizeof(T) - 1 - i;
}

}  // namespace detail

template <typename T, typename Bytes>
constexpr T Read(Order order, const Bytes& bytes, std::size_t offset = 0) {
  using Unsigned = std::make_unsigned_t<T>;
  const auto* at = std::data(bytes) + detail::CheckedOffset<T>(bytes, offset);
  Unsigned value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    const auto byte = static_cast<std::uint8_t>(at[detail::Place<T>(order, i)]);
    value = static_cast<Unsigned>(value | static_cast<Unsigned>(Unsigned{byte} << (8 * i)));
  }
  return static_cast<T>(value);
}

// `bytes` is written through: a container, or a ByteSpan of bytes that may be written.
template <typename T, typename Bytes>
constexpr void Write(Order order, Bytes&& bytes, std::size_t offset, T value) {
  auto* at = std::data(bytes) + detail::CheckedOffset<T>(bytes, offset);
  using Byte = std::remove_reference_t<decltype(*at)>;
  const auto bits = static_cast<std::make_unsigned_t<T>>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    at[detail::Place<T>(order, i)] = static_cast<Byte>((bits >> (8 * i)) & 0xFFu);
  }
}

template <typename T, typename Bytes>
constexpr T ReadLittleEndian(const Bytes& bytes, std::size_t offset = 0) {
  return Read<T>(Order::kLittleEndian, bytes, offset);
}
template <typename T, typename Bytes>
constexpr T ReadBigEndian(const Bytes& bytes, std::size_t offset = 0) {
  return Read<T>(Order::kBigEndian, bytes, offset);
}
template <typename T, typename Bytes>
constexpr void WriteLittleEndian(Bytes&& bytes, std::size_t offset, T value) {
  Write<T>(Order::kLittleEndian, bytes, offset, value);
}
template <typename T, typename Bytes>
constexpr void WriteBigEndian(Bytes&& bytes, std::size_t offset, T value) {
  Write<T>(Order::kBigEndian, bytes, offset, value);
}

namespace detail {
constexpr bool SelfCheck() {
  std::uint8_t bytes[4] = {};
  WriteBigEndian<std::uint16_t>(bytes, 1, 0x1234);
  WriteLittleEndian<std::int8_t>(bytes, 3, -1);
  return bytes[0] == 0 && bytes[1] == 0x12 && bytes[2] == 0x34 && bytes[3] == 0xFF &&
         ReadLittleEndian<std::uint32_t>(bytes) == 0xFF341200u &&
         ReadBigEndian<std::int16_t>(bytes, 2) == 0x34FF;
}
static_assert(SelfCheck());
}  // namespace detail

}  // namespace byte_order
