// Shared types, settings and the diagnostic log of the storage core and the Google Cloud
// module. Everything here is internal to the module's shared object.
#ifndef VORLAN_I_S3_H
#define VORLAN_I_S3_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <openssl/md5.h>

#include "vorlan_i_s3_error.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Diagnostic log.

enum : uint32_t {
  VORLAN_S3_DEBUG_TRACE = 1,
  VORLAN_S3_DEBUG_INFO = 2,
  VORLAN_S3_DEBUG_DEBUG = 4,
  VORLAN_S3_DEBUG_WARN = 8,
  VORLAN_S3_DEBUG_ERROR = 16,
};

extern vorlan_debug_handle_t vorlan_i_VORLAN_S3_debug_handle;
// Indexed by level bit value; entries that are not a level are null.
extern const char *const vorlan_i_s3_debug_level_names[17];

void vorlan_i_VORLAN_S3_debug_printf(const char *format, ...) VORLAN_PRINTF_FORMAT(1, 2);
void vorlan_i_VORLAN_S3_debug_time_printf(const char *format, ...) VORLAN_PRINTF_FORMAT(1, 2);

// One logical log line: the prefix write, then the message write, each in the level's form.
#define VORLAN_S3_LOG_AS(level, func_name, ...)                                                   \
  do {                                                                                            \
    if (vorlan_i_VORLAN_S3_debug_handle.levels & (level)) {                                       \
      if (vorlan_i_VORLAN_S3_debug_handle.timestamp_levels & (level)) {                           \
        vorlan_i_VORLAN_S3_debug_time_printf(                                                     \
            "s3: %5s: %s: ", vorlan_i_s3_debug_level_names[(level)], vorlan_i_s3_str(func_name)); \
      } else {                                                                                    \
        vorlan_i_VORLAN_S3_debug_printf("s3: %5s: %s: ", vorlan_i_s3_debug_level_names[(level)],  \
                                        vorlan_i_s3_str(func_name));                              \
      }                                                                                           \
    }                                                                                             \
    if (vorlan_i_VORLAN_S3_debug_handle.levels & (level)) {                                       \
      if (vorlan_i_VORLAN_S3_debug_handle.timestamp_levels & (level)) {                           \
        vorlan_i_VORLAN_S3_debug_time_printf(__VA_ARGS__);                                        \
      } else {                                                                                    \
        vorlan_i_VORLAN_S3_debug_printf(__VA_ARGS__);                                             \
      }                                                                                           \
    }                                                                                             \
  } while (0)

#define VORLAN_S3_LOG(level, ...) VORLAN_S3_LOG_AS(level, __func__, __VA_ARGS__)
#define VORLAN_S3_TRACE_ENTER() VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "enter\n")
#define VORLAN_S3_TRACE_EXIT() VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit\n")

// Logs "result=VORLAN_SUCCESS\n" at TRACE or the standard failure line at ERROR for `result`.
void vorlan_i_s3_log_result(const char *func_name, vorlan_result_t result);
#define VORLAN_S3_LOG_RESULT(result) vorlan_i_s3_log_result(__func__, (result))
// Closes the log output the base module opened and turns the log off; safe to repeat. Base
// deactivation calls it, and so does the outer module after logging a failed activation.
void vorlan_i_s3_debug_close();

// A "%s" argument that is never null.
inline const char *vorlan_i_s3_str(const char *s) { return s ? s : ""; }

// Owners of C handles.
struct vorlan_i_s3_file_closer {
  void operator()(FILE *file) const { fclose(file); }
};
using vorlan_i_s3_file_ptr = std::unique_ptr<FILE, vorlan_i_s3_file_closer>;
struct vorlan_i_s3_text_free {
  void operator()(char *text) const { free(text); }
};
using vorlan_i_s3_text_ptr = std::unique_ptr<char, vorlan_i_s3_text_free>;
struct json_t;
struct vorlan_i_s3_json_release {
  void operator()(json_t *json) const;  // json_decref
};
using vorlan_i_s3_json_ptr = std::unique_ptr<json_t, vorlan_i_s3_json_release>;

