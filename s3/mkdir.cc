// The make-directory command. A directory inside a bucket is an empty placeholder object whose
// key is the directory's key followed by "/"; a path that names only a bucket creates the
// bucket.
#include "vorlan_i_s3.h"

#include <cassert>

namespace {

constexpr const char *vorlan_l_s3_placeholder_type = "application/x-vorlan-dir-placeholder";

struct mkdir_state {
  vorlan_i_s3_request_t request;
  std::string placeholder_key;  // the key and "/"; empty when the bucket is made
};

S3Status vorlan_l_s3_mkdir_properties(const S3ResponseProperties *, void *) { return S3StatusOK; }

void vorlan_l_s3_mkdir_complete(S3Status status, const S3ErrorDetails *error_details, void *arg) {
  auto *state = static_cast<mkdir_state *>(arg);
  if (status == S3StatusOK || state->request.result != VORLAN_SUCCESS) return;
  state->request.status = status;
  // A failed bucket creation names no path.
  const char *path = state->request.key != nullptr ? state->placeholder_key.c_str() : nullptr;
  state->request.result.reset(
      vorlan_error_put(vorlan_i_S3Error_to_error(status, path, error_details)));
}

// The placeholder has no bytes.
int vorlan_l_s3_mkdir_data_callback(int, char *, void *) { return 0; }

void *vorlan_l_s3_mkdir_thread(void *arg) {
  auto *state = static_cast<mkdir_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  const char *func_name = __func__;
  vorlan_i_s3_request_t *request = &state->request;
  const S3BucketContext *context = &request->bucket_context;
  const void *op = request->op;
  if (request->key != nullptr) {
    S3PutProperties properties{};
    properties.contentType = vorlan_l_s3_placeholder_type;
    properties.expires = -1;
    static const S3PutObjectHandler handler = {
        {vorlan_l_s3_mkdir_properties, vorlan_l_s3_mkdir_complete},
        vorlan_l_s3_mkdir_data_callback};
    vorlan_i_s3_request_retry(func_name, request, "S3_put_object", [&] {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                       "REST: op=%p S3_put_object(bucket=%s, key=%s) try=%d\n", op, request->bucket,
                       state->placeholder_key.c_str(), request->try_count);
      S3_put_object(context, state->placeholder_key.c_str(), 0, &properties, nullptr, 0, &handler,
                    state);
    });
  } else {
    static const S3ResponseHandler handler = {vorlan_l_s3_mkdir_properties,
                                              vorlan_l_s3_mkdir_complete};
    vorlan_i_s3_request_retry(func_name, request, "S3_create_bucket", [&] {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                       "REST: op=%p S3_create_bucket(bucket=%s) try=%d\n", op, request->bucket,
                       request->try_count);
      // The session's region is the new bucket's location.
      S3_create_bucket(context->protocol, context->accessKeyId, context->secretAccessKey,
                       context->securityToken, context->hostName, context->bucketName,
                       context->authRegion, S3CannedAclPrivate, context->authRegion, nullptr, 0,
                       &handler, state);
    });
  }
  vorlan_i_s3_command_finish(func_name, request->op, request->result.release(), request->pathname);
  vorlan_i_s3_request_free(state);
  VORLAN_S3_TRACE_EXIT();
  return nullptr;
}

// A bucket about to be created has no region to look up, and its creation renews no token:
// the context is the session's own, after the same path and allow-list checks.
vorlan_result_t vorlan_l_s3_mkdir_bucket_context(vorlan_i_s3_request_t *request) {
  vorlan_i_s3_handle_t *s3_handle = request->s3_handle;
  vorlan_result_t result = vorlan_i_s3_path_check(request->pathname, request->bucket);
  if (result == VORLAN_SUCCESS) {
    vorlan_i_s3_bucket_allowed(request->bucket, s3_handle->allowed_buckets, &result);
  }
  if (result != VORLAN_SUCCESS) return result;
  vorlan_i_s3_key_pair_t key_pair{};
  result = vorlan_i_s3_get_key_pair(s3_handle, request->bucket, request->pathname, &key_pair);
  if (result != VORLAN_SUCCESS) return result;
  char *token = nullptr;
  result = vorlan_i_s3_copy_security_token(s3_handle, &token);
  if (result != VORLAN_SUCCESS) return result;
  vorlan_i_s3_session_context(s3_handle, request->bucket, &key_pair, token,
                              &request->bucket_context);
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_l_s3_mkdir_prepare(mkdir_state *state) {
  vorlan_i_s3_request_t *request = &state->request;
  vorlan_i_s3_key_trim_slashes(&request->key);
  if (request->key == nullptr) {
    {
      std::lock_guard<std::mutex> guard(request->s3_handle->lock);
      request->s3_handle->current_op = request->op;
    }
    return vorlan_l_s3_mkdir_bucket_context(request);
  }
  state->placeholder_key = std::string(request->key) + "/";
  return vorlan_i_s3_request_prepare(request, false);
}

}  // namespace

void vorlan_i_s3_mkdir(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                       void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(cmd_info != NULL);
  const char *pathname = vorlan_i_s3_str(cmd_info->pathname);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "mkdir: op=%p pathname=%s\n", static_cast<void *>(op),
                pathname);
  auto *s3_handle = static_cast<vorlan_i_s3_handle_t *>(session);
  assert(s3_handle != NULL);
  vorlan_i_s3_command_start<mkdir_state>(__func__, op, s3_handle, pathname, "mkdir", true,
                                         vorlan_l_s3_mkdir_thread, vorlan_l_s3_mkdir_prepare);
  VORLAN_S3_TRACE_EXIT();
}
