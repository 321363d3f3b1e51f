// Incremental MD5 states: one per transfer or checksum command that hashes its bytes.
//
// MD5_Init/MD5_Update/MD5_Final are deprecated in OpenSSL 3 but remain the interface we hash
// with; the header's MD5_CTX member ties the state to them.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "vorlan_i_s3.h"

#include <cstdio>
#include <cstdlib>

vorlan_result_t vorlan_i_s3_checksum_init(md5_state **state) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = VORLAN_SUCCESS;
  auto *new_state = static_cast<md5_state *>(calloc(1, sizeof(md5_state)));
  if (new_state != nullptr && MD5_Init(&new_state->md5_context) != 1) {
    free(new_state);
    new_state = nullptr;
  }
  if (new_state == nullptr) {
    result = vorlan_i_s3_malloc_error();
  }
  *state = new_state;
  VORLAN_S3_TRACE_EXIT();
  return result;
}

vorlan_result_t vorlan_i_s3_checksum_update(md5_state *state, const void *data, size_t length) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = VORLAN_SUCCESS;
  if (MD5_Update(&state->md5_context, data, length) != 1) {
    result = VORLAN_S3_ERROR("%s", "checksum update error");
  }
  state->byte_count += length;
  VORLAN_S3_TRACE_EXIT();
  return result;
}

vorlan_result_t vorlan_i_s3_checksum_finalize(md5_state *state) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = VORLAN_SUCCESS;
  unsigned char digest[MD5_DIGEST_LENGTH];
  if (MD5_Final(digest, &state->md5_context) != 1) {
    result = VORLAN_S3_ERROR("%s", "Can not finalize checksum.");
  } else {
    for (size_t i = 0; i < MD5_DIGEST_LENGTH; i++) {
      snprintf(state->md5sum + 2 * i, 3, "%.2x", digest[i]);
    }
  }
  VORLAN_S3_TRACE_EXIT();
  return result;
}

void vorlan_i_s3_checksum_free(md5_state **state) {
  VORLAN_S3_TRACE_ENTER();
  if (state != nullptr) {
    free(*state);
    *state = nullptr;
  }
  VORLAN_S3_TRACE_EXIT();
}
