// The response headers of one HTTP answer, turned into the response properties.
#ifndef VORLAN_S3_RESPONSE_HEADERS_H
#define VORLAN_S3_RESPONSE_HEADERS_H

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorlan/s3.h"

namespace vorlan_s3 {

// True for an ETag (quotes and a weak prefix allowed) that is 32 hex digits, the form an MD5
// of the object takes.
bool etag_is_md5(std::string_view etag);

// Seconds since the epoch for an HTTP date (RFC 1123 and the older forms), -1 if unreadable.
int64_t parse_http_date(std::string_view text);

// A 206 answer's "bytes first-last/total"; total is absent when the answer says "*".
struct content_range_value {
  uint64_t first = 0;
  uint64_t last = 0;
  std::optional<uint64_t> total;
};

// Reads "bytes first-last/total" (or ".../*"); false for any other form or last before first.
bool parse_content_range(std::string_view text, content_range_value *range);

class response_headers {
 public:
  // Takes one header line as received ("Name: value\r\n"); a status line starts a new answer,
  // so only the headers of the final answer remain.
  void add_line(std::string_view line);

  long http_code() const { return http_code_; }
  std::optional<uint64_t> content_length() const { return content_length_; }
  // The body's end is marked in the stream itself (Transfer-Encoding: chunked).
  bool chunked() const { return chunked_; }
  // The whole object's size as the answer states it (see S3ResponseProperties.objectSize).
  std::optional<uint64_t> object_size() const;
  std::optional<std::string_view> content_range() const;
  std::optional<std::string_view> bucket_region() const;

  // Valid while this object lives and no further line is added.
  const S3ResponseProperties &properties();

 private:
  void reset();
  void add_field(std::string_view name, std::string_view value);
  void add_goog_hash(std::string_view value);

  long http_code_ = 0;
  std::optional<uint64_t> content_length_;
  std::optional<uint64_t> stored_length_;
  bool chunked_ = false;
  std::optional<std::string> request_id_, request_id2_, content_type_, server_, etag_,
      bucket_region_, content_range_;
  // x-goog-hash's items, else x-amz-checksum-crc32c for crc32c: the first of each name wins.
  std::optional<std::string> crc32c_, md5_base64_, storage_class_, restore_, generation_;
  int64_t last_modified_ = -1;
  bool sse_s3_ = false;
  bool sse_other_ = false;
  std::deque<std::string> meta_texts_;  // stable addresses for the name/value pointers
  std::vector<S3NameValue> meta_;
  S3ResponseProperties properties_{};
};

}  // namespace vorlan_s3

#endif
