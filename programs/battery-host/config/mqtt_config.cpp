#include "programs/battery-host/config/mqtt_config.h"

#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "programs/battery-host/config/config_reader.h"
#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/config/named_files.h"

namespace {

constexpr long long kMinKeepAliveS = 5;  // libmosquitto refuses less
constexpr long long kMaxKeepAliveS = 65535;
constexpr long long kMaxPort = 65535;

std::string HostName() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return "controller";
  return name.data();
}

// Topics the host publishes under: what MQTT allows in a topic name, without
// the wildcards, and without an empty level at the end.
std::string TopicProblem(const std::string& topic) {
  if (topic.empty()) return "expected a topic, found an empty string";
  if (topic.find_first_of("+#") != std::string::npos) return "a topic holds no '+' or '#'";
  if (topic.find('\0') != std::string::npos) return "a topic holds no NUL character";
  if (topic.back() == '/') return "ends with '/': the host adds '/' between the levels";
  return {};
}

class MqttParser {
 public:
  MqttParser(ConfigReader& reader, std::string config_file, MqttSettings& settings)
      : reader_(reader), config_file_(std::move(config_file)), settings_(settings) {}

  void Parse(const Json::Value& section) {
    if (!reader_.IsObject(section, "mqtt")) return;
    reader_.RejectUnknownKeys(section, "mqtt",
                              {"host", "port", "client_id", "topic_prefix", "keepalive_s",
                               "username", "password_file", "tls", "homeassistant"});
    if (section.isMember("host")) {
      settings_.host = NonEmpty(section["host"], "mqtt.host").value_or("");
    } else {
      reader_.Error(section, "mqtt.host", "missing: the broker's name or address");
    }
    if (section.isMember("tls")) ParseTls(section["tls"]);
    settings_.port = settings_.tls ? kMqttTlsPort : kMqttPort;
    if (section.isMember("port")) {
      settings_.port = static_cast<int>(
          reader_.Integer(section["port"], "mqtt.port", 1, kMaxPort).value_or(settings_.port));
    }
    const std::string host_name = HostName();
    settings_.client_id = "battery-host-" + host_name;
    if (section.isMember("client_id")) {
      settings_.client_id = NonEmpty(section["client_id"], "mqtt.client_id").value_or("");
    }
    settings_.topic_prefix = "battery/" + host_name;
    if (section.isMember("topic_prefix")) {
      settings_.topic_prefix = Topic(section["topic_prefix"], "mqtt.topic_prefix");
    }
    if (section.isMember("keepalive_s")) {
      const auto keepalive = reader_.Integer(section["keepalive_s"], "mqtt.keepalive_s",
                                             kMinKeepAliveS, kMaxKeepAliveS);
      if (keepalive) settings_.keepalive = std::chrono::seconds(*keepalive);
    }
    ParseCredentials(section);
    if (section.isMember("homeassistant")) ParseHomeAssistant(section["homeassistant"]);
  }

 private:
  void ParseCredentials(const Json::Value& section) {
    if (section.isMember("username")) {
      settings_.username = NonEmpty(section["username"], "mqtt.username").value_or("");
    }
    if (!section.isMember("password_file")) return;
    settings_.password_file = File(section["password_file"], "mqtt.password_file");
    if (!section.isMember("username")) {
      reader_.Error(section["password_file"], "mqtt.password_file",
                    "a password needs a username (mqtt.username)");
    }
  }

  void ParseTls(const Json::Value& tls) {
    if (!reader_.IsObject(tls, "mqtt.tls")) return;
    reader_.RejectUnknownKeys(tls, "mqtt.tls", {"ca_file", "cert_file", "key_file"});
    MqttTls& settings = settings_.tls.emplace();
    if (tls.isMember("ca_file")) {
      settings.ca_file = File(tls["ca_file"], "mqtt.tls.ca_file", PemKind::kCertificate);
    } else {
      reader_.Error(tls, "mqtt.tls.ca_file",
                    "missing: the certificate authority that signed the broker's certificate");
    }
    if (tls.isMember("cert_file")) {
      settings.cert_file = File(tls["cert_file"], "mqtt.tls.cert_file", PemKind::kCertificate);
    }
    if (tls.isMember("key_file")) {
      settings.key_file = File(tls["key_file"], "mqtt.tls.key_file", PemKind::kPrivateKey);
    }
    if (tls.isMember("cert_file") != tls.isMember("key_file")) {
      reader_.Error(tls, "mqtt.tls", "cert_file and key_file go together");
    }
  }

  void ParseHomeAssistant(const Json::Value& section) {
    const std::string path = "mqtt.homeassistant";
    if (!reader_.IsObject(section, path)) return;
    reader_.RejectUnknownKeys(section, path, {"discovery", "prefix"});
    HomeAssistantSettings& settings = settings_.homeassistant;
    if (section.isMember("discovery")) {
      settings.discovery = reader_.Bool(section["discovery"], path + ".discovery").value_or(false);
    }
    if (section.isMember("prefix")) settings.prefix = Topic(section["prefix"], path + ".prefix");
  }

  std::optional<std::string> NonEmpty(const Json::Value& value, const std::string& path) {
    auto text = reader_.String(value, path);
    if (text && text->empty()) {
      reader_.Error(value, path, "expected a non-empty string");
      return std::nullopt;
    }
    return text;
  }

  std::string Topic(const Json::Value& value, const std::string& path) {
    const auto topic = reader_.String(value, path);
    if (!topic) return {};
    const std::string problem = TopicProblem(*topic);
    if (!problem.empty()) reader_.Error(value, path, problem);
    return *topic;
  }

  // A file the host reads at start, relative to the configuration's folder;
  // with `pem`, one the TLS context loads, which OpenSSL refuses unless it
  // holds that PEM block.
  std::string File(const Json::Value& value, const std::string& path,
                   std::optional<PemKind> pem = std::nullopt) {
    const auto name = NonEmpty(value, path);
    if (!name) return {};
    const std::string resolved = RelativeToConfig(config_file_, *name);
    std::error_code error;
    if (!std::filesystem::is_regular_file(resolved, error)) {
      reader_.Error(value, path, resolved + ": not a readable file");
    } else if (!std::ifstream(resolved)) {
      reader_.Error(value, path, resolved + ": cannot be read");
    } else if (const auto problem = pem ? PemProblem(resolved, *pem) : std::nullopt) {
      reader_.Error(value, path, *problem);
    }
    return resolved;
  }

  ConfigReader& reader_;
  std::string config_file_;
  MqttSettings& settings_;
};

}  // namespace

std::string MqttSettings::BrokerName() const {
  return std::string(tls ? "mqtts://" : "mqtt://") + host + ":" + std::to_string(port);
}

void ParseMqttSection(ConfigReader& reader, const Json::Value& section,
                      const std::string& config_file, MqttSettings& settings) {
  MqttParser(reader, config_file, settings).Parse(section);
}

std::string ReadPasswordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string password;
  if (!in || !std::getline(in, password)) {
    throw std::runtime_error(path + ": the MQTT password cannot be read");
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}
