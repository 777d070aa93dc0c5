#include "programs/battery-host/outputs/mqtt/mqtt_connection.h"

#include <mosquitto.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "programs/battery-host/support/one_shot.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackOff{500};
constexpr std::chrono::milliseconds kMaxBackOff{8000};
// A connection that lasted this long starts the back-off anew when it ends;
// one dropped sooner (a broker that takes the client id away) goes on doubling.
constexpr std::chrono::seconds kSteadyConnection{30};
// libmosquitto's keep-alive and its checks, and the limit on a connection
// attempt that gets no answer at all (an address that drops packets).
constexpr std::chrono::seconds kTickPeriod{1};
constexpr std::chrono::seconds kConnectTimeout{10};
// Connections closed by the broker within kSteadyConnection of CONNACK, in
// a row, that say another client takes the client id (the broker's answer to
// a second CONNECT with the same id, under MQTT 3.1.1).
constexpr unsigned kTakeoverCloses = 3;
// libmosquitto logs each entry of OpenSSL's error queue with this before it.
constexpr std::string_view kOpenSslLog = "OpenSSL Error";
constexpr const char* kClientCertificateHint =
    "a client certificate it trusts (mqtt.tls.cert_file, mqtt.tls.key_file)";

// The alerts (RFC 8446, 6.2) a broker ends the handshake with when it wants
// a client certificate it trusts; OpenSSL 3.0 has no name for 116, which
// only TLS 1.3 sends.
struct ClientCertificateAlert {
  int code;
  const char* name;
};
constexpr ClientCertificateAlert kClientCertificateAlerts[] = {{40, "handshake failure"},
                                                               {42, "bad certificate"},
                                                               {46, "certificate unknown"},
                                                               {48, "unknown CA"},
                                                               {116, "certificate required"}};

std::string AlertText(int alert) {
  for (const ClientCertificateAlert& known : kClientCertificateAlerts) {
    if (known.code != alert) continue;
    return std::string("TLS: the broker ended the handshake with the alert \"") + known.name +
           "\": it wants " + kClientCertificateHint;
  }
  return "TLS: the broker ended the handshake with the alert \"" +
         std::string(SSL_alert_desc_string_long(alert)) + "\" (" + std::to_string(alert) + ")";
}

void InitialiseLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string Milliseconds(std::chrono::milliseconds delay) {
  if (delay.count() % 1000 == 0) return std::to_string(delay.count() / 1000) + " s";
  return std::to_string(delay.count()) + " ms";
}

// libmosquitto's texts end in a full stop; the host's messages go on after them.
std::string Sentence(const char* text) {
  std::string sentence = text;
  if (!sentence.empty() && sentence.back() == '.') sentence.pop_back();
  return sentence;
}

// What the broker's refusal means for the one who configured the host.
std::string RefusalText(int code) {
  std::string text =
      "the broker refused the connection: " + Sentence(mosquitto_connack_string(code));
  if (code == 4 || code == 5) text += " (check mqtt.username and mqtt.password_file)";
  return text;
}

std::string DurationText(std::chrono::seconds seconds) {
  return std::to_string(seconds.count()) + " s";
}

}  // namespace

MqttConnection::MqttConnection(boost::asio::io_context& io, const MqttSettings& settings,
                               std::string password, std::string status_topic, Listener& listener)
    : settings_(settings),
      password_(std::move(password)),
      status_topic_(std::move(status_topic)),
      listener_(listener),
      resolver_(io),
      socket_(io),
      retry_(io),
      tick_(io),
      back_off_(kFirstBackOff, kMaxBackOff, kSteadyConnection) {
  InitialiseLibrary();
  if (settings_.tls) tls_ = std::make_unique<TlsContext>(*settings_.tls, settings_.host);
  client_ = mosquitto_new(settings_.client_id.c_str(), true, this);
  if (client_ == nullptr) throw std::runtime_error("mqtt: cannot make a client: out of memory");
}

MqttConnection::~MqttConnection() {
  Unwatch();
  mosquitto_destroy(client_);
}

void MqttConnection::Start() {
  Resolve();
}

void MqttConnection::Resolve() {
  state_ = State::kResolving;
  resolver_.async_resolve(
      settings_.host, std::to_string(settings_.port),
      [this](const boost::system::error_code& error,
             const boost::asio::ip::tcp::resolver::results_type& results) {
        if (error == boost::asio::error::operation_aborted) return;
        if (error) return Retry("resolve " + settings_.host + ": " + error.message());
        addresses_.clear();
        for (const auto& result : results) {
          const std::string address = result.endpoint().address().to_string();
          if (std::find(addresses_.begin(), addresses_.end(), address) == addresses_.end()) {
            addresses_.push_back(address);
          }
        }
        next_address_ = 0;
        TryNextAddress("resolve " + settings_.host + ": no address");
      });
}