// printf into an owned string; throws std::bad_alloc when memory runs out.
std::string vorlan_i_s3_format(const char *format, ...) VORLAN_PRINTF_FORMAT(1, 2);
std::string vorlan_i_s3_vformat(const char *format, va_list args) VORLAN_PRINTF_FORMAT(1, 0);

// Module records.

extern vorlan_module_descriptor_t vorlan_i_s3_base_module;

// Settings (configuration file).

extern char *vorlan_i_s3_default_hostname;
extern char *vorlan_i_s3_default_region;
extern char *vorlan_i_s3_mime_type_file;
extern bool vorlan_i_s3_https;
extern bool vorlan_i_s3_use_virtual_host;
extern bool vorlan_i_s3_verify_peer;
extern int32_t vorlan_i_s3_max_retries;
extern int32_t vorlan_i_s3_retry_delay_ms;
extern int64_t vorlan_i_s3_part_size;
extern int32_t vorlan_i_s3_restore_days;
extern char *vorlan_i_s3_restore_tier;
// A PEM file of certificate authorities trusted besides the system's; null for none.
extern char *vorlan_i_s3_ca_file;
extern char *vorlan_i_s3_gcloud_bucket_location;

// The storage service's default endpoint: Google Cloud Storage's XML interface.
#define VORLAN_S3_DEFAULT_HOSTNAME "storage.googleapis.com"

typedef enum {
  VORLAN_S3_CONFIG_STRING = 0,
  VORLAN_S3_CONFIG_BOOL = 1,
  VORLAN_S3_CONFIG_INT = 2,
  VORLAN_S3_CONFIG_LONG_LONG = 3,
} vorlan_i_s3_config_value_type_t;

typedef struct {
  vorlan_i_s3_config_value_type_t value_type;
  const char *name;
  char **string_value;
  bool *bool_value;
  int32_t *int_value;
  int64_t *long_long_value;
  bool required;
} vorlan_i_s3_config_key_t;

vorlan_result_t vorlan_i_s3_config_parse(const char *path, vorlan_i_s3_config_key_t *extra_keys);
// Frees the built-in string settings and restores every built-in setting to its initial value,
// so that a module activated again starts from the defaults. Module deactivation calls it.
void vorlan_i_s3_config_reset();

// MIME types.

// Values are records of one allocation: the extension (at most 30 characters) in a 32-byte
// field, then the type text.
extern vorlan_hashtable_t vorlan_i_s3_mime_extensions;
constexpr size_t vorlan_i_s3_mime_extension_field = 32;
vorlan_result_t vorlan_i_s3_mime_types_parse(const char *path);
const char *vorlan_i_s3_mime_type_get(const char *key);

// MD5 states and the checksum cache.

typedef struct md5_state {
  MD5_CTX md5_context;
  char md5sum[33];
  uint64_t byte_count;
} md5_state;

vorlan_result_t vorlan_i_s3_checksum_init(md5_state **state);
vorlan_result_t vorlan_i_s3_checksum_update(md5_state *state, const void *data, size_t length);
vorlan_result_t vorlan_i_s3_checksum_finalize(md5_state *state);
void vorlan_i_s3_checksum_free(md5_state **state);

// The cache forgets its oldest insertion beyond this many entries.
constexpr int vorlan_i_s3_checksum_cache_max_entries = 100000;

void vorlan_i_s3_checksum_cache_init();
void vorlan_i_s3_checksum_cache_destroy();
// `checksum` has room for at least 33 characters.
bool vorlan_i_s3_checksum_find(const char *bucket, const char *key, const char *etag, uint64_t size,
                               char *checksum);
