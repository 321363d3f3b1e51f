// The stat entry point: classifies a request into one of six kinds, prepares its record and
// bucket context, and runs the kind's worker on a thread that reports the final batch.
#include "vorlan_i_s3.h"

#include <cassert>

namespace {

void (*const vorlan_l_s3_stat_workers[])(stat_state *) = {
    vorlan_i_s3_stat_root,
    vorlan_i_s3_stat_bucket,
    vorlan_i_s3_stat_object,
    vorlan_i_s3_stat_list_buckets,
    vorlan_i_s3_stat_list_buckets_anon,
    vorlan_i_s3_stat_list_objects,
};

void *vorlan_l_s3_stat_thread(void *arg) {
  auto *state = static_cast<stat_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  try {
    vorlan_l_s3_stat_workers[state->stat_kind](state);
  } catch (const std::bad_alloc &) {
    vorlan_i_s3_stat_out_of_memory(state);
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "Finished stat. Count is %d\n",
                static_cast<int>(state->stat_count));
  // The records not sent yet travel with the final report, whatever the result.
  vorlan_gridftp_server_finished_stat(state->request.op, state->request.result.release(),
                                      state->stats, static_cast<int>(state->stat_count));
  vorlan_i_s3_request_free(state);
  VORLAN_S3_TRACE_EXIT();
  return nullptr;
}

// A key's trailing slashes name nothing but the key without them; an empty key then means
// the bucket. The pathname drops them too, so entries and errors name one path.
void vorlan_l_s3_stat_trim(vorlan_i_s3_request_t *request) {
  if (request->key != nullptr) {
    size_t length = std::strlen(request->key);
    while (length > 0 && request->key[length - 1] == '/') request->key[--length] = '\0';
    if (length == 0) request->key = nullptr;
  }
  if (*request->bucket == '\0') return;
  size_t length = std::strlen(request->pathname);
  while (length > 1 && request->pathname[length - 1] == '/') request->pathname[--length] = '\0';
}

// The root-level kinds address no bucket: no allow-list check and no token renewal, the
// session's token as it is.
vorlan_result_t vorlan_l_s3_stat_root_context(stat_state *state, bool file_only) {
  vorlan_i_s3_request_t &request = state->request;
  vorlan_i_s3_handle_t *handle = request.s3_handle;
  {
    std::lock_guard<std::mutex> guard(handle->lock);
    handle->current_op = request.op;
  }
  vorlan_i_s3_key_pair_t key_pair{};
  vorlan_result_t result =
      vorlan_i_s3_get_key_pair(handle, request.bucket, request.pathname, &key_pair);
  if (result != VORLAN_SUCCESS) return result;
  char *token = nullptr;
  result = vorlan_i_s3_copy_security_token(handle, &token);
  if (result != VORLAN_SUCCESS) return result;
  if (file_only) {
    state->stat_kind = VORLAN_S3_STAT_ROOT;
  } else if (handle->allowed_buckets == nullptr &&
             (key_pair.secret_key != nullptr || token != nullptr)) {
    state->stat_kind = VORLAN_S3_STAT_LIST_BUCKETS;
  } else {
    state->stat_kind = VORLAN_S3_STAT_LIST_BUCKETS_ANON;
  }
  vorlan_i_s3_session_context(handle, request.bucket, &key_pair, token, &request.bucket_context);
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_l_s3_stat_prepare(stat_state *state) {
  vorlan_l_s3_stat_trim(&state->request);
  const bool file_only = state->stat_info->file_only != VORLAN_FALSE;
  if (*state->request.bucket == '\0') return vorlan_l_s3_stat_root_context(state, file_only);
  if (!file_only) {
    state->stat_kind = VORLAN_S3_STAT_LIST_OBJECTS;
  } else {
    state->stat_kind =
        state->request.key != nullptr ? VORLAN_S3_STAT_OBJECT : VORLAN_S3_STAT_BUCKET;
  }
  return vorlan_i_s3_request_prepare(&state->request, false);
}

}  // namespace

void vorlan_i_s3_stat(vorlan_gfs_operation_t op, vorlan_gfs_stat_info_t *stat_info, void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(stat_info != NULL);
  auto *handle = static_cast<vorlan_i_s3_handle_t *>(session);
  assert(handle != NULL);
  const char *pathname = vorlan_i_s3_str(stat_info->pathname);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "command=stat path=%s file_only=%s\n", pathname,
                stat_info->file_only ? "true" : "false");

  auto *state = vorlan_i_s3_request_new<stat_state>(op, handle, pathname, "stat");
  vorlan_result_t result = VORLAN_SUCCESS;
  if (state == nullptr) {
    result = vorlan_i_s3_malloc_error();
  } else {
    state->stat_info = stat_info;
    result = vorlan_l_s3_stat_prepare(state);
    if (result == VORLAN_SUCCESS)
      result = vorlan_i_s3_request_start(vorlan_l_s3_stat_thread, state);
  }
  if (result != VORLAN_SUCCESS) {
    vorlan_gridftp_server_finished_stat(op, result, nullptr, 0);
    vorlan_i_s3_request_free(state);
  }
  VORLAN_S3_TRACE_EXIT();
}
