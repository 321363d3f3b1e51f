// One HTTP exchange on libcurl, synchronous on the calling thread: sends the request, hands
// the final response headers and a success body to the caller as they arrive, keeps an error
// body for parsing, and turns the outcome into one status.
#ifndef VORLAN_S3_HTTP_EXCHANGE_H
#define VORLAN_S3_HTTP_EXCHANGE_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "response_headers.h"
#include "vorlan/s3.h"
#include "xml_documents.h"

namespace vorlan_s3 {

struct http_request {
  std::string method = "GET";  // GET, HEAD, PUT, POST or DELETE
  std::string url;
  std::vector<std::string> headers;  // "Name: value", sent as given
  int timeout_ms = 0;                // whole exchange; 0 for none
  bool has_body = false;
  uint64_t body_length = 0;
  // Fills up to the given count; returns the count, 0 at the end, -1 to abort. Empty to send
  // fixed_body instead.
  std::function<int(char *, int)> pull_body;
  std::string fixed_body;
};

class http_response_handler {
 public:
  virtual ~http_response_handler() = default;
  // Once, when the final answer's headers are complete, for a 2xx answer only: an error
  // answer's headers describe the error, not the resource.
  virtual S3Status on_headers(response_headers &headers) = 0;
  // Pieces of a 2xx body as they arrive.
  virtual S3Status on_body(const char *data, size_t size) = 0;
};

struct http_result {
  S3Status status = S3StatusOK;
  long http_code = 0;  // 0 when no answer arrived
  bool has_error_document = false;
  error_document error;
  std::string transport_message;  // libcurl's description of a transport failure
  std::string bucket_region;      // x-amz-bucket-region of an error answer
  std::string content_range;      // an error answer's Content-Range ("bytes */SIZE" for 416)
};

http_result http_perform(const http_request &request, http_response_handler &handler);

}  // namespace vorlan_s3

#endif