vorlan_result_t vorlan_i_s3_checksum_add(const char *bucket, const char *key, const char *etag,
                                         uint64_t size, const char *checksum);
bool vorlan_i_s3_metadata_has_checksum(const S3ResponseProperties *properties);

// Storage-interface entry points (slots of the table registered as "google_cloud").

void vorlan_i_gcloud_start(vorlan_gfs_operation_t op, vorlan_gfs_session_info_t *session_info);
void vorlan_i_s3_destroy(void *session);
void vorlan_i_s3_send(vorlan_gfs_operation_t op, vorlan_gfs_transfer_info_t *transfer_info,
                      void *session);
vorlan_result_t vorlan_i_s3_recv(vorlan_gfs_operation_t op,
                                 vorlan_gfs_transfer_info_t *transfer_info, void *session);
void vorlan_i_s3_command(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                         void *session);
void vorlan_i_s3_stat(vorlan_gfs_operation_t op, vorlan_gfs_stat_info_t *stat_info, void *session);

// Sessions and requests.

#include <cstring>
#include <ctime>
#include <new>

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
  char *host_name = nullptr;       // owned
  char *key_id = nullptr;          // owned, may be null: the collection's project
  char *secret_key = nullptr;      // owned, always null in this module
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
  std::mutex lock;  // guards access_token, security_token, token_subject, token_expiry, current_op
};

// Sets the handle's region (an AWS host's own, else the one already there, else the configured
// default) and initialises the S3 client library for its host.
vorlan_result_t vorlan_i_s3_base_initialize(vorlan_i_s3_handle_t *handle, int flags);

// Session start's token reader: the handle's refresh_credentials.
vorlan_result_t vorlan_i_gcloud_token_refresh(vorlan_i_s3_handle_t *handle,
                                              vorlan_gfs_operation_t op);
vorlan_result_t vorlan_gcloud_update_token(vorlan_i_s3_handle_t *handle, vorlan_gfs_operation_t op);
// Reads a token document ({"access_token", "token_expiry", "sub"}); on success the caller frees
// *subject and *token, on failure nothing is stored.
vorlan_result_t vorlan_i_gcloud_parse_token(const char *text, char **subject, char **token,
                                            int64_t *expiry);
vorlan_result_t vorlan_i_gcloud_parse_date(const char *text, time_t *time);
// Seconds since the epoch; tests replace it to move time without sleeping.
extern time_t (*vorlan_i_gcloud_clock)();

// The "config" and "collection-policies" documents. Errors come from source file
// "config_parse"; nothing is stored on failure.
vorlan_result_t vorlan_i_s3_config_parse_buckets(void *json, const char *text, const char *member,
                                                 char ***buckets);
vorlan_result_t vorlan_i_s3_config_parse_json_project(const char *text, char **project);
// Frees a null-terminated list from vorlan_i_s3_config_parse_buckets; null is ignored.
void vorlan_i_s3_free_bucket_list(char **buckets);

// Always success; *key_pair stays valid for the life of the handle.
vorlan_result_t vorlan_i_s3_get_key_pair(vorlan_i_s3_handle_t *handle, const char *bucket,
                                         const char *path, vorlan_i_s3_key_pair_t **key_pair);

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
struct vorlan_i_s3_request_t;
// Before each attempt of `request`, on its worker: the bucket context's token replaced by a
// copy of the session's current one, renewed first when due if the request's start renews
// (renews_token). False, with the renewal's error as the request's result, when it failed.
[[nodiscard]] bool vorlan_i_s3_attempt_token(vorlan_i_s3_request_t *request);
// After the service refused the token the last attempt carried (401): unless another request
// renewed it already, the session's token counts as expired and is renewed through the
// request's operation; the context takes the session's token. True when the next attempt
// carries a token other than the refused one; false when it would carry none or the same, or
// when the renewal failed (its error then the request's result).
bool vorlan_i_s3_renew_refused_token(vorlan_i_s3_request_t *request);
// Where HeadBucket region lookups go instead of the AWS endpoint; null (the default) in
// production, a loopback address in tests.
extern const char *vorlan_i_s3_region_lookup_host;
// Forgets the cached bucket region.
void vorlan_i_s3_region_cache_clear();

