// The remove-directory command: removes a directory's placeholder object (the key followed by
// "/"), or a bucket for a path that names only a bucket. Objects below the directory stay, and
// keep the directory visible in listings; the service refuses a bucket that is not empty.
#include "vorlan_i_s3.h"

#include <cassert>

namespace {

struct rmdir_state {
  vorlan_i_s3_request_t request;
  std::string placeholder_key;  // the key and "/"; empty when the bucket is removed
};

S3Status vorlan_l_s3_rmdir_properties(const S3ResponseProperties *, void *) { return S3StatusOK; }

// A bare 404 means there was no placeholder to remove: the directory is gone either way. A
// NoSuchKey document is the service's own refusal and stays an error.
void vorlan_l_s3_rmdir_complete(S3Status status, const S3ErrorDetails *error_details, void *arg) {
  auto *state = static_cast<rmdir_state *>(arg);
  if (status == S3StatusHttpErrorNotFound) status = S3StatusOK;
  vorlan_i_s3_request_complete(&state->request, status, error_details, state->request.pathname);
}

void *vorlan_l_s3_rmdir_thread(void *arg) {
  auto *state = static_cast<rmdir_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  const char *func_name = __func__;
  vorlan_i_s3_request_t *request = &state->request;
  const S3BucketContext *context = &request->bucket_context;
  const void *op = request->op;
  static const S3ResponseHandler handler = {vorlan_l_s3_rmdir_properties,
                                            vorlan_l_s3_rmdir_complete};
  if (request->key != nullptr) {
    vorlan_i_s3_request_retry(func_name, request, "S3_delete_object", [&] {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                       "REST: op=%p S3_delete_object(bucket=%s, key=%s) try=%d\n", op,
                       request->bucket, state->placeholder_key.c_str(), request->try_count);
      S3_delete_object(context, state->placeholder_key.c_str(), nullptr, 0, &handler, state);
    });
  } else {
    vorlan_i_s3_request_retry(func_name, request, "S3_delete_bucket", [&] {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                       "REST: op=%p S3_delete_bucket(bucket=%s) try=%d\n", op, request->bucket,
                       request->try_count);
      S3_delete_bucket(context->protocol, context->uriStyle, context->accessKeyId,
                       context->secretAccessKey, context->securityToken, context->hostName,
                       context->bucketName, context->authRegion, nullptr, 0, &handler, state);
    });
  }
  vorlan_i_s3_command_finish(func_name, request->op, request->result.release(), nullptr);
  vorlan_i_s3_request_free(state);
  VORLAN_S3_TRACE_EXIT();
  return nullptr;
}

vorlan_result_t vorlan_l_s3_rmdir_prepare(rmdir_state *state) {
  vorlan_i_s3_key_trim_slashes(&state->request.key);
  if (state->request.key != nullptr) state->placeholder_key = std::string(state->request.key) + "/";
  return vorlan_i_s3_request_prepare(&state->request, false);
}

}  // namespace

void vorlan_i_s3_rmdir(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                       void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(cmd_info != NULL);
  const char *pathname = vorlan_i_s3_str(cmd_info->pathname);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "rmdir op=%p pathname=%s\n", static_cast<void *>(op),
                pathname);
  auto *s3_handle = static_cast<vorlan_i_s3_handle_t *>(session);
  assert(s3_handle != NULL);
  vorlan_i_s3_command_start<rmdir_state>(__func__, op, s3_handle, pathname, "rmdir", false,
                                         vorlan_l_s3_rmdir_thread, vorlan_l_s3_rmdir_prepare);
  VORLAN_S3_TRACE_EXIT();
}
