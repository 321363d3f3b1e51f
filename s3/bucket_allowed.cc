// Which buckets and paths a session may address.
#include "vorlan_i_s3.h"

#include <string_view>

namespace {

// The 550 PERMISSION_DENIED reply around `cause`, which it takes over.
vorlan_result_t vorlan_l_s3_permission_denied(vorlan_object_t *cause) {
  return vorlan_error_put(
      vorlan_gfs_ftp_response_error_construct(nullptr, cause, 550, "PERMISSION_DENIED", nullptr));
}

}  // namespace

// A macro, so that the cause records the function and line that refused.
#define VORLAN_L_S3_DENIED(text) \
  vorlan_l_s3_permission_denied( \
      VORLAN_S3_ERROR_OBJECT(nullptr, VORLAN_ERROR_TYPE_MODULE, "%s", text))

bool vorlan_i_s3_bucket_allowed(const char *bucket, char **allowed_buckets,
                                vorlan_result_t *result) {
  VORLAN_S3_TRACE_ENTER();
  bool allowed = allowed_buckets == nullptr;
  for (char **name = allowed_buckets; !allowed && *name != nullptr; ++name) {
    allowed = std::strcmp(*name, bucket) == 0;
  }
  if (result != nullptr) {
    *result = allowed ? VORLAN_SUCCESS : VORLAN_L_S3_DENIED("Vorlan-S3-Error: Bucket not allowed.");
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit: %d\n", allowed);
  return allowed;
}

bool vorlan_i_s3_bucket_name_is_plain(const char *bucket) {
  std::string_view name(bucket);
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c <= 0x20 || c == 0x7f || std::strchr("/?#@:%\\", c) != nullptr) return false;
  }
  return true;
}

vorlan_result_t vorlan_i_s3_path_check(const char *pathname, const char *bucket) {
  if (!vorlan_i_s3_bucket_name_is_plain(bucket)) {
    return VORLAN_L_S3_DENIED("Vorlan-S3-Error: Bucket name not allowed.");
  }
  std::string_view rest(pathname);
  while (!rest.empty()) {
    size_t end = rest.find('/');
    std::string_view segment = rest.substr(0, end);
    if (segment == "." || segment == "..") {
      return VORLAN_L_S3_DENIED("Vorlan-S3-Error: Path not allowed.");
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return VORLAN_SUCCESS;
}
