// The delete command: removes the object a path names. A path without a key, or whose key names
// a directory (ends in "/"), is refused before anything is sent, and only the service's success
// counts: a missing object is an error where the service says so.
#include "vorlan_i_s3.h"

#include <cassert>

namespace {

struct delete_state {
  vorlan_i_s3_request_t request;
};

S3Status vorlan_l_s3_delete_properties(const S3ResponseProperties *, void *) { return S3StatusOK; }

void vorlan_l_s3_delete_complete(S3Status status, const S3ErrorDetails *error_details, void *arg) {
  vorlan_i_s3_request_complete(&static_cast<delete_state *>(arg)->request, status, error_details,
                               nullptr);
}

void *vorlan_l_s3_delete_thread(void *arg) {
  auto *state = static_cast<delete_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  const char *func_name = __func__;
  vorlan_i_s3_request_t *request = &state->request;
  assert(request->key != NULL);
  static const S3ResponseHandler handler = {vorlan_l_s3_delete_properties,
                                            vorlan_l_s3_delete_complete};
  vorlan_i_s3_request_retry(func_name, request, "S3_delete_object", [&] {
    VORLAN_S3_LOG_AS(
        VORLAN_S3_DEBUG_INFO, func_name, "REST: op=%p S3_delete_object(bucket=%s, key=%s) try=%d\n",
        static_cast<void *>(request->op), request->bucket, request->key, request->try_count);
    S3_delete_object(&request->bucket_context, request->key, nullptr, 0, &handler, state);
  });
  vorlan_i_s3_command_finish(func_name, request->op, request->result.release(), request->pathname);
  vorlan_i_s3_request_free(state);
  VORLAN_S3_TRACE_EXIT();
  return nullptr;
}

}  // namespace

void vorlan_i_s3_delete(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                        void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(cmd_info != NULL);
  const char *pathname = vorlan_i_s3_str(cmd_info->pathname);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "delete: op=%p pathname=%s\n", static_cast<void *>(op),
                pathname);
  auto *s3_handle = static_cast<vorlan_i_s3_handle_t *>(session);
  assert(s3_handle != NULL);
  vorlan_i_s3_command_start<delete_state>(
      __func__, op, s3_handle, pathname, "delete", true, vorlan_l_s3_delete_thread,
      [](delete_state *state) { return vorlan_i_s3_request_prepare(&state->request, true); });
  VORLAN_S3_TRACE_EXIT();
}
