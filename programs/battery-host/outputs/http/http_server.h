#pragma once

// A small HTTP/1.1 server on the host's event loop, for reading the host's
// state and nothing else: GET and HEAD on a fixed set of paths, each answered
// from memory (no file is ever opened for a request), no request changing
// anything. Everything is asynchronous with bounded buffers, so a slow or
// hostile client costs the loop no more than any other:
//
// - a request header larger than kMaxHeaderBytes is answered 431, a request
//   with a body 413 (405 for methods other than GET and HEAD);
// - a connection must finish each request within kRequestTimeout of its first
//   byte (a client trickling its header is cut off) and may idle between
//   requests for kIdleTimeout; a response not taken within kWriteTimeout
//   ends the connection too;
// - at most kMaxConnections connections are served at once: one more is
//   answered 503 and closed at once;
// - on a loopback address, a request whose Host names anything but a
//   loopback address or localhost is refused (403), so that a web page
//   elsewhere cannot read the data through a name that resolves to this
//   machine (DNS rebinding).

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "programs/battery-host/config/listen_address.h"

namespace http_limits {

inline constexpr std::size_t kMaxHeaderBytes = 8192;
inline constexpr std::size_t kMaxConnections = 32;
inline constexpr std::chrono::seconds kRequestTimeout{5};
inline constexpr std::chrono::seconds kIdleTimeout{30};
inline constexpr std::chrono::seconds kWriteTimeout{10};

}  // namespace http_limits

// One path the server answers.
struct HttpResource {
  std::string_view path;  // "/metrics"
  std::string_view content_type;
  // The body as it is now; shared, so that requests close together can share one.
  std::function<std::shared_ptr<const std::string>()> body;
};

// What the connections share with the server; it lives as long as the last of them.
struct HttpSite;

class HttpServer {
 public:
  HttpServer(boost::asio::io_context& io, ListenAddress listen,
             std::vector<HttpResource> resources);
  // Stops accepting; connections under way end with the event loop.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and starts accepting; throws std::runtime_error naming the address
  // and the reason when it cannot bind.
  void Start();
  // The address bound, with the port the system chose for port 0: "127.0.0.1:8080".
  std::string LocalAddress() const;

 private:
  std::shared_ptr<HttpSite> site_;
};
