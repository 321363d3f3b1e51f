// The S3 client library's calls wrapped for tests: each runs one request and returns what the
// callbacks saw, copied out (status, properties, error details, body, listing).
#ifndef VORLAN_TESTS_S3_SYNC_CALLS_H
#define VORLAN_TESTS_S3_SYNC_CALLS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vorlan/s3.h"

namespace vorlan::test {

// Where and as whom; context() borrows these strings, so keep the target alive.
struct S3Target {
  std::string host = "", bucket = "";
  S3UriStyle style = S3UriStylePath;
  std::string access_key_id = "", secret_access_key = "", security_token = "", region = "";
  S3BucketContext context() const;
};

struct S3CallResult {
  S3Status status = S3StatusInternalError;
  int complete_calls = 0;
  // Properties.
  int properties_calls = 0;
  std::string content_type, etag, bucket_region;
  uint64_t content_length = 0;
  bool content_length_known = false;
  std::map<std::string, std::string> metadata;
  // Error details.
  std::string message;
  std::map<std::string, std::string> extra;
  // Get.
  std::string data;
  // Listings (all pages the call saw) and the service listing.
  std::vector<std::string> keys, buckets;
  // Multipart: the created upload's id; the keys of listed uploads go to keys.
  std::string upload_id;
};

struct S3GetOptions {
  uint64_t start = 0, count = 0;
  // After this many body bytes the data callback answers `abort_status`.
  std::optional<uint64_t> abort_after = std::nullopt;
  S3Status abort_status = S3StatusAbortedByCallback;
  // The properties callback answers this.
  S3Status properties_answer = S3StatusOK;
};

struct S3PutOptions {
  std::optional<uint64_t> declared_length{};  // default: data.size()
  // The data callback returns -1 once this many bytes were supplied.
  std::optional<uint64_t> fail_after{};
  const S3PutProperties *properties = nullptr;
};

constexpr int kS3TestTimeoutMs = 60000;

S3CallResult s3_head(const S3Target &target, const char *key);
S3CallResult s3_get(const S3Target &target, const char *key, const S3GetOptions &options = {});
S3CallResult s3_put(const S3Target &target, const char *key, const std::string &data,
                    const S3PutOptions &options = {});
S3CallResult s3_copy(const S3Target &target, const char *key, const char *destination_bucket,
                     const char *destination_key, const S3PutProperties *properties = nullptr);
S3CallResult s3_delete(const S3Target &target, const char *key);
// The list callback answers `list_answer`.
S3CallResult s3_list(const S3Target &target, const char *prefix, const char *marker,
                     const char *delimiter, int max_keys, S3Status list_answer = S3StatusOK);
S3CallResult s3_create_bucket(const S3Target &target, const char *location = nullptr);
S3CallResult s3_delete_bucket(const S3Target &target);
S3CallResult s3_list_service(const S3Target &target);
// Multipart uploads; a part's ETag and the completed object's come back in etag.
S3CallResult s3_initiate(const S3Target &target, const char *key,
                         const S3PutProperties *properties = nullptr);
S3CallResult s3_upload_part(const S3Target &target, const char *key, const std::string &upload_id,
                            int number, const std::string &data, const char *md5 = nullptr,
                            const char *crc32c = nullptr);
S3CallResult s3_complete(const S3Target &target, const char *key, const std::string &upload_id,
                         const std::vector<S3CompletedPart> &parts);
S3CallResult s3_abort(const S3Target &target, const char *key, const std::string &upload_id);
S3CallResult s3_list_uploads(const S3Target &target, const char *prefix = nullptr);

}  // namespace vorlan::test

#endif  // VORLAN_TESTS_S3_SYNC_CALLS_H
