#include "programs/battery-host/line/quiet_gap_gatherer.h"

#include <algorithm>

QuietGapGatherer::QuietGapGatherer(boost::asio::io_context& io, std::chrono::milliseconds quiet,
                                   Deliver deliver)
    : timer_(io), quiet_(quiet), deliver_(std::move(deliver)) {}

void QuietGapGatherer::Add(const std::uint8_t* data, std::size_t size) {
  while (size != 0) {
    const std::size_t taken = std::min(size, kMaxChunk - size_);
    std::copy_n(data, taken, held_.begin() + static_cast<std::ptrdiff_t>(size_));
    size_ += taken;
    data += taken;
    size -= taken;
    if (size_ == kMaxChunk) Flush();
  }
  if (size_ != 0) WaitForQuiet();
}

void QuietGapGatherer::Flush() {
  timer_.cancel();
  if (size_ == 0) return;
  const std::size_t size = size_;
  std::copy_n(held_.begin(), size, chunk_.begin());
  size_ = 0;
  deliver_(chunk_.data(), size);
}

void QuietGapGatherer::WaitForQuiet() {
  // Setting the expiry cancels the wait for the bytes before, unless that wait
  // has already ended and its handler is queued: hence the look at the expiry.
  timer_.expires_after(quiet_);
  timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error && timer_.expiry() <= std::chrono::steady_clock::now()) Flush();
  });
}
