// The rename command. The service has no rename: the object is copied to its new name, then
// the old name is deleted, both with the source bucket's context and tied to the version read.
// Source and destination may lie in different allowed buckets; only single objects move.
#include "vorlan_i_s3.h"

#include <cassert>

namespace {

struct rename_state {
  vorlan_i_s3_request_t request;  // the source: its pathname names the path in every error
  std::string to_path;            // the destination, split in place
  std::string to_pathname;        // the destination as named, for errors
  char *to_bucket = nullptr;
  char *to_key = nullptr;
  std::string etag, generation;  // the source's version as the last HEAD found it
  bool copied = false;
};

// The source's version changed under the rename: before the copy, nothing moved; after it, the
// newer version stays at the source beside the copy of the older one.
vorlan_result_t vorlan_l_s3_rename_changed(const rename_state *state) {
  const char *from = state->request.pathname;
  const char *to = state->to_pathname.c_str();
  if (!state->copied) {
    return VORLAN_S3_ERROR("Object \"%s\" kept changing during the rename to \"%s\": not moved",
                           from, to);
  }
  return VORLAN_S3_ERROR(
      "Object \"%s\" changed during the rename to \"%s\": both objects now exist, \"%s\" holding "
      "the newer version and \"%s\" the one copied",
      from, to, from, to);
}

S3Status vorlan_l_s3_rename_properties(const S3ResponseProperties *, void *) { return S3StatusOK; }

S3Status vorlan_l_s3_rename_version(const S3ResponseProperties *properties, void *arg) {
  auto *state = static_cast<rename_state *>(arg);
  state->etag = vorlan_i_s3_str(properties->eTag);
  state->generation = vorlan_i_s3_str(properties->generation);
  return S3StatusOK;
}

// A refused precondition means the source is no longer the version the rename read.
void vorlan_l_s3_rename_complete(S3Status status, const S3ErrorDetails *error_details, void *arg) {
  auto *state = static_cast<rename_state *>(arg);
  if (status == S3StatusErrorPreconditionFailed) {
    state->request.status = status;
    state->request.result.reset(vorlan_l_s3_rename_changed(state));
    return;
  }
  vorlan_i_s3_request_complete(&state->request, status, error_details, state->request.pathname);
}

// Reads the source's ETag and generation. True when the source is gone and `gone_ok`: the HEAD
// then succeeds.
bool vorlan_l_s3_rename_head(const char *func_name, rename_state *state, bool gone_ok) {
  static const S3ResponseHandler handler = {vorlan_l_s3_rename_version,
                                            vorlan_l_s3_rename_complete};
  vorlan_i_s3_request_t *request = &state->request;
  state->etag.clear();
  state->generation.clear();
  request->try_count = 0;
  vorlan_i_s3_request_retry(func_name, request, "S3_head_object", [&] {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                     "REST: op=%p S3_head_object(bucket=%s, key=%s) try=%d\n", request->op,
                     request->bucket, request->key, request->try_count);
    S3_head_object(&request->bucket_context, request->key, nullptr, 0, &handler, state);
  });
  if (!gone_ok ||
      (request->status != S3StatusErrorNoSuchKey && request->status != S3StatusHttpErrorNotFound)) {
    return false;
  }
  request->result.reset();
  return true;
}

