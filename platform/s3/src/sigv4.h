// AWS Signature Version 4 for S3 requests signed in the Authorization header.
#ifndef VORLAN_S3_SIGV4_H
#define VORLAN_S3_SIGV4_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorlan_s3 {

// Hex SHA-256 of the empty payload, sent for requests without a body.
inline constexpr std::string_view kEmptyPayloadSha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
// Payload hash of a streamed body whose bytes are not known when the headers are signed.
inline constexpr std::string_view kUnsignedPayload = "UNSIGNED-PAYLOAD";

struct signing_input {
  std::string_view method;
  std::string_view canonical_uri;    // the path as sent (already encoded)
  std::string_view canonical_query;  // the query as sent (encoded, sorted by name)
  // The headers to sign, names in any case; values are trimmed and inner runs of blanks
  // collapsed as the canonical form requires. Must include host and x-amz-date.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string_view payload_hash;
  std::string_view access_key_id;
  std::string_view secret_access_key;
  std::string_view region;
  std::string_view amz_date;  // "YYYYMMDDTHHMMSSZ"
};

std::string sha256_hex(std::string_view data);

// "YYYYMMDDTHHMMSSZ" for seconds since the epoch (UTC).
std::string amz_date(int64_t epoch_seconds);

std::string sigv4_canonical_request(const signing_input &input);

// The Authorization header's value: "AWS4-HMAC-SHA256 Credential=...,SignedHeaders=...,
// Signature=...".
std::string sigv4_authorization(const signing_input &input);

}  // namespace vorlan_s3

#endif