void MqttConnection::TryNextAddress(const std::string& reason) {
  if (next_address_ >= addresses_.size()) return Retry(reason);
  Connect(addresses_[next_address_++]);
}

void MqttConnection::Connect(const std::string& address) {
  Unwatch();
  Configure();
  address_ = address;
  attempt_started_ = std::chrono::steady_clock::now();
  const int result =
      mosquitto_connect_bind_async(client_, address.c_str(), settings_.port,
                                   static_cast<int>(settings_.keepalive.count()), nullptr);
  saved_errno_ = errno;
  if (result != MOSQ_ERR_SUCCESS) {
    // Over loopback the TLS handshake can fail within the connect call itself.
    return TryNextAddress(Reason(result, false));
  }
  state_ = State::kConnecting;
  Tick();
  AfterCall(MOSQ_ERR_SUCCESS);
}

// Every try starts from a client without state: no message of a connection
// before is sent again by libmosquitto.
void MqttConnection::Configure() {
  mosquitto_reinitialise(client_, settings_.client_id.c_str(), true, this);
  mosquitto_connect_callback_set(client_, &MqttConnection::OnConnect);
  mosquitto_disconnect_callback_set(client_, &MqttConnection::OnDisconnect);
  mosquitto_publish_callback_set(client_, &MqttConnection::OnPublish);
  mosquitto_subscribe_callback_set(client_, &MqttConnection::OnSubscribe);
  mosquitto_message_callback_set(client_, &MqttConnection::OnMessage);
  mosquitto_log_callback_set(client_, &MqttConnection::OnLog);
  // The publisher bounds what is in flight itself.
  mosquitto_max_inflight_messages_set(client_, 0);
  mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_will_set(client_, status_topic_.c_str(), static_cast<int>(std::strlen(kMqttOffline)),
                     kMqttOffline, static_cast<int>(MqttQos::kAtLeastOnce), true);
  if (!settings_.username.empty()) {
    mosquitto_username_pw_set(client_, settings_.username.c_str(),
                              settings_.password_file.empty() ? nullptr : password_.c_str());
  }
  if (tls_) {
    mosquitto_void_option(client_, MOSQ_OPT_SSL_CTX, tls_->Get());
    mosquitto_int_option(client_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
  }
  connack_.reset();
  disconnected_ = false;
  openssl_error_.clear();
}

std::optional<int> MqttConnection::Publish(const std::string& topic, std::string_view payload,
                                           MqttQos qos, bool retain) {
  if (state_ != State::kConnected) return std::nullopt;
  int message_id = 0;
  const int result =
      mosquitto_publish(client_, &message_id, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), static_cast<int>(qos), retain);
  if (result != MOSQ_ERR_SUCCESS) return std::nullopt;
  // What libmosquitto could not write at once goes when the socket takes it.
  if (watching_ && mosquitto_want_write(client_) && !writing_) Await(true);
  return message_id;
}

std::optional<int> MqttConnection::Subscribe(const std::string& filter) {
  if (state_ != State::kConnected) return std::nullopt;
  int message_id = 0;
  if (mosquitto_subscribe(client_, &message_id, filter.c_str(),
                          static_cast<int>(MqttQos::kAtLeastOnce)) != MOSQ_ERR_SUCCESS) {
    return std::nullopt;
  }
  if (watching_ && mosquitto_want_write(client_) && !writing_) Await(true);
  return message_id;
}

void MqttConnection::Unsubscribe(const std::string& filter) {
  if (state_ != State::kConnected) return;
  mosquitto_unsubscribe(client_, nullptr, filter.c_str());
  if (watching_ && mosquitto_want_write(client_) && !writing_) Await(true);
}

void MqttConnection::AfterCall(int result) {
  if (state_ == State::kConnecting && connack_ == 0) {
    connack_.reset();
    state_ = State::kConnected;
    connected_at_ = std::chrono::steady_clock::now();
    back_off_.Up(connected_at_);
    Publish(status_topic_, kMqttOnline, MqttQos::kAtLeastOnce, true);
    listener_.OnConnected(address_, takeover_said_);
  }
  if (disconnected_ || connack_.has_value() || mosquitto_socket(client_) < 0) return Closed(result);
  Watch();
}