void vorlan_i_s3_path_parse(char *path, char **bucket, char **key);

// Microseconds to wait before attempt `try_count` (0 for the first): the base delay doubled per
// retry, computed in 64 bits and capped at vorlan_i_s3_retry_delay_max_us.
constexpr int64_t vorlan_i_s3_retry_delay_max_us = int64_t{30} * 1000 * 1000;
int64_t vorlan_i_s3_retry_delay_us(int32_t try_count);
void vorlan_i_s3_retry_delay(int32_t try_count);
// How the retry delay sleeps; tests replace it.
extern void (*vorlan_i_s3_sleep_us)(unsigned long usec);

// Members every per-request record holds as its member `request`. bucket and key point into
// the split copy of the path in the record's own allocation; pathname is the unsplit copy.
struct vorlan_i_s3_request_t {
  vorlan_gfs_operation_t op;
  vorlan_i_s3_handle_t *s3_handle;
  S3BucketContext bucket_context;
  char *bucket;
  char *key;  // may be null
  int32_t try_count;
  S3Status status;
  // The request's failure; the worker hands it to the host with release().
  vorlan_i_s3_error result;
  const char *name;  // the request's name in errors, e.g. "delete"
  char *pathname;
  // Each attempt renews the session's token when due, as the request's start did: requests on a
  // bucket, not the root listing or a bucket's creation.
  bool renews_token;
  // A refused token (401) was met with a renewed one since the last attempt that succeeded.
  bool refused_token_renewed;
};

void vorlan_i_s3_request_init(vorlan_i_s3_request_t *request, vorlan_gfs_operation_t op,
                              vorlan_i_s3_handle_t *handle, const char *pathname, const char *name,
                              char *tail);
// Whether a key can name an object: a null or empty key addresses the bucket, and a key ending
// in "/" names a directory.
bool vorlan_i_s3_key_names_object(const char *key);
// The invalid-argument system error naming `request_name` for a key that names no object, else
// success. Every request that needs an object calls it.
vorlan_result_t vorlan_i_s3_require_key(const char *key, const char *request_name);
// The entry point's common steps after the record is made: for a request that needs an
// object, the key check; then the bucket context. Returns the first failure.
vorlan_result_t vorlan_i_s3_request_prepare(vorlan_i_s3_request_t *request, bool needs_key);
// Starts the worker thread and counts it as running until `thread_func` has returned (after
// releasing its record); a returned worker is joined by the next start or by the wait below.
// Every worker starts here: module deactivation waits for them. On failure nothing runs and
// the result is the type-6 "vorlan_thread_create" error (or the malloc error).
vorlan_result_t vorlan_i_s3_request_start(void *(*thread_func)(void *), void *record);
// Waits until no worker runs or `timeout_ms` has passed, joins every worker that has returned,
// and returns how many still run.
int vorlan_i_s3_workers_wait(int64_t timeout_ms);
// How long module deactivation waits for running workers; tests shorten it.
extern int64_t vorlan_i_s3_unload_wait_ms;
// A command's last step: logs "finished_command: op=%p result=%#x path=%s\n" at INFO under
// `func_name` (the caller's), or without " path=%s" when `path` is null, and reports the result
// to the host with no reply text.
void vorlan_i_s3_command_finish(const char *func_name, vorlan_gfs_operation_t op,
                                vorlan_result_t result, const char *path);
// The complete callback's common part: a failure is kept in status and result, as the error of
// vorlan_i_S3Error_to_error for `path` (null: "bucket/key").
void vorlan_i_s3_request_complete(vorlan_i_s3_request_t *request, S3Status status,
                                  const S3ErrorDetails *error_details, const char *path);
