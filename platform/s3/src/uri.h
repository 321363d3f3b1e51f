// Request addressing: percent-encoding, the checks that keep a bucket name or host from
// changing where a request goes, and the host, path and query a request is sent to.
#ifndef VORLAN_S3_URI_H
#define VORLAN_S3_URI_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorlan/s3.h"

namespace vorlan_s3 {

// RFC 3986 percent-encoding: every byte except A-Z a-z 0-9 - . _ ~ (and '/' when keep_slash)
// becomes %XX with upper-case hex digits. This is also the encoding Signature V4 signs.
std::string uri_encode(std::string_view text, bool keep_slash);

// S3StatusOK when the bucket name can only name a bucket: the path-style rules refuse what
// could alter the URL (empty, "." or "..", / ? # @ : % white space or control bytes); the
// virtual-host rules also require a plain host label (letters, digits, '-', '_', '.').
S3Status check_bucket_name(const char *bucket, S3UriStyle style);

// S3StatusOK for a host name, optionally with ":port", that cannot carry user information,
// a path or a query into the URL.
S3Status check_host_name(std::string_view host);

using query_params = std::vector<std::pair<std::string, std::string>>;

struct request_target {
  std::string host;   // as sent in the Host header and signed, port included
  std::string path;   // encoded, sent exactly as built
  std::string query;  // encoded and sorted by name: both the sent and the signed form
  std::string url(S3Protocol protocol) const;
};

// Builds where a request goes. A null bucket addresses the service; a null key the bucket. A
// key needs a bucket and at least one byte.
// Query parameters with empty values are sent as "name=".
S3Status build_request_target(S3UriStyle style, std::string_view host, const char *bucket,
                              const char *key, const query_params &query, request_target *target);

}  // namespace vorlan_s3

#endif
