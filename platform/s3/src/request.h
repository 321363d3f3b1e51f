// What every request kind shares: the request description, the addressing and authentication
// that turn it into an HTTP request, the forwarding of response properties, and the one call
// of the caller's complete callback.
#ifndef VORLAN_S3_REQUEST_H
#define VORLAN_S3_REQUEST_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "http_exchange.h"
#include "uri.h"
#include "vorlan/s3.h"

namespace vorlan_s3 {

using header_list = std::vector<std::pair<std::string, std::string>>;

struct request_plan {
  std::string method = "GET";
  S3Protocol protocol = S3ProtocolHTTPS;
  S3UriStyle uri_style = S3UriStylePath;
  const char *host = nullptr;  // null: the S3_initialize default
  const char *bucket = nullptr;
  const char *key = nullptr;
  bool needs_bucket = true;  // only the service listing addresses no bucket
  bool needs_key = false;    // object requests but HeadBucket: a null key would name the bucket
  query_params query;
  const char *access_key_id = nullptr;
  const char *secret_access_key = nullptr;
  const char *security_token = nullptr;
  const char *auth_region = nullptr;
  const char *user_project = nullptr;  // Google Cloud's requester-pays project
  bool requester_pays = false;         // S3's requester-pays consent
  header_list signed_headers;          // x-amz-*, content-type, content-md5, range
  header_list unsigned_headers;        // headers a front end may rewrite
  std::string payload_hash;            // empty: the hash of an empty body
  bool has_body = false;
  uint64_t body_length = 0;
  std::function<int(char *, int)> pull_body;
  std::string fixed_body;
  int timeout_ms = 0;
  int64_t now = 0;  // signing time, seconds since the epoch; 0 for the clock
};

// Checks the addressing and header values and builds the request with its authentication.
S3Status build_http_request(request_plan plan, http_request *request);

// Whether the request is signed with Signature V4, which also sets its header dialect: S3's
// x-amz-* headers then, Google Cloud's x-goog-* otherwise.
inline bool signs_v4(const request_plan &plan) {
  return plan.secret_access_key != nullptr && *plan.secret_access_key != '\0';
}

// Google Cloud's header dialect (x-goog-*), spoken by a request that is not signed with
// Signature V4 but carries a bearer token or a Google Cloud project. Every other request speaks
// S3's x-amz-*. Google Cloud refuses a request that mixes the two, so requests are built with
// S3's names and take Google Cloud's when they are sent.
inline bool google_dialect(const request_plan &plan) {
  auto set = [](const char *text) { return text != nullptr && *text != '\0'; };
  return !signs_v4(plan) &&
         (set(plan.security_token) || set(plan.access_key_id) || set(plan.user_project));
}

// Adds the headers of the put properties (content type, MD5, metadata, ...) to the plan.
S3Status add_put_properties(const S3PutProperties *properties, request_plan *plan);

// The plan fields that come from a bucket context.
void apply_bucket_context(const S3BucketContext *context, request_plan *plan);

// The plan of an object request: the bucket context's fields, the method and the key, which the
// request needs unless `needs_key` is false (HeadBucket).
request_plan object_plan(const S3BucketContext *context, const char *method, const char *key,
                         int timeout_ms, bool needs_key = true);

// A body the library wrote, signed whole. Google Cloud requires a Content-Length even when
// the body is empty.
void set_fixed_body(request_plan *plan, std::string body);

// The Range header's value for a get: "bytes=first-last", "bytes=first-" to the end, or empty
// for the whole object.
std::string range_header_value(uint64_t start_byte, uint64_t byte_count);

// Forwards the final headers to the caller's properties callback.
class properties_forwarder : public http_response_handler {
 public:
  properties_forwarder(const S3ResponseHandler *handler, void *callback_data)
      : handler_(handler), callback_data_(callback_data) {}
  S3Status on_headers(response_headers &headers) override;
  S3Status on_body(const char *, size_t) override { return S3StatusOK; }

 protected:
  const S3ResponseHandler *handler_;
  void *callback_data_;
};

// Keeps a success body whole, up to the XML document limit, for parsing once the exchange is
// over.
class document_collector : public properties_forwarder {
 public:
  using properties_forwarder::properties_forwarder;
  S3Status on_body(const char *data, size_t size) override;
  std::string body;
};

// An HTTP date ("Fri, 24 May 2013 00:00:00 GMT") for seconds since the epoch.
std::string http_date(int64_t epoch_seconds);

// Calls the complete callback once with the status and, when the service or the transport
// said why, the error details.
void complete_request(const S3ResponseHandler *handler, void *callback_data, S3Status status,
                      const http_result *result);

// Builds, performs and completes a request whose body the caller does not need beyond what
// `body_handler` does with it; `after` may turn a successful exchange into a failure (and
// fill the result's error document).
void run_request(request_plan plan, const S3ResponseHandler *handler, void *callback_data,
                 http_response_handler &body_handler,
                 const std::function<S3Status(http_result &)> &after = {});

// Runs a request whose body of `length` bytes the handler's data callback gives (PUT, UploadPart),
// unsigned as a payload: it is sent as it is read.
void run_upload(request_plan plan, uint64_t length, const S3PutObjectHandler *handler,
                void *callback_data);

}  // namespace vorlan_s3

#endif