// After an attempt: logs a failure's status line for `call_name` under `func_name` (the
// worker's), and tells whether another attempt should follow (a retryable status and retries
// left), counting the attempt.
bool vorlan_i_s3_attempt_again(const char *func_name, vorlan_gfs_operation_t op,
                               const char *call_name, S3Status status, int32_t *try_count);
// The same for an attempt of `request` (its status and try count), where besides a refused
// token (401) is met once with a renewed one, without counting as a retry; after a success a
// later refusal may be met so again.
bool vorlan_i_s3_request_again(const char *func_name, vorlan_i_s3_request_t *request,
                               const char *call_name);

// Allocates a record with the path copies in the same allocation, value-initialised; null
// when memory runs out.
template <class Record>
Record *vorlan_i_s3_request_new(vorlan_gfs_operation_t op, vorlan_i_s3_handle_t *handle,
                                const char *pathname, const char *name) {
  const size_t length = std::strlen(pathname) + 1;
  void *memory = ::operator new(sizeof(Record) + 2 * length, std::nothrow);
  if (memory == nullptr) return nullptr;
  auto *record = new (memory) Record{};
  vorlan_i_s3_request_init(&record->request, op, handle, pathname, name,
                           reinterpret_cast<char *>(record + 1));
  return record;
}

template <class Record>
void vorlan_i_s3_request_free(Record *record) {
  if (record == nullptr) return;
  vorlan_i_s3_bucket_context_release(&record->request.bucket_context);
  record->~Record();
  ::operator delete(record);
}

// The worker's attempt loop, the one every request uses: `attempt` logs its "REST:" line and
// makes one blocking S3 call whose callbacks fill request->status and request->result. At most
// vorlan_i_s3_max_retries + 1 attempts (and one more for a refused token); a non-retryable
// status ends the loop at once. Each attempt takes the session's current token. The status
// lines are logged under `func_name`, the worker's own name.
template <class Attempt>
void vorlan_i_s3_request_retry(const char *func_name, vorlan_i_s3_request_t *request,
                               const char *call_name, Attempt &&attempt) {
  do {
    request->status = S3StatusOK;
    request->result.reset();
    vorlan_i_s3_retry_delay(request->try_count);
    if (!vorlan_i_s3_attempt_token(request)) return;
    attempt();
  } while (vorlan_i_s3_request_again(func_name, request, call_name));
}

// Data transfer.

// One pool buffer: this header, then buffer_size data bytes in the same allocation.
struct s3_buffer {
  uint64_t buffer_size;
  uint64_t buffer_used;
  int64_t offset;  // file offset of the first held byte, -1 while none is assigned
  s3_buffer *next;
  // Bytes at the front of the data area already handed on: the held bytes start after them,
  // so a partly sent block is not moved.
  uint64_t data_start;
  char *data() { return reinterpret_cast<char *>(this + 1); }
};

