#pragma once

// Drops the echo of a half-duplex RS-485 adapter: the bytes just written come
// back first on the receive side. They are stripped as long as they match;
// the first byte that does not match ends the echo (it was lost or cut), so
// an answer is never eaten. Left in place, an echoed request could corrupt
// the next answer: its checksum byte can be 0xED, the answer's lead byte.

#include <array>
#include <cstddef>
#include <cstdint>

class EchoFilter {
 public:
  // Bytes were written; their echo is expected next (replacing any older one).
  void Expect(const std::uint8_t* data, std::size_t size);
  // Number of leading bytes of the chunk that are echo.
  std::size_t Strip(const std::uint8_t* data, std::size_t size);

 private:
  std::array<std::uint8_t, 16> expected_{};
  std::size_t size_ = 0;
  std::size_t next_ = 0;
};
