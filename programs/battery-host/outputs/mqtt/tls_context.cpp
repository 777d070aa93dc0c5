#include "programs/battery-host/outputs/mqtt/tls_context.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <stdexcept>
#include <utility>

#include "programs/battery-host/config/config_problem.h"

namespace {

std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown reason";
  std::array<char, 256> text{};
  ERR_error_string_n(code, text.data(), text.size());
  return text.data();
}

bool IsAddress(const std::string& name) {
  unsigned char bytes[16];
  return ::inet_pton(AF_INET, name.c_str(), bytes) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

TlsContext* Owner(const SSL* ssl) {
  return static_cast<TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

}  // namespace

TlsContext::TlsContext(const MqttTls& settings, const std::string& server_name)
    : context_(SSL_CTX_new(TLS_client_method())),
      server_name_(server_name),
      name_is_address_(IsAddress(server_name)) {
  if (context_ == nullptr) throw std::runtime_error("TLS: " + OpenSslReason());
  // A file that OpenSSL refuses is the configuration's fault: run exits 2.
  const auto fail = [this](const std::string& what) {
    const std::string reason = what + ": " + OpenSslReason();
    SSL_CTX_free(context_);
    throw ConfigFault(reason);
  };
  SSL_CTX_set_app_data(context_, this);
  SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
  if (SSL_CTX_load_verify_locations(context_, settings.ca_file.c_str(), nullptr) != 1) {
    fail(settings.ca_file);
  }
  if (!settings.cert_file.empty()) {
    if (SSL_CTX_use_certificate_chain_file(context_, settings.cert_file.c_str()) != 1) {
      fail(settings.cert_file);
    }
    if (SSL_CTX_use_PrivateKey_file(context_, settings.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context_) != 1) {
      fail(settings.key_file);
    }
  }
  // Every connection made from the context checks the broker's certificate
  // against the configured name (or address).
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context_);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  const int named = name_is_address_ ? X509_VERIFY_PARAM_set1_ip_asc(param, server_name.c_str())
                                     : X509_VERIFY_PARAM_set1_host(param, server_name.c_str(), 0);
  if (named != 1) fail("TLS server name " + server_name);
  SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, &TlsContext::Verify);
  SSL_CTX_set_info_callback(context_, &TlsContext::Info);
}

TlsContext::~TlsContext() {
  SSL_CTX_free(context_);
}

TlsContext::Handshake TlsContext::Take() {
  return std::exchange(handshake_, {});
}

int TlsContext::Verify(int ok, X509_STORE_CTX* store) {
  if (ok == 1) return ok;
  const auto* ssl = static_cast<const SSL*>(
      X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (ssl != nullptr) {
    Owner(ssl)->handshake_.verify_failure =
        X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
  }
  return ok;
}

// libmosquitto names the address it was given in the handshake; before the
// first message goes out the configured name takes its place. An alert the
// broker sends says why it ends the handshake (a client certificate missing
// or not trusted).
void TlsContext::Info(const SSL* ssl, int where, int value) {
  TlsContext* owner = Owner(ssl);
  if ((where & SSL_CB_HANDSHAKE_DONE) != 0) owner->handshake_.done = true;
  // Alerts the broker sends, not those of this side (SSL_CB_WRITE_ALERT).
  if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT && (value >> 8) == SSL3_AL_FATAL) {
    owner->handshake_.alert = value & 0xff;
  }
  if ((where & SSL_CB_HANDSHAKE_START) == 0) return;
  // An address is not a server name: none is sent then.
  char* name = owner->name_is_address_ ? nullptr : owner->server_name_.data();
  SSL_ctrl(const_cast<SSL*>(ssl), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, name);
}
