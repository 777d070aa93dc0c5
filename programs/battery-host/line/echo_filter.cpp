#include "programs/battery-host/line/echo_filter.h"

#include <algorithm>

void EchoFilter::Expect(const std::uint8_t* data, std::size_t size) {
  size_ = std::min(size, expected_.size());
  std::copy_n(data, size_, expected_.begin());
  next_ = 0;
}

std::size_t EchoFilter::Strip(const std::uint8_t* data, std::size_t size) {
  std::size_t stripped = 0;
  while (next_ < size_ && stripped < size) {
    if (data[stripped] != expected_[next_]) {
      next_ = size_;
      break;
    }
    ++stripped;
    ++next_;
  }
  return stripped;
}
