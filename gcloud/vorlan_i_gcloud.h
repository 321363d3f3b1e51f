// The Google Cloud side of a session: session start and the access token it reads through the
// host. A token is read and stored with the session handle's `lock` held.
#ifndef VORLAN_I_GCLOUD_H
#define VORLAN_I_GCLOUD_H

#include <vorlan/vorlan_common.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <cstdint>
#include <ctime>

#include "vorlan_i_s3_session.h"

// The storage interface's session-start slot: builds the handle from the settings and the
// host's per-session documents, initialises the S3 client library and reads the first token.
void vorlan_i_gcloud_start(vorlan_gfs_operation_t op, vorlan_gfs_session_info_t *session_info);

// Session start's token reader: the handle's refresh_credentials.
vorlan_result_t vorlan_i_gcloud_token_refresh(vorlan_i_s3_handle_t *handle,
                                              vorlan_gfs_operation_t op);
vorlan_result_t vorlan_gcloud_update_token(vorlan_i_s3_handle_t *handle, vorlan_gfs_operation_t op);
// What a token document gives: an OAuth access token with its expiry and subject
// ("access_token", "token_expiry", "sub"), an HMAC key pair ("access_key_id",
// "secret_access_key"), or both. A document with a key pair may leave out the others; without
// an expiry its credentials never expire (expiry is then INT64_MAX).
struct vorlan_i_gcloud_credentials_t {
  vorlan_i_s3_text_ptr subject;
  vorlan_i_s3_text_ptr token;
  vorlan_i_s3_text_ptr key_id;
  vorlan_i_s3_text_ptr secret;
  int64_t expiry = 0;
};
// Reads a token document; on failure *credentials is left as it was.
vorlan_result_t vorlan_i_gcloud_parse_token(const char *text,
                                            vorlan_i_gcloud_credentials_t *credentials);
vorlan_result_t vorlan_i_gcloud_parse_date(const char *text, time_t *time);

#endif  // VORLAN_I_GCLOUD_H
