#include "programs/battery-host/outputs/http/http_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <stdexcept>
#include <utility>

#include "programs/battery-host/support/one_shot.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;
using namespace http_limits;

namespace {

// The first read of a request, while the connection idles.
constexpr std::size_t kFirstRead = 1024;
// The header, and room for the start of a request sent right behind it.
constexpr std::size_t kBufferBytes = kMaxHeaderBytes + kFirstRead;
// After an error answer the connection reads on (and drops what it reads) for
// a moment before it closes, so that the client can read the answer: closing
// with unread bytes would reset the connection and lose it.
constexpr std::chrono::seconds kLingerTimeout{1};
constexpr std::size_t kLingerBytes = 64 * 1024;
// Accepting failed (out of file descriptors, for instance): tried again after this.
constexpr std::chrono::milliseconds kAcceptRetry{100};

constexpr std::string_view kAllowedMethods = "GET, HEAD";
// On every response: nothing is cached (the state changes every cycle), no
// type is guessed, and the page brings everything it needs and fetches from
// this server alone.
constexpr std::pair<std::string_view, std::string_view> kFixedHeaders[] = {
    {"Cache-Control", "no-store"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
     "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
     "frame-ancestors 'none'"},
};

beast::string_view View(std::string_view text) {
  return {text.data(), text.size()};
}
// Written straight into a fresh socket, whose send buffer is empty.
constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";

using Response = http::response<http::span_body<const char>>;

// The answer to a request that could not be read; nothing for a client that
// went away or ran out of time, which is simply closed.
struct ReadFailure {
  http::error error;
  std::optional<http::status> answer;
};
constexpr ReadFailure kReadFailures[] = {
    {http::error::end_of_stream, std::nullopt},
    {http::error::partial_message, std::nullopt},
    {http::error::header_limit, http::status::request_header_fields_too_large},
    {http::error::buffer_overflow, http::status::request_header_fields_too_large},
    {http::error::body_limit, http::status::payload_too_large},
    {http::error::unexpected_body, http::status::payload_too_large},
};

// "localhost", "127.0.0.1:8080", "[::1]:8080": a Host header naming this machine.
bool IsLoopbackHost(std::string_view host) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    name = name.substr(1, name.find(']') == std::string_view::npos ? 0 : name.find(']') - 1);
  } else if (const auto colon = name.rfind(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "localhost") return true;
  error_code error;
  const auto address = net::ip::make_address(lower, error);
  return !error && address.is_loopback();
}

std::string_view PathOf(beast::string_view target) {
  const std::string_view path(target.data(), target.size());
  return path.substr(0, path.find('?'));
}

}  // namespace

struct HttpSite {
  HttpSite(net::io_context& io, ListenAddress address, std::vector<HttpResource> paths)
      : acceptor(io), retry(io), listen(std::move(address)), resources(std::move(paths)) {}

  const HttpResource* Find(std::string_view path) const {
    for (const HttpResource& resource : resources) {
      if (resource.path == path) return &resource;
    }
    return nullptr;
  }