// The copy reads the version a HEAD found, and the delete removes only that version: Google
// Cloud checks the generation on both; elsewhere the copy checks the ETag, and the source is
// read again right before the delete (which also asks for the ETag, where the service checks it).
void *vorlan_l_s3_rename_thread(void *arg) {
  auto *state = static_cast<rename_state *>(arg);
  assert(state != NULL);
  VORLAN_S3_TRACE_ENTER();
  const char *func_name = __func__;
  vorlan_i_s3_request_t *request = &state->request;
  const void *op = request->op;
  static const S3ResponseHandler handler = {vorlan_l_s3_rename_properties,
                                            vorlan_l_s3_rename_complete};
  std::string etag, generation;
  S3VersionCondition read{};
  bool by_generation = false;
  // A source replaced between its HEAD and its copy is read again, a few times at most.
  for (int round = 0; round < 3; ++round) {
    vorlan_l_s3_rename_head(func_name, state, false);
    if (request->result != VORLAN_SUCCESS) break;
    etag = state->etag;
    generation = state->generation;
    read = {etag.empty() ? nullptr : etag.c_str(),
            generation.empty() ? nullptr : generation.c_str()};
    by_generation = read.generation != nullptr && S3_google_dialect(&request->bucket_context);
    request->try_count = 0;
    vorlan_i_s3_request_retry(func_name, request, "S3_copy_object", [&] {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                       "REST: op=%p S3_copy_object(from_bucket=%s, from_key=%s, to_bucket=%s, "
                       "to_key=%s) try=%d\n",
                       op, request->bucket, request->key, state->to_bucket, state->to_key,
                       request->try_count);
      S3_copy_object_if(&request->bucket_context, request->key, state->to_bucket, state->to_key,
                        &read, nullptr, nullptr, 0, nullptr, nullptr, 0, &handler, state);
    });
    if (request->status != S3StatusErrorPreconditionFailed) break;
  }
  // The source goes only once its copy is certainly stored; a failed delete leaves both.
  state->copied = request->result == VORLAN_SUCCESS;
  bool gone = false;
  if (state->copied && !by_generation) {
    // Gone already (deleted by another client): the copy is all that is left to keep.
    gone = vorlan_l_s3_rename_head(func_name, state, true);
    if (request->result == VORLAN_SUCCESS && !gone &&
        (state->etag != etag || state->generation != generation)) {
      request->result.reset(vorlan_l_s3_rename_changed(state));
    }
  }
  if (request->result == VORLAN_SUCCESS && !gone) {
    request->try_count = 0;
    vorlan_i_s3_request_retry(func_name, request, "S3_delete_object", [&] {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                       "REST: op=%p S3_delete_object(bucket=%s, key=%s) try=%d\n", op,
                       request->bucket, request->key, request->try_count);
      S3_delete_object_if(&request->bucket_context, request->key, &read, nullptr, 0, &handler,
                          state);
    });
  }
  vorlan_i_s3_command_finish(func_name, request->op, request->result.release(), nullptr);
  vorlan_i_s3_request_free(state);
  VORLAN_S3_TRACE_EXIT();
  return nullptr;
}

// The paths name one object when they split alike (b/x and /b/x): a copy onto itself followed
// by the delete would remove the only copy.
vorlan_result_t vorlan_l_s3_rename_prepare(rename_state *state, const char *to_pathname) {
  vorlan_i_s3_request_t *request = &state->request;
  state->to_path = to_pathname;
  state->to_pathname = to_pathname;
  vorlan_i_s3_path_parse(state->to_path.data(), &state->to_bucket, &state->to_key);
  const bool same_key = request->key != nullptr && state->to_key != nullptr &&
                        std::strcmp(request->key, state->to_key) == 0;
  if (std::strcmp(request->pathname, to_pathname) == 0 ||
      (same_key && std::strcmp(request->bucket, state->to_bucket) == 0)) {
    return vorlan_error_put(vorlan_gfs_ftp_response_error_construct(
        nullptr, nullptr, 553, "PATH_EXISTS", "GridFTP-Path: %s", to_pathname));
  }
  // Only files move: a key ending in "/" names a directory, and its placeholder would move alone.
  if (!vorlan_i_s3_key_names_object(request->key)) {
    return VORLAN_S3_ERROR("%s", "Invalid source filename");
  }
  if (!vorlan_i_s3_key_names_object(state->to_key)) {
    return VORLAN_S3_ERROR("%s", "Invalid destination filename");
  }
  vorlan_result_t result = vorlan_i_s3_path_check(to_pathname, state->to_bucket);
  if (result == VORLAN_SUCCESS) {
    vorlan_i_s3_bucket_allowed(state->to_bucket, request->s3_handle->allowed_buckets, &result);
  }
  if (result != VORLAN_SUCCESS) return result;
  return vorlan_i_s3_request_prepare(request, false);
}

}  // namespace

void vorlan_i_s3_rename(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                        void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(cmd_info != NULL);
  const char *from_pathname = vorlan_i_s3_str(cmd_info->from_pathname);
  const char *pathname = vorlan_i_s3_str(cmd_info->pathname);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "rename: op=%p from_pathname=%s pathname=%s\n",
                static_cast<void *>(op), from_pathname, pathname);
  auto *s3_handle = static_cast<vorlan_i_s3_handle_t *>(session);
  assert(s3_handle != NULL);
  vorlan_i_s3_command_start<rename_state>(
      __func__, op, s3_handle, from_pathname, "rename", false, vorlan_l_s3_rename_thread,
      [pathname](rename_state *state) { return vorlan_l_s3_rename_prepare(state, pathname); });
  VORLAN_S3_TRACE_EXIT();
}
