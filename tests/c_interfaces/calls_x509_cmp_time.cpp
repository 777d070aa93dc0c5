// Calls libcrypto's X509_cmp_time, which takes a time_t*: on the controller
// libcrypto's time_t has 32 bits, this caller's 64.
#include <openssl/x509.h>

#include <ctime>

int ComparedWithNow(const ASN1_TIME* time) {
  std::time_t now = std::time(nullptr);
  return X509_cmp_time(time, &now);
}
