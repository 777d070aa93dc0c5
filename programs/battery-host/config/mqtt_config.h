#pragma once

// The `mqtt` section of the host configuration: where the broker is, who the
// host is to it, and where its messages go. Files named in the section are
// taken relative to the configuration file's folder and must be readable
// when the configuration is checked; the password itself is read only when
// the host starts and is never printed.

#include <json/value.h>

#include <chrono>
#include <optional>
#include <string>

class ConfigReader;

inline constexpr int kMqttPort = 1883;
inline constexpr int kMqttTlsPort = 8883;

struct MqttTls {
  std::string ca_file;    // the certificate authority that signed the broker's certificate
  std::string cert_file;  // with key_file: the host's own certificate, when the broker asks for one
  std::string key_file;
};

struct HomeAssistantSettings {
  bool discovery = false;  // retained config messages for every value of every device
  std::string prefix = "homeassistant";
};

struct MqttSettings {
  std::string host;  // a name or an address; resolved without blocking the event loop
  int port = kMqttPort;
  std::string client_id;     // default "battery-host-" + the host name
  std::string topic_prefix;  // default "battery/" + the host name; no trailing '/'
  std::chrono::seconds keepalive{60};
  std::string username;       // empty: none
  std::string password_file;  // empty: none; its first line is the password
  std::optional<MqttTls> tls;
  HomeAssistantSettings homeassistant;

  // "mqtt://HOST:PORT", or mqtts:// with TLS: how messages name the broker.
  std::string BrokerName() const;
};

// Reads the section into `settings`, reporting each problem through `reader`;
// the files it names are taken from the folder of `config_file`.
void ParseMqttSection(ConfigReader& reader, const Json::Value& section,
                      const std::string& config_file, MqttSettings& settings);

// The password in `path`: its first line, without the line end. Throws
// std::runtime_error naming the file (never its content) when it cannot be read.
std::string ReadPasswordFile(const std::string& path);
