#pragma once

// Where the host's HTTP server listens: an IP address and a TCP port, written
// "127.0.0.1:8080" or, for IPv6, "[::1]:8080". Only addresses, no host names:
// resolving a name could block the event loop and could change under it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct ListenAddress {
  std::string address;     // "127.0.0.1", "::1"
  std::uint16_t port = 0;  // 0: a free port the system chooses
  bool loopback = false;   // reachable from this machine alone

  // "127.0.0.1:8080", "[::1]:8080".
  std::string Text() const;
};

// The address in `text`, or nothing with what is wrong in `problem`.
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& problem);
