#include "programs/battery-host/config/listen_address.h"

#include <boost/asio/ip/address.hpp>

#include "programs/command-line/number_text.h"

namespace {

constexpr unsigned long long kMaxPort = 65535;

}  // namespace

std::string ListenAddress::Text() const {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& problem) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    problem = "expected ADDRESS:PORT, e.g. \"127.0.0.1:8080\" or \"[::1]:8080\"";
    return std::nullopt;
  }
  std::string_view host = text.substr(0, colon);
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(std::string(host), error);
  if (error) {
    problem = "'" + std::string(host) + "' is not an IP address (host names are not resolved)";
    return std::nullopt;
  }
  // Without brackets the last group of an IPv6 address would read as the port.
  if (address.is_v6() && !bracketed) {
    problem = "an IPv6 address goes in brackets: \"[::1]:8080\"";
    return std::nullopt;
  }
  if (!address.is_v6() && bracketed) {
    problem = "'" + std::string(host) + "' is not an IPv6 address, which alone goes in brackets";
    return std::nullopt;
  }
  const auto port = number_text::ParseWhole(text.substr(colon + 1), kMaxPort);
  if (!port) {
    problem = "port: expected " + number_text::Expected(0, kMaxPort);
    return std::nullopt;
  }
  return ListenAddress{address.to_string(), static_cast<std::uint16_t>(*port),
                       address.is_loopback()};
}
