// The listing of "/" through the service's list of the account's buckets.
#include "vorlan_i_s3.h"

namespace {

S3Status vorlan_l_s3_stat_properties(const S3ResponseProperties *, void *) { return S3StatusOK; }

// A denial is not the listing's failure: the root is then listed without buckets.
void vorlan_l_s3_stat_complete(S3Status status, const S3ErrorDetails *details, void *data) {
  auto *state = static_cast<stat_state *>(data);
  if (status == S3StatusErrorAccessDenied) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "S3StatusErrorAccessDenied when listing buckets\n");
    state->request.status = S3StatusErrorInvalidArgument;
    return;
  }
  if (status != S3StatusOK && state->request.result == VORLAN_SUCCESS) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "S3 Status is an error %d, but result is successful\n",
                  status);
  }
  vorlan_i_s3_stat_fail(state, status, details);
}

S3Status vorlan_l_s3_stat_list_service(const char *, const char *, const char *bucket_name,
                                       int64_t creation_date, void *data) {
  auto *state = static_cast<stat_state *>(data);
  if (!vorlan_i_s3_bucket_allowed(bucket_name, state->request.s3_handle->allowed_buckets,
                                  nullptr)) {
    return S3StatusOK;
  }
  const int32_t hash = vorlan_i_s3_stat_hash(bucket_name);
  vorlan_gfs_stat_t bucket =
      vorlan_i_s3_stat_record(vorlan_i_s3_stat_dir_mode, bucket_name, hash, hash);
  bucket.ctime = creation_date;
  try {
    vorlan_i_s3_stat_hold(state, &bucket);
  } catch (const std::bad_alloc &) {
    return vorlan_i_s3_stat_out_of_memory(state);
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "Inserting bucket |%s|\n", bucket_name);
  return S3StatusOK;
}

// A Google Cloud session whose policies named no project has no account to list.
void vorlan_l_s3_stat_refuse_listing(stat_state *state) {
  const S3ErrorDetails details = {"Bucket listing is not allowed on this collection", nullptr,
                                  "Known buckets may be accessed directly via /bucketname/", 0,
                                  nullptr};
  state->request.result.reset(
      vorlan_error_put(vorlan_i_S3Error_to_error(S3StatusErrorAccessDenied, "/", &details)));
  state->request.status = S3StatusErrorInvalidArgument;
}

}  // namespace

void vorlan_i_s3_stat_list_buckets(stat_state *state) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_i_s3_request_t &request = state->request;
  const S3BucketContext &context = request.bucket_context;
  request.try_count = 0;
  if (request.s3_handle->gcloud &&
      (context.accessKeyId == nullptr || *context.accessKeyId == '\0')) {
    vorlan_l_s3_stat_refuse_listing(state);
    VORLAN_S3_TRACE_EXIT();
    return;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "Adding the listing root entry\n");
  const vorlan_gfs_stat_t root =
      vorlan_i_s3_stat_record(vorlan_i_s3_stat_dir_mode, ".", 0, vorlan_i_s3_stat_hash("/"));
  vorlan_i_s3_stat_add(state, &root);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "Root listing added\n");

  const S3ListServiceHandler handler = {{vorlan_l_s3_stat_properties, vorlan_l_s3_stat_complete},
                                        vorlan_l_s3_stat_list_service};
  vorlan_i_s3_stat_retry(__func__, state, "S3_list_service", [&] {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "vorlan_i_s3_stat_list_buckets",
                     "REST: op=%p S3_list_service() try=%d\n", static_cast<void *>(request.op),
                     request.try_count);
    S3_list_service(context.protocol, context.accessKeyId, context.secretAccessKey,
                    context.securityToken, context.hostName, context.authRegion, nullptr, 0,
                    &handler, state);
  });
  // Only a denial reaches here with a status but no error; any other failure is returned.
  if (request.status != S3StatusOK && request.result == VORLAN_SUCCESS) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_ERROR,
                  "Directory listing had an error. The user credetials likely could not list S3 "
                  "buckets\n");
    vorlan_gfs_log_message(VORLAN_GFS_LOG_WARN,
                           "Directory listing had an error. The user credetials likely could not "
                           "list S3 buckets %d\n",
                           request.status);
    request.status = S3StatusOK;
  }
  VORLAN_S3_TRACE_EXIT();
}
