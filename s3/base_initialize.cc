// The part of session start every kind of session shares: the handle's signing region and the
// S3 client library's set-up for its host.
#include "vorlan_i_s3.h"

#include <cstdlib>
#include <cstring>

vorlan_result_t vorlan_i_s3_base_initialize(vorlan_i_s3_handle_t *handle, int flags) {
  VORLAN_S3_TRACE_ENTER();
  // An AWS host signs for its own region; otherwise the session's region set before this
  // call stays, and the configured default stands in for none.
  const char *table_region = vorlan_i_host_to_region(handle->host_name);
  const char *chosen = table_region;
  if (chosen == nullptr && handle->region == nullptr) chosen = vorlan_i_s3_default_region;
  if (chosen != nullptr) {
    // A region lost to a failed copy would sign every request for the wrong region.
    char *region = strdup(chosen);
    if (region == nullptr) {
      vorlan_result_t result = vorlan_i_s3_malloc_error();
      VORLAN_S3_LOG_RESULT(result);
      return result;
    }
    std::free(handle->region);
    handle->region = region;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "initializing to use host: %s%s%s\n",
                vorlan_i_s3_str(handle->host_name), handle->region ? " and region: " : "",
                vorlan_i_s3_str(handle->region));

  int init_flags = S3_INIT_ALL;
  if (handle->protocol == S3ProtocolHTTPS && vorlan_i_s3_verify_peer) {
    init_flags = S3_INIT_ALL | S3_INIT_VERIFY_PEER;
  }
  init_flags |= flags;
  const S3Status status = S3_initialize(nullptr, init_flags, handle->host_name);
  if (status != S3StatusOK) {
    vorlan_result_t result =
        vorlan_error_put(vorlan_i_S3Error_to_error(status, "initialization", nullptr));
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_ERROR, "S3_initialize returns: %d", status);
    VORLAN_S3_LOG_RESULT(result);
    return result;
  }
  handle->s3_initialized = true;
  VORLAN_S3_LOG_RESULT(VORLAN_SUCCESS);
  return VORLAN_SUCCESS;
}
