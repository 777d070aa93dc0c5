#pragma once

// Gathers the bytes of a line until it has been quiet for a set time, then
// hands them over as one chunk. A native UART may deliver a 5-byte answer in
// two reads, and the plug-in gives a short answer up unless it arrives whole
// in one chunk; gathering until the line is quiet puts it back together.
//
// A chunk never holds more than kMaxChunk (80) bytes: the plug-in refuses a
// chunk that would bring what it holds to 81 bytes or more, whole, even with
// a valid answer in it, so the held bytes go over as soon as there are 80 of
// them, and what follows starts the next chunk. The plug-in appends that one
// when the first held the start of an answer: an answer behind a run of
// noise without the answer's lead byte is still taken whole.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

class QuietGapGatherer {
 public:
  static constexpr std::size_t kMaxChunk = 80;
  // The chunk may be changed by the receiver; it is valid for the call only.
  using Deliver = std::function<void(std::uint8_t* data, std::size_t size)>;

  QuietGapGatherer(boost::asio::io_context& io, std::chrono::milliseconds quiet, Deliver deliver);

  // Bytes as they were read; they go over once the line has been quiet for
  // `quiet` after the last of them, or at once when kMaxChunk are held.
  void Add(const std::uint8_t* data, std::size_t size);
  // Hands over what is held now (before a missing answer is re-sent, or when the line breaks).
  void Flush();

 private:
  void WaitForQuiet();

  boost::asio::steady_timer timer_;
  std::chrono::milliseconds quiet_;
  Deliver deliver_;
  std::array<std::uint8_t, kMaxChunk> held_{};
  std::size_t size_ = 0;
  // What the receiver gets: bytes that arrive while it runs cannot overwrite it.
  std::array<std::uint8_t, kMaxChunk> chunk_{};
};
