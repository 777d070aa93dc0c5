#pragma once

// The host's 7-byte calendar time, as stored in device records:
//
//   byte 0-1  year, unsigned 16-bit little-endian (e.g. 2026 = EA 07)
//   byte 2    month   1..12
//   byte 3    day     1..31
//   byte 4    hour    0..23
//   byte 5    minute  0..59
//   byte 6    second  0..59
//
// A time point that is not a date (not_a_date_time, +/- infinity) gives seven
// zero bytes.

#include <boost/date_time/posix_time/ptime.hpp>

#include <array>
#include <cstdint>

#include "host/api.h"

inline constexpr std::size_t kTTimeSize = 7;
using ttime = std::array<std::uint8_t, kTTimeSize>;

HOST_API ttime get_ttime(boost::posix_time::ptime time);