void MqttConnection::Closed(int result) {
  const bool was_connected = state_ == State::kConnected;
  Unwatch();
  tick_.cancel();
  std::string reason = Reason(result, was_connected);
  const bool early = was_connected && connack_.value_or(0) == 0 &&
                     std::chrono::steady_clock::now() - connected_at_ < kSteadyConnection;
  // Drops the socket and whatever libmosquitto still held for it.
  mosquitto_reinitialise(client_, settings_.client_id.c_str(), true, this);
  // A connect that fails before CONNACK says nothing about how long the
  // broker lets a session stand, so it leaves the takeover count alone.
  if (!was_connected) return TryNextAddress(reason);
  Retry(reason, !CountEarlyClose(early, reason));
}

bool MqttConnection::CountEarlyClose(bool early, std::string& reason) {
  if (!early) {
    early_closes_ = 0;
    takeover_said_ = false;
    return true;
  }
  if (takeover_said_) return false;
  if (++early_closes_ < kTakeoverCloses) {
    reason += " (the broker closed it right after accepting it)";
    return true;
  }
  reason = "client id " + settings_.client_id + " is in use by another client: the broker closed " +
           std::to_string(early_closes_) +
           " connections in a row right after accepting them (mqtt.client_id)";
  takeover_said_ = true;
  return true;
}

void MqttConnection::Retry(const std::string& reason, bool quiet) {
  state_ = State::kWaiting;
  const std::chrono::milliseconds delay = back_off_.Failed(std::chrono::steady_clock::now());
  listener_.OnDown(reason + "; retrying in " + Milliseconds(delay), quiet);
  ArmOneShot(retry_, delay, [this] { Resolve(); });
}

void MqttConnection::Watch() {
  if (!watching_) {
    boost::system::error_code error;
    socket_.assign(mosquitto_socket(client_), error);
    if (error) return Closed(MOSQ_ERR_INVAL);
    watching_ = true;
  }
  if (!reading_) Await(false);
  if (mosquitto_want_write(client_) && !writing_) Await(true);
}

void MqttConnection::Unwatch() {
  ++watch_;
  reading_ = false;
  writing_ = false;
  if (!watching_) return;
  // The descriptor is libmosquitto's: released, never closed here.
  socket_.release();
  watching_ = false;
}

// The loop's epoll reports edges: a wait started while the socket is already
// readable (or writable) would wait for the next change. So before each wait
// the socket is asked once (poll with no timeout), and what it has is
// handled first.
void MqttConnection::Await(bool write) {
  bool& waiting = write ? writing_ : reading_;
  waiting = true;
  const auto serve = [this, write, watch = watch_](bool ready) {
    if (watch != watch_) return;
    (write ? writing_ : reading_) = false;
    if (ready)
      AfterCall(write ? mosquitto_loop_write(client_, 1) : mosquitto_loop_read(client_, 1));
  };
  pollfd ready{mosquitto_socket(client_), static_cast<short>(write ? POLLOUT : POLLIN), 0};
  if (::poll(&ready, 1, 0) == 1) {
    boost::asio::post(socket_.get_executor(), [serve] { serve(true); });
    return;
  }
  using Descriptor = boost::asio::posix::stream_descriptor;
  socket_.async_wait(write ? Descriptor::wait_write : Descriptor::wait_read,
                     [serve](const boost::system::error_code& error) { serve(!error); });
}

void MqttConnection::Tick() {
  ArmOneShot(tick_, kTickPeriod, [this] {
    const bool no_answer = state_ == State::kConnecting &&
                           std::chrono::steady_clock::now() - attempt_started_ >= kConnectTimeout;
    if (no_answer) {
      Unwatch();
      mosquitto_reinitialise(client_, settings_.client_id.c_str(), true, this);
      return TryNextAddress("connect to " + address_ + ": no answer within " +
                            DurationText(kConnectTimeout));
    }
    const bool held = state_ == State::kConnected && takeover_said_ &&
                      std::chrono::steady_clock::now() - connected_at_ >= kSteadyConnection;
    if (held) {
      early_closes_ = 0;
      takeover_said_ = false;
      listener_.OnHeld(address_);
    }
    Tick();
    AfterCall(mosquitto_loop_misc(client_));
  });
}

