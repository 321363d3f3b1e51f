// A bucket's own stat: does it exist, and may it be read. One listing request of at most one
// key answers both.
#include "vorlan_i_s3.h"

namespace {

S3Status vorlan_l_s3_stat_bucket_properties(const S3ResponseProperties *, void *) {
  VORLAN_S3_TRACE_ENTER();
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit status=%d: %s\n", S3StatusOK,
                S3_get_status_name(S3StatusOK));
  return S3StatusOK;
}

S3Status vorlan_l_s3_stat_bucket_dir_callback(int, const char *, int, const S3ListBucketContent *,
                                              int, const char **, void *) {
  VORLAN_S3_TRACE_ENTER();
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit status=%d: %s\n", S3StatusOK,
                S3_get_status_name(S3StatusOK));
  return S3StatusOK;
}

void vorlan_l_s3_stat_bucket_complete(S3Status status, const S3ErrorDetails *details, void *data) {
  vorlan_i_s3_stat_fail(static_cast<stat_state *>(data), status, details);
}

}  // namespace

void vorlan_i_s3_stat_bucket(stat_state *state) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_i_s3_request_t &request = state->request;
  const S3ListBucketHandler handler = {
      {vorlan_l_s3_stat_bucket_properties, vorlan_l_s3_stat_bucket_complete},
      vorlan_l_s3_stat_bucket_dir_callback};
  vorlan_i_s3_stat_retry(__func__, state, "S3_list_bucket", [&] {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "vorlan_i_s3_stat_bucket",
                     "REST: op=%p S3_list_bucket(bucket=%s) try=%d\n",
                     static_cast<void *>(request.op), request.bucket, request.try_count);
    S3_list_bucket(&request.bucket_context, nullptr, nullptr, "/", 1, nullptr, 0, &handler, state);
  });
  if (request.result == VORLAN_SUCCESS) {
    const int32_t hash = vorlan_i_s3_stat_hash(request.bucket);
    const vorlan_gfs_stat_t dot =
        vorlan_i_s3_stat_record(vorlan_i_s3_stat_dir_mode, ".", hash, hash);
    vorlan_i_s3_stat_add(state, &dot);
  }
  VORLAN_S3_TRACE_EXIT();
}
