// Session destroy: releases the session handle and all it owns.
#include "vorlan_i_s3.h"

#include <cstdlib>

void vorlan_i_s3_destroy(void *session) {
  auto *handle = static_cast<vorlan_i_s3_handle_t *>(session);
  if (handle == nullptr) return;
  VORLAN_S3_TRACE_ENTER();
  std::free(handle->key_id);
  std::free(handle->secret_key);
  std::free(handle->project);
  std::free(handle->user_project);
  // security_token is the same string as access_token.
  std::free(handle->access_token);
  std::free(handle->token_subject);
  std::free(handle->host_name);
  std::free(handle->region);
  vorlan_i_s3_free_bucket_list(handle->allowed_buckets);
  // Each session's library initialisation is matched here, so the library's count returns to
  // what it was before the session.
  if (handle->s3_initialized) S3_deinitialize();
  delete handle;
}
