// Session start: builds the session handle from the settings and the host's per-session
// documents, initialises the S3 client library for the session's endpoint and reads the
// first access token.
#include "vorlan_i_gcloud.h"
#include "vorlan_i_s3.h"

#include <cstdlib>
#include <memory>

namespace {

vorlan_i_s3_text_ptr vorlan_l_get_document(vorlan_gfs_operation_t op, const char *key) {
  char *text = nullptr;
  vorlan_gridftp_server_get_config_data(op, key, &text);
  return vorlan_i_s3_text_ptr(text);
}

vorlan_result_t vorlan_l_gcloud_fill_handle(vorlan_i_s3_handle_t *handle,
                                            vorlan_gfs_operation_t op) {
  handle->protocol = vorlan_i_s3_https ? S3ProtocolHTTPS : S3ProtocolHTTP;
  handle->uri_style = vorlan_i_s3_use_virtual_host ? S3UriStyleVirtualHost : S3UriStylePath;
  if (vorlan_i_s3_default_hostname != nullptr) {
    handle->host_name = strdup(vorlan_i_s3_default_hostname);
    if (handle->host_name == nullptr) return vorlan_i_s3_malloc_error();
  }
  handle->refresh_credentials = vorlan_i_gcloud_token_refresh;
  handle->current_op = op;
  handle->gcloud = true;

  if (vorlan_i_s3_text_ptr config = vorlan_l_get_document(op, "config")) {
    vorlan_result_t result = vorlan_i_s3_config_parse_buckets(nullptr, config.get(), "buckets",
                                                              &handle->allowed_buckets);
    if (result != VORLAN_SUCCESS) return result;
  }
  if (vorlan_i_s3_text_ptr policies = vorlan_l_get_document(op, "collection-policies")) {
    vorlan_result_t result = vorlan_i_s3_config_parse_json_project(policies.get(), &handle->project,
                                                                   &handle->user_project);
    if (result != VORLAN_SUCCESS) return result;
  }
  if (handle->user_project == nullptr && vorlan_i_s3_user_project != nullptr &&
      (handle->user_project = strdup(vorlan_i_s3_user_project)) == nullptr) {
    return vorlan_i_s3_malloc_error();
  }
  // The session's own location, so a later session with another one never changes where
  // this one's requests sign.
  if (vorlan_i_s3_gcloud_bucket_location != nullptr &&
      (handle->region = strdup(vorlan_i_s3_gcloud_bucket_location)) == nullptr) {
    return vorlan_i_s3_malloc_error();
  }

  vorlan_result_t result = vorlan_i_s3_base_initialize(handle, S3_INIT_SIGNATURE_V4);
  if (result != VORLAN_SUCCESS) return result;

  std::lock_guard<std::mutex> guard(handle->lock);
  handle->security_token = handle->access_token;
  // The first token document decides between a key pair and the project as the key id.
  result = handle->refresh_credentials(handle, op);
  if (result == VORLAN_SUCCESS && handle->secret_key == nullptr && handle->project != nullptr &&
      (handle->key_id = strdup(handle->project)) == nullptr) {
    result = vorlan_i_s3_malloc_error();
  }
  handle->default_key_pair = {handle->key_id, handle->secret_key};
  return result;
}

}  // namespace

void vorlan_i_gcloud_start(vorlan_gfs_operation_t op, vorlan_gfs_session_info_t *session_info) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = VORLAN_SUCCESS;
  auto *handle = new (std::nothrow) vorlan_i_s3_handle_t;
  if (handle == nullptr) {
    result = vorlan_i_s3_malloc_error();
  } else {
    try {
      result = vorlan_l_gcloud_fill_handle(handle, op);
    } catch (const std::bad_alloc &) {
      result = vorlan_i_s3_malloc_error();
    }
  }
  if (result != VORLAN_SUCCESS) {
    vorlan_i_s3_destroy(handle);
    VORLAN_S3_LOG_RESULT(result);
    vorlan_gridftp_server_finished_session_start(op, result, nullptr, "ERROR", "/");
    return;
  }
  const char *username = session_info != nullptr ? session_info->username : nullptr;
  VORLAN_S3_LOG_RESULT(VORLAN_SUCCESS);
  vorlan_gridftp_server_finished_session_start(op, VORLAN_SUCCESS, handle, username, "/");
}