// A download or an upload. The worker thread owns the record; the host's completion callbacks
// and the S3 library's callbacks reach it under `lock`. Every list and counter below is guarded
// by `lock`; the worker releases it around every host call and S3 request, so a host that
// completes I/O at once on another thread never waits behind it.
struct transfer_state {
  vorlan_i_s3_request_t request;
  vorlan_gfs_transfer_info_t *transfer_info = nullptr;
  // Download: the offset of the next byte the service delivers. Upload: the offset of the next
  // byte handed to the service.
  uint64_t current_offset = 0;
  uint64_t range_start = 0;
  uint64_t expected_end = 0;
  bool read_to_end = false;
  bool eof = false;  // upload: the host reported the end of the data, or reading failed
  s3_buffer *registered_buffers = nullptr;
  s3_buffer *pending_buffers = nullptr;  // by file offset
  s3_buffer **pending_buffers_tail = &pending_buffers;
  s3_buffer *current_buffer = nullptr;
  s3_buffer *free_buffers = nullptr;
  vorlan_size_t block_size = 0;  // asked of the host once, before any I/O is registered
  int concurrency = 1;           // the host's optimal concurrency, at least 1
  // Registrations whose callback has not returned yet: the record lives until this is 0.
  int outstanding = 0;
  // The data channel's first failure. The attempt loop clears `request.result` before each
  // attempt; this stays, and wins over an S3 failure it caused.
  vorlan_i_s3_error channel_result;
  // Download: the range being read (range_end 0 when it runs to the end of the object), the
  // first byte the current attempt asked for and the object's size its answer announced (0 when
  // unstated), and whether it is the transfer's first range.
  uint64_t range_end = 0;
  uint64_t attempt_start = 0;
  uint64_t answer_end = 0;
  bool first_range = false;
  std::string etag;  // download: the ETag every later request is pinned to
  bool checksum_enabled = false;
  md5_state *file_checksum = nullptr;
  std::mutex lock;
  std::condition_variable cond;

  bool failed() const { return channel_result.failed(); }
};

// The entry points' common part: the record for the request `name`, the key check, the bucket
// context and the worker `thread_func`, which then owns the record. A failure is reported to
// the host at once (and returned, the host having taken it over).
vorlan_result_t vorlan_i_s3_transfer_start(vorlan_gfs_operation_t op,
                                           vorlan_gfs_transfer_info_t *transfer_info, void *session,
                                           const char *name, void *(*thread_func)(void *));

// The pool (caller holds `lock`). get returns the current buffer, making one current when there
// is none (null when memory runs out); release puts a buffer on the free list.
s3_buffer *vorlan_i_s3_buffer_get(transfer_state *transfer_state, uint64_t requested_size);
void vorlan_i_s3_buffer_release(transfer_state *transfer_state, s3_buffer *s3_buffer);
int32_t vorlan_i_s3_buffer_count(const s3_buffer *first);
// Unlinks and returns the buffer of `list` whose data area is `data`; null when none is.
s3_buffer *vorlan_i_s3_buffer_unlink(s3_buffer **list, const void *data);
// Frees every buffer of the list and empties it.
void vorlan_i_s3_buffer_free_list(s3_buffer **list);
// Opens an attempt of a transfer's own attempt loop (outside the transfer's lock): status and
// result cleared, the back-off for try_count, the session's current token taken, and the "REST:"
// line for `call_name` logged under `func_name`, the worker's name. False when no attempt may
// be made (the token's renewal failed; its error is the request's result).
[[nodiscard]] bool vorlan_i_s3_transfer_attempt_begin(const char *func_name,
                                                      vorlan_i_s3_request_t *request,
                                                      const char *call_name);
// Takes over `result` as a data-channel failure; the first one stays in channel_result.
void vorlan_i_s3_transfer_fail(transfer_state *transfer_state, vorlan_result_t result);
// Undoes a registration the host refused (lock held): the buffer leaves the registered list
// for the free list, and `result` fails the transfer.
void vorlan_i_s3_transfer_refused(transfer_state *transfer_state, s3_buffer *buffer,
                                  vorlan_result_t result);
// Waits, with `guard` holding the transfer's lock, until no registration is outstanding, then
// logs "finished_transfer" under `func_name` (the worker's), reports `result` with
// vorlan_gridftp_server_finished_transfer and releases the record with all its buffers.
void vorlan_i_s3_transfer_finish(const char *func_name, transfer_state *transfer_state,
                                 std::unique_lock<std::mutex> &guard, vorlan_result_t result);

// An upload whose size was not announced (alloc_size 0) is held whole until the end of its
// data, then put with its exact length; it may hold at most this many bytes.
constexpr uint64_t vorlan_i_s3_recv_unknown_size_max = uint64_t{64} * 1024 * 1024;

