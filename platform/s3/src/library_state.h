// Process-wide state: initialisation count, default host, flags, timeouts, and the transport
// shared by every request (DNS and TLS session caches shared between threads, plus idle easy
// handles that keep their connections for reuse).
#ifndef VORLAN_S3_LIBRARY_STATE_H
#define VORLAN_S3_LIBRARY_STATE_H

#include <curl/curl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace vorlan_s3 {

struct x509_free {
  void operator()(X509 *certificate) const { X509_free(certificate); }
};

// Certificate authorities trusted besides the system's store (S3_set_ca_file), parsed once.
struct extra_authorities {
  std::string path;
  std::vector<std::unique_ptr<X509, x509_free>> certificates;
};

struct transfer_settings {
  bool verify_peer = true;  // off only while every live initialisation left it out
  long connect_timeout_seconds = 30;
  long low_speed_time_seconds = 60;
  std::string user_agent;
  std::string default_host;
  std::shared_ptr<const extra_authorities> authorities;  // null: the system's store alone
};

// A copy of the settings as they are now; later S3_initialize calls do not affect it.
transfer_settings current_settings();

class shared_transport;

// An easy handle lent to one request on one thread, attached to the shared caches and reset
// to defaults, with the connections it kept from earlier requests. Returned to the bounded
// idle list when the lease ends.
class easy_handle_lease {
 public:
  easy_handle_lease();
  ~easy_handle_lease();
  easy_handle_lease(const easy_handle_lease &) = delete;
  easy_handle_lease &operator=(const easy_handle_lease &) = delete;
  CURL *get() const { return handle_; }

 private:
  std::shared_ptr<shared_transport> transport_;
  CURL *handle_ = nullptr;
};

}  // namespace vorlan_s3

#endif
