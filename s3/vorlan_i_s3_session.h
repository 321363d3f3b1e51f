// A client session: its handle (who owns it and what its `lock` guards: see
// vorlan_i_s3_handle_t), the key pair it signs with, the host's per-session documents, the
// bucket allow-list and the checks every path passes, and the bucket context a request is
// built on, which its request owns. The region cache has a lock of its own.
#ifndef VORLAN_I_S3_SESSION_H
#define VORLAN_I_S3_SESSION_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "vorlan_i_s3_base.h"

// The key pair a request signs with. Both texts borrow from the session handle.
typedef struct vorlan_i_s3_key_pair_s {
  const char *key_id;
  const char *secret_key;
} vorlan_i_s3_key_pair_t;

struct vorlan_i_s3_handle_t;

// Keeps the session's token fresh for the request begun with `op`, asking the host through
// `op` (never through another request's operation). Called with the handle's `lock` held.
typedef vorlan_result_t (*vorlan_i_s3_refresh_credentials_t)(vorlan_i_s3_handle_t *handle,
                                                             vorlan_gfs_operation_t op);

// One per client session: made with new by session start, owned by the host until it passes
// the handle to vorlan_i_s3_destroy. Everything is fixed after session start except the token
// fields and current_op, which only change with `lock` held. Requests never keep pointers to
// the token: each bucket context takes its own copy under the lock.
struct vorlan_i_s3_handle_t {
  uint32_t protocol = S3ProtocolHTTPS;
  uint32_t uri_style = S3UriStylePath;
  char *host_name = nullptr;  // owned
  // Owned, may be null: the token document's key pair, which signs every request with
  // Signature V4, else the collection's project as key_id and no secret. Both change only with
  // `lock` held (a renewal may bring another pair); texts they held stay in retired_keys until
  // the handle goes, so a request's context may borrow them without the lock.
  char *key_id = nullptr;
  char *secret_key = nullptr;
  char *project = nullptr;  // owned, may be null: the collection policies' "project"
  // Owned, may be null: the project billed for requester-pays buckets, from the collection
  // policies' "user_project", else the user_project setting.
  char *user_project = nullptr;
  std::vector<vorlan_i_s3_text_ptr> retired_keys;
  char *security_token = nullptr;  // the same string as access_token, never freed on its own
  // Owned; this session's signing region, fixed at session start.
  char *region = nullptr;
  char **allowed_buckets = nullptr;  // owned, null-terminated; null means every bucket
  vorlan_i_s3_refresh_credentials_t refresh_credentials = nullptr;
  vorlan_gfs_operation_t current_op = nullptr;  // the request most recently begun
  bool gcloud = false;
  char *token_subject = nullptr;  // owned, may be null
  char *access_token = nullptr;   // owned, may be null
  int64_t token_expiry = 0;       // seconds since the epoch, 0 until a token is read
  vorlan_i_s3_key_pair_t default_key_pair = {nullptr, nullptr};
  // This session's S3_initialize, to be matched by S3_deinitialize when the session ends.
  bool s3_initialized = false;
  // Guards access_token, security_token, token_subject, token_expiry, current_op, key_id,
  // secret_key, default_key_pair and retired_keys.
  std::mutex lock;
};

// Sets the handle's region (an AWS host's own, else the one already there, else the configured
// default) and initialises the S3 client library for its host.
vorlan_result_t vorlan_i_s3_base_initialize(vorlan_i_s3_handle_t *handle, int flags);

// Ends a session: the storage interface's session-destroy slot.
void vorlan_i_s3_destroy(void *session);

// The "config" and "collection-policies" documents; nothing is stored on failure. The policies
// give the project and, when `user_project` is given, the requester-pays project.
vorlan_result_t vorlan_i_s3_config_parse_buckets(void *json, const char *text, const char *member,
                                                 char ***buckets);
vorlan_result_t vorlan_i_s3_config_parse_json_project(const char *text, char **project,
                                                      char **user_project = nullptr);
// Frees a null-terminated list from vorlan_i_s3_config_parse_buckets; null is ignored.
void vorlan_i_s3_free_bucket_list(char **buckets);

// Always success; the texts of *key_pair stay valid for the life of the handle.
vorlan_result_t vorlan_i_s3_get_key_pair(vorlan_i_s3_handle_t *handle, const char *bucket,
                                         const char *path, vorlan_i_s3_key_pair_t *key_pair);

// True when `bucket` may be used: a null list allows every bucket, an empty one none. With
// `result`, stores success or the 550 PERMISSION_DENIED refusal.
bool vorlan_i_s3_bucket_allowed(const char *bucket, char **allowed_buckets,
                                vorlan_result_t *result);
// A bucket name that cannot change a URL's host or structure: not empty, not "." or "..", and
// free of "/?#@:%", blanks and control characters.
bool vorlan_i_s3_bucket_name_is_plain(const char *bucket);
// Refuses, with the 550 PERMISSION_DENIED reply error, a path with a "." or ".." segment or a
// bucket name that is not plain, so that no normalisation can move a request elsewhere.
vorlan_result_t vorlan_i_s3_path_check(const char *pathname, const char *bucket);

const char *vorlan_i_host_to_region(const char *host_name);

// Fills *context for a request begun with `op` on `bucket` of `pathname` (the request's full
// path): path check, allow-list check, token renewal, key pair, and for AWS endpoints the
// bucket's own regional endpoint. securityToken is the context's own copy, released with
// vorlan_i_s3_bucket_context_release; the other strings borrow from the handle, the bucket
// argument or the constant region table. Sets the handle's current_op to `op`.
vorlan_result_t vorlan_i_s3_bucket_context(vorlan_i_s3_handle_t *handle, vorlan_gfs_operation_t op,
                                           const char *pathname, const char *bucket,
                                           S3BucketContext *context);
// Fills *context for `bucket` straight from the session: its host, protocol, addressing style
// and region, the key pair's credentials, and `token`, which the context then owns.
void vorlan_i_s3_session_context(const vorlan_i_s3_handle_t *handle, const char *bucket,
                                 const vorlan_i_s3_key_pair_t *key_pair, char *token,
                                 S3BucketContext *context);
// Frees what the context owns (its token copy) and clears it. Safe on a zeroed context.
void vorlan_i_s3_bucket_context_release(S3BucketContext *context);
// A copy of the session's current token, without renewal, for contexts built without a bucket
// (root listing, bucket creation). *token may be null; the caller frees it.
vorlan_result_t vorlan_i_s3_copy_security_token(vorlan_i_s3_handle_t *handle, char **token);
// Forgets the cached bucket region.
void vorlan_i_s3_region_cache_clear();

void vorlan_i_s3_path_parse(char *path, char **bucket, char **key);

// Drops a key's trailing slashes, which name nothing but the key without them (as in
// listings); a key left empty becomes null, the bucket itself.
void vorlan_i_s3_key_trim_slashes(char **key);

#endif  // VORLAN_I_S3_SESSION_H