vorlan_result_t vorlan_i_s3_recv_single(vorlan_gfs_operation_t op,
                                        vorlan_gfs_transfer_info_t *transfer_info, void *session);
// Takes a completed read's block (lock held): queued by offset (joined to the block before it
// when it continues it and fits), or released with the reason the upload must end: the read's
// own failure, data beyond the announced size (errno 27) or, with no size announced, beyond
// vorlan_i_s3_recv_unknown_size_max, or bytes that overlap data already sent or queued.
vorlan_result_t vorlan_i_s3_recv_accept_block(transfer_state *transfer_state,
                                              vorlan_result_t result, s3_buffer *block);
bool vorlan_i_s3_recv_is_transfer_offset_ready(const transfer_state *transfer_state);
bool vorlan_i_s3_recv_is_reading_complete(const transfer_state *transfer_state);
// Turns a 32-digit hexadecimal MD5 into its 24-character base64 form; `out` has room for 25.
vorlan_result_t vorlan_i_s3_md5sum_encode(const char *md5sum, char *out);
// Commands (make directory, remove directory, delete, rename, checksum), each in its own file.

void vorlan_i_s3_mkdir(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                       void *session);
void vorlan_i_s3_rmdir(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                       void *session);
void vorlan_i_s3_delete(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                        void *session);
void vorlan_i_s3_rename(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                        void *session);
void vorlan_i_s3_checksum(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                          void *session);

// Drops a key's trailing slashes, which name nothing but the key without them (as in
// listings); a key left empty becomes null, the bucket itself.
void vorlan_i_s3_key_trim_slashes(char **key);
// Seconds on a clock that never goes back; the checksum's progress replies are timed by it.
// Tests replace it.
extern int64_t (*vorlan_i_s3_checksum_clock)();

// A command entry point's common part: the record for `pathname`, `prepare` (the key checks
// and the bucket context), then the worker `thread_func`, which owns the record from then on.
// A failure is reported at once, its finishing line naming the path when `names_path`.
template <class Record, class Prepare>
void vorlan_i_s3_command_start(const char *func_name, vorlan_gfs_operation_t op,
                               vorlan_i_s3_handle_t *s3_handle, const char *pathname,
                               const char *name, bool names_path, void *(*thread_func)(void *),
                               Prepare &&prepare) {
  auto *record = vorlan_i_s3_request_new<Record>(op, s3_handle, pathname, name);
  vorlan_result_t result = record == nullptr ? vorlan_i_s3_malloc_error() : VORLAN_SUCCESS;
  try {
    if (result == VORLAN_SUCCESS) result = prepare(record);
  } catch (const std::bad_alloc &) {
    result = vorlan_i_s3_malloc_error();
  }
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_request_start(thread_func, record);
  if (result == VORLAN_SUCCESS) return;
  vorlan_i_s3_command_finish(func_name, op, result, names_path ? pathname : nullptr);
  vorlan_i_s3_request_free(record);
}

// Stat requests.

// Records a stat request gathers before handing them to the host as one partial report.
constexpr uint64_t vorlan_i_s3_stat_batch = 32;
// drwx------ and -rwx------: every directory and file the module reports.
constexpr uint32_t vorlan_i_s3_stat_dir_mode = 0x41C0;
constexpr uint32_t vorlan_i_s3_stat_file_mode = 0x81C0;

enum : uint32_t {
  VORLAN_S3_STAT_ROOT = 0,
  VORLAN_S3_STAT_BUCKET = 1,
  VORLAN_S3_STAT_OBJECT = 2,
  VORLAN_S3_STAT_LIST_BUCKETS = 3,
  VORLAN_S3_STAT_LIST_BUCKETS_ANON = 4,
  VORLAN_S3_STAT_LIST_OBJECTS = 5,
};

// A record found by an attempt that has not succeeded yet; it owns its name.
struct vorlan_i_s3_held_stat_t {
  vorlan_gfs_stat_t stat;
  std::string name;
};

