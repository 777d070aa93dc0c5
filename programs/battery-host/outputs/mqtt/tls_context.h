#pragma once

// The TLS settings of the connection to the broker, as an OpenSSL context
// handed to libmosquitto. The host resolves the broker's name itself (off the
// event loop) and gives libmosquitto an address, which libmosquitto would
// verify the certificate against; so the context verifies the certificate
// against the configured name instead, and names it in the handshake (SNI).

#include <memory>
#include <string>

#include "programs/battery-host/config/mqtt_config.h"

struct ssl_ctx_st;

class TlsContext {
 public:
  // Throws ConfigFault naming the file and OpenSSL's reason when a
  // certificate or key cannot be loaded.
  TlsContext(const MqttTls& settings, const std::string& server_name);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  ssl_ctx_st* Get() const { return context_; }
  // What the last handshake left to say, once: why the broker's certificate
  // did not verify ("Hostname mismatch"), the alert the broker sent
  // ("certificate required"), whether the handshake finished.
  struct Handshake {
    std::string verify_failure;
    int alert = 0;  // the TLS alert description, 0 for none (0 is close_notify, never fatal)
    bool done = false;
  };
  Handshake Take();

 private:
  static int Verify(int ok, struct x509_store_ctx_st* store);
  static void Info(const struct ssl_st* ssl, int where, int value);

  ssl_ctx_st* context_ = nullptr;
  std::string server_name_;
  bool name_is_address_ = false;
  Handshake handshake_;
};