std::string MqttConnection::Reason(int result, bool was_connected) {
  const TlsContext::Handshake handshake = tls_ ? tls_->Take() : TlsContext::Handshake{};
  const std::string port = std::to_string(settings_.port);
  if (connack_.value_or(0) != 0) return RefusalText(*connack_);
  if (!handshake.verify_failure.empty()) {
    return "TLS: the broker's certificate does not verify for " + settings_.host + ": " +
           handshake.verify_failure;
  }
  if (handshake.alert != 0) return AlertText(handshake.alert);
  if (tls_ && !handshake.done && !was_connected && result != MOSQ_ERR_ERRNO) {
    return "TLS: the connection to " + address_ + " ended in the handshake (" +
           (openssl_error_.empty() ? ErrorText(result) : openssl_error_) + "): is port " + port +
           " a listener without TLS?";
  }
  // libmosquitto reports a TLS connection the broker ended as EPROTO.
  const bool closed =
      result == MOSQ_ERR_CONN_LOST || result == MOSQ_ERR_PROTOCOL ||
      (result == MOSQ_ERR_ERRNO && (saved_errno_ == ECONNRESET || saved_errno_ == EPROTO));
  // Under TLS 1.3 the broker checks the client's certificate after this side
  // has finished the handshake; its alert may be lost with the connection.
  if (tls_ && handshake.done && !was_connected && closed) {
    return "TLS: the broker closed the connection right after the handshake, without answering "
           "CONNECT (" +
           ErrorText(result) + "): does it want " + kClientCertificateHint + "?";
  }
  if (!tls_ && !was_connected && closed) {
    return "connect to " + address_ + ": the broker closed the connection without answering " +
           "CONNECT: is port " + port + " a TLS listener (mqtt.tls)?";
  }
  return (was_connected ? "connection lost: " : "connect to " + address_ + ": ") +
         ErrorText(result);
}

std::string MqttConnection::ErrorText(int result) const {
  if (result == MOSQ_ERR_ERRNO) return std::strerror(saved_errno_);
  return Sentence(mosquitto_strerror(result));
}

void MqttConnection::Finish(std::chrono::milliseconds limit, const std::function<bool()>& done) {
  retry_.cancel();
  tick_.cancel();
  resolver_.cancel();
  Unwatch();
  if (state_ != State::kConnected) return;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const auto running = [this, deadline] {
    return mosquitto_socket(client_) >= 0 && std::chrono::steady_clock::now() < deadline;
  };
  while (running() && !done()) mosquitto_loop(client_, 50, 1);
  if (mosquitto_socket(client_) >= 0) {
    mosquitto_publish(client_, nullptr, status_topic_.c_str(),
                      static_cast<int>(std::strlen(kMqttOffline)), kMqttOffline,
                      static_cast<int>(MqttQos::kAtLeastOnce), true);
    mosquitto_disconnect(client_);
  }
  while (running()) mosquitto_loop(client_, 50, 1);
  state_ = State::kIdle;
}

void MqttConnection::OnConnect(mosquitto*, void* self, int code) {
  static_cast<MqttConnection*>(self)->connack_ = code;
}

void MqttConnection::OnDisconnect(mosquitto*, void* self, int) {
  auto* connection = static_cast<MqttConnection*>(self);
  connection->saved_errno_ = errno;
  connection->disconnected_ = true;
}

// The first of OpenSSL's errors that libmosquitto took off the queue
// ("OpenSSL Error[0]: error:0A00010B:SSL routines::wrong version number").
void MqttConnection::OnLog(mosquitto*, void* self, int level, const char* text) {
  auto* connection = static_cast<MqttConnection*>(self);
  const std::string_view line = text;
  if (level != MOSQ_LOG_ERR || line.substr(0, kOpenSslLog.size()) != kOpenSslLog) return;
  if (!connection->openssl_error_.empty()) return;
  const std::size_t colon = line.find(": ");
  connection->openssl_error_ = colon == std::string_view::npos ? line : line.substr(colon + 2);
}

void MqttConnection::OnPublish(mosquitto*, void* self, int message_id) {
  static_cast<MqttConnection*>(self)->listener_.OnAcknowledged(message_id);
}

void MqttConnection::OnSubscribe(mosquitto*, void* self, int message_id, int, const int*) {
  static_cast<MqttConnection*>(self)->listener_.OnSubscribed(message_id);
}

void MqttConnection::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  const std::string_view payload(
      static_cast<const char*>(message->payload),
      message->payload == nullptr ? 0 : static_cast<std::size_t>(message->payloadlen));
  static_cast<MqttConnection*>(self)->listener_.OnMessage(message->topic, payload, message->retain);
}