// One stat request, owned by its worker thread once started. The key never ends in "/": a
// path's trailing slashes are dropped, so /b/ is the bucket b and /b/d/ is /b/d.
struct stat_state {
  vorlan_i_s3_request_t request;
  vorlan_gfs_stat_info_t *stat_info;  // the host's, valid until the final report
  uint32_t stat_kind;
  bool dir_found;  // a "." for the listed directory has reached the batch
  vorlan_gfs_stat_t stats[vorlan_i_s3_stat_batch];
  std::string stat_names[vorlan_i_s3_stat_batch];  // the names stats[] point at
  uint64_t stat_count;
  // The continuation marker the current page gave; empty when the listing is complete.
  std::string next_marker;
  // What the current attempt found, added only once its request has succeeded, so that a
  // retried request never reports a name twice. At most one page of records.
  std::vector<vorlan_i_s3_held_stat_t> held;
  bool dot_held;  // held has the "." of the listed directory
};

// Appends a copy of `stat` (its name copied too); a full batch goes to the host at once.
void vorlan_i_s3_stat_add(stat_state *state, const vorlan_gfs_stat_t *stat);
// Keeps a copy of `stat` for the current attempt; is_dot marks the directory's own ".".
void vorlan_i_s3_stat_hold(stat_state *state, const vorlan_gfs_stat_t *stat, bool is_dot = false);
// Holds the listed directory's own "." (dev from the bucket, ino from `ino_text` followed by
// `ino_suffix`) unless one was found already. A callback returns what it returns.
S3Status vorlan_i_s3_stat_hold_dot(stat_state *state, const char *ino_text,
                                   const char *ino_suffix = "");
// A record with what all entries share: link count 1, no link target, owner 0, size 0, times
// unknown; dev and ino as given.
vorlan_gfs_stat_t vorlan_i_s3_stat_record(uint32_t mode, const char *name, int32_t dev,
                                          int32_t ino);
// The string hash behind dev and ino.
int32_t vorlan_i_s3_stat_hash(const char *text);
// A complete callback's common part: a failure is recorded, as the error for the request's
// path, unless an earlier one was.
void vorlan_i_s3_stat_fail(stat_state *state, S3Status status, const S3ErrorDetails *details);
// A callback's answer to running out of memory: the request fails with the malloc error.
S3Status vorlan_i_s3_stat_out_of_memory(stat_state *state);
// Sets `size` to the object's size as the answer states it; an answer that states none fails
// the request (a callback returns what it returns) rather than show the object as empty.
S3Status vorlan_i_s3_stat_object_size(stat_state *state, const S3ResponseProperties *properties,
                                      int64_t *size);
// Adds what the attempts held when the request succeeded and forgets it; returns how many
// records it added.
size_t vorlan_i_s3_stat_settle(stat_state *state);

// The workers, one per stat kind; each leaves its outcome in state->request.result.
void vorlan_i_s3_stat_root(stat_state *state);
void vorlan_i_s3_stat_bucket(stat_state *state);
void vorlan_i_s3_stat_object(stat_state *state);
void vorlan_i_s3_stat_list_buckets(stat_state *state);
void vorlan_i_s3_stat_list_buckets_anon(stat_state *state);
void vorlan_i_s3_stat_list_objects(stat_state *state);

// The attempt loop of a stat request: each attempt starts with nothing held, and what the
// successful attempt held is added after the loop. Returns the records added.
template <class Attempt>
size_t vorlan_i_s3_stat_retry(const char *func_name, stat_state *state, const char *call_name,
                              Attempt &&attempt) {
  state->request.try_count = 0;
  vorlan_i_s3_request_retry(func_name, &state->request, call_name, [&] {
    state->held.clear();
    state->dot_held = false;
    attempt();
  });
  return vorlan_i_s3_stat_settle(state);
}

#endif  // VORLAN_I_S3_H
