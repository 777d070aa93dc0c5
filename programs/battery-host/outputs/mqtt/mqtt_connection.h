#pragma once

// The connection to the broker: libmosquitto driven from the host's event
// loop, with no thread of its own. The broker's name is resolved by Asio's
// resolver (getaddrinfo runs off the loop), libmosquitto connects to each
// address in turn without blocking, and its socket is watched on the loop:
// readable -> mosquitto_loop_read, writable while it has something to send ->
// mosquitto_loop_write, and a timer for mosquitto_loop_misc (keep-alive).
// Polling never waits on the network.
//
// A connection that is lost, refused or never made is said to the listener
// with the reason and tried again after a back-off that doubles from 0.5 s up
// to 8 s. Every try starts a clean session: what was in flight is the
// publisher's to send again. `TOPIC_PREFIX/status` says `online` (retained)
// once the broker accepts the connection, and the broker says `offline`
// (retained, the last will) when the connection ends any other way than a
// clean stop, which says `offline` itself.
//
// The reason tells the faults apart as far as libmosquitto and OpenSSL let
// it: the broker's refusal (CONNACK), a certificate that does not verify, a
// TLS alert from the broker (a client certificate missing or not trusted), a
// connection that ends in the TLS handshake (a plain listener) or before
// CONNACK without TLS (a TLS listener), a name that does not resolve, a
// refused connection. The host speaks MQTT 3.1.1, where a broker that hands
// the session to another client with the same client id just closes the
// connection: several connections in a row closed soon after CONNACK are
// said once as the client id being in use, and nothing more is said of them
// until a connection holds.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "programs/battery-host/config/mqtt_config.h"
#include "programs/battery-host/outputs/mqtt/tls_context.h"
#include "programs/battery-host/support/back_off.h"

struct mosquitto;
struct mosquitto_message;

inline constexpr const char* kMqttOnline = "online";
inline constexpr const char* kMqttOffline = "offline";

enum class MqttQos { kAtMostOnce = 0, kAtLeastOnce = 1 };

class MqttConnection {
 public:
  class Listener {
   public:
    virtual ~Listener() = default;
    // The broker accepted the connection; `address` is the one connected to.
    // `quiet` while the client id is said to be in use: nothing to say.
    virtual void OnConnected(const std::string& address, bool quiet) = 0;
    // The connection was lost, refused or could not be made: why, and when
    // the next try is. `quiet`: the same as said before (the client id in use).
    virtual void OnDown(const std::string& reason, bool quiet) = 0;
    // A connection held after the client id was said to be in use.
    virtual void OnHeld(const std::string& address) = 0;
    // The broker acknowledged the QoS 1 message with this id.
    virtual void OnAcknowledged(int message_id) = 0;
    // The broker granted the subscription with this id.
    virtual void OnSubscribed(int message_id) = 0;
    // A message on a subscribed topic; `retained` for one the broker kept.
    virtual void OnMessage(const std::string& topic, std::string_view payload, bool retained) = 0;
  };

  // Throws std::runtime_error when the TLS files cannot be loaded.
  MqttConnection(boost::asio::io_context& io, const MqttSettings& settings, std::string password,
                 std::string status_topic, Listener& listener);
  ~MqttConnection();
  MqttConnection(const MqttConnection&) = delete;
  MqttConnection& operator=(const MqttConnection&) = delete;

  void Start();
  bool Connected() const { return state_ == State::kConnected; }
  // Queues a message; the id of a QoS 1 message, or nothing when it was
  // refused (not connected).
  std::optional<int> Publish(const std::string& topic, std::string_view payload, MqttQos qos,
                             bool retain);
  // Subscribes at QoS 1 (or stops); the id the grant will carry, or nothing
  // when it was refused (not connected).
  std::optional<int> Subscribe(const std::string& filter);
  void Unsubscribe(const std::string& filter);
  // At a clean stop, once the event loop has ended: runs the connection
  // itself until `done` says so or `limit` has passed, then says offline and
  // disconnects.
  void Finish(std::chrono::milliseconds limit, const std::function<bool()>& done);

 private:
  enum class State { kIdle, kResolving, kConnecting, kConnected, kWaiting };

  void Resolve();
  void TryNextAddress(const std::string& reason);
  void Connect(const std::string& address);
  void Configure();
  // After every libmosquitto call: a connection made or gone, and what to wait for.
  void AfterCall(int result);
  void Closed(int result);
  void Retry(const std::string& reason, bool quiet = false);
  // A connection closed by the broker soon after CONNACK, or one that ended
  // otherwise: counts towards the client id in use, and says whether it is
  // to be said (false: said already).
  bool CountEarlyClose(bool early, std::string& reason);
  void Watch();
  void Unwatch();
  // Reads (or writes) when the socket is ready.
  void Await(bool write);
  void Tick();
  // Why an attempt or a connection ended: the broker's refusal, a
  // certificate that does not verify, or libmosquitto's error.
  std::string Reason(int result, bool was_connected);
  std::string ErrorText(int result) const;

  static void OnConnect(mosquitto*, void* self, int code);
  static void OnDisconnect(mosquitto*, void* self, int code);
  static void OnPublish(mosquitto*, void* self, int message_id);
  static void OnSubscribe(mosquitto*, void* self, int message_id, int granted_count,
                          const int* granted);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void OnLog(mosquitto*, void* self, int level, const char* text);

  const MqttSettings& settings_;
  std::string password_;
  std::string status_topic_;
  Listener& listener_;
  std::unique_ptr<TlsContext> tls_;
  mosquitto* client_ = nullptr;
  boost::asio::ip::tcp::resolver resolver_;
  boost::asio::posix::stream_descriptor socket_;
  boost::asio::steady_timer retry_;
  boost::asio::steady_timer tick_;
  State state_ = State::kIdle;
  std::vector<std::string> addresses_;
  std::size_t next_address_ = 0;
  std::string address_;  // being connected to, or connected
  std::chrono::steady_clock::time_point attempt_started_;
  BackOff back_off_;
  // Set by libmosquitto's callbacks, acted on after the call that made them.
  std::optional<int> connack_;
  bool disconnected_ = false;
  int saved_errno_ = 0;
  std::string openssl_error_;  // what libmosquitto logged of OpenSSL's error queue
  std::chrono::steady_clock::time_point connected_at_;
  unsigned early_closes_ = 0;  // in a row
  bool takeover_said_ = false;
  // Waits on the socket; completions of a watch that has ended are ignored.
  bool watching_ = false;
  bool reading_ = false;
  bool writing_ = false;
  unsigned long watch_ = 0;
};