  tcp::acceptor acceptor;
  net::steady_timer retry;
  ListenAddress listen;
  std::vector<HttpResource> resources;
  std::size_t open = 0;  // connections served
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, std::shared_ptr<HttpSite> site)
      : stream_(std::move(socket)), site_(std::move(site)) {
    ++site_->open;
  }
  ~Connection() { --site_->open; }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start() { ReadRequest(); }

 private:
  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
    parser_->body_limit(0);
    if (buffer_.size() != 0) return ReadRest();  // the next request came with the last
    // Idle until the first byte of the next request.
    stream_.expires_after(kIdleTimeout);
    stream_.async_read_some(buffer_.prepare(kFirstRead),
                            [self = shared_from_this()](error_code error, std::size_t size) {
                              if (error) return;  // closed, or idle too long
                              self->buffer_.commit(size);
                              self->ReadRest();
                            });
  }

  // The whole request within kRequestTimeout of its first byte.
  void ReadRest() {
    stream_.expires_after(kRequestTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](error_code error, std::size_t) {
                       if (error) return self->ReadFailed(error);
                       self->Answer();
                     });
  }

  void ReadFailed(error_code error) {
    for (const ReadFailure& failure : kReadFailures) {
      if (error != failure.error) continue;
      if (!failure.answer) return;
      // A body sent with another method: the method is what is wrong. The
      // start line was read, as the body's length comes after it.
      if (*failure.answer == http::status::payload_too_large && !IsReadMethod()) {
        return Refuse(http::status::method_not_allowed);
      }
      return Refuse(*failure.answer);
    }
    // Any other fault of the request itself; a client that went or ran out of time is closed.
    if (error.category() == http::make_error_code(http::error::bad_method).category()) {
      Refuse(http::status::bad_request);
    }
  }

  bool IsReadMethod() const {
    const http::verb method = parser_->get().method();
    return method == http::verb::get || method == http::verb::head;
  }

  void Answer() {
    const auto& request = parser_->get();
    const bool foreign_host = site_->listen.loopback && request.count(http::field::host) != 0 &&
                              !IsLoopbackHost(std::string_view(request[http::field::host].data(),
                                                               request[http::field::host].size()));
    if (foreign_host) return Refuse(http::status::forbidden);
    if (!IsReadMethod()) return Refuse(http::status::method_not_allowed);
    const HttpResource* resource = site_->Find(PathOf(request.target()));
    if (resource == nullptr) return Refuse(http::status::not_found);
    body_ = resource->body();
    Respond(http::status::ok, resource->content_type, *body_, request.keep_alive());
  }

  void Refuse(http::status status) {
    const beast::string_view reason = http::obsolete_reason(status);
    Respond(status, "text/plain; charset=utf-8", std::string_view(reason.data(), reason.size()),
            false);
  }

  void Respond(http::status status, std::string_view content_type, std::string_view body,
               bool keep_alive) {
    response_ = Response(status, parser_->is_header_done() ? parser_->get().version() : 11);
    response_.set(http::field::content_type, View(content_type));
    for (const auto& [name, value] : kFixedHeaders) response_.set(View(name), View(value));
    if (status == http::status::method_not_allowed) {
      response_.set(http::field::allow, View(kAllowedMethods));
    }
    response_.keep_alive(keep_alive);
    // HEAD: the length GET would have, and no body.
    const bool head = parser_->is_header_done() && parser_->get().method() == http::verb::head;
    response_.body() = head ? Response::body_type::value_type{}
                            : Response::body_type::value_type{body.data(), body.size()};
    response_.content_length(body.size());
    stream_.expires_after(kWriteTimeout);
    http::async_write(stream_, response_,
                      [self = shared_from_this()](error_code error, std::size_t) {
                        if (error) return;
                        self->body_.reset();
                        if (!self->response_.keep_alive()) return self->Close();
                        self->ReadRequest();
                      });
  }

  // Half-closes, then drops what still comes for a moment (kLingerTimeout).
  void Close() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kLingerTimeout);
    Drain();
  }

  void Drain() {
    stream_.async_read_some(net::buffer(discard_),
                            [self = shared_from_this()](error_code error, std::size_t size) {
                              self->drained_ += size;
                              if (!error && self->drained_ < kLingerBytes) self->Drain();
                            });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<HttpSite> site_;
  beast::flat_buffer buffer_{kBufferBytes};
  std::optional<http::request_parser<http::empty_body>> parser_;
  Response response_;
  std::shared_ptr<const std::string> body_;  // held while the response is written
  std::array<char, 512> discard_{};
  std::size_t drained_ = 0;
};

// One connection too many: answered 503 and closed, without waiting for anything.
void RefuseBusy(tcp::socket& socket) {
  error_code ignored;
  socket.non_blocking(true, ignored);
  socket.write_some(net::buffer(kBusy.data(), kBusy.size()), ignored);
  socket.close(ignored);
}

void Accept(const std::shared_ptr<HttpSite>& site) {
  site->acceptor.async_accept([site](error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted || !site->acceptor.is_open()) return;
    if (error) {
      ArmOneShot(site->retry, kAcceptRetry, [site] { Accept(site); });
      return;
    }
    if (site->open >= kMaxConnections) {
      RefuseBusy(socket);
    } else {
      std::make_shared<Connection>(std::move(socket), site)->Start();
    }
    Accept(site);
  });
}

}  // namespace

HttpServer::HttpServer(net::io_context& io, ListenAddress listen,
                       std::vector<HttpResource> resources)
    : site_(std::make_shared<HttpSite>(io, std::move(listen), std::move(resources))) {}

HttpServer::~HttpServer() {
  error_code ignored;
  site_->acceptor.close(ignored);
  site_->retry.cancel();
}

void HttpServer::Start() {
  const tcp::endpoint endpoint(net::ip::make_address(site_->listen.address), site_->listen.port);
  error_code error;
  tcp::acceptor& acceptor = site_->acceptor;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
  if (error) {
    throw std::runtime_error("http.listen " + site_->listen.Text() + ": " + error.message());
  }
  Accept(site_);
}

std::string HttpServer::LocalAddress() const {
  const tcp::endpoint bound = site_->acceptor.local_endpoint();
  ListenAddress address = site_->listen;
  address.port = bound.port();
  return address.Text();
}
