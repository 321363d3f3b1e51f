// Shared types, settings and the diagnostic log of the storage core and the Google Cloud
// module. Everything here is internal to the module's shared object.
#ifndef VORLAN_I_S3_H
#define VORLAN_I_S3_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <openssl/md5.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// ---- Diagnostic log ------------------------------------------------------------------------

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
#define VORLAN_S3_LOG_AS(level, func_name, ...)                                          \
  do {                                                                                   \
    if (vorlan_i_VORLAN_S3_debug_handle.levels & (level)) {                              \
      if (vorlan_i_VORLAN_S3_debug_handle.timestamp_levels & (level)) {                  \
        vorlan_i_VORLAN_S3_debug_time_printf("s3: %5s: %s: ",                            \
                                             vorlan_i_s3_debug_level_names[(level)],     \
                                             vorlan_i_s3_str(func_name));                \
      } else {                                                                           \
        vorlan_i_VORLAN_S3_debug_printf("s3: %5s: %s: ",                                 \
                                        vorlan_i_s3_debug_level_names[(level)],          \
                                        vorlan_i_s3_str(func_name));                     \
      }                                                                                  \
    }                                                                                    \
    if (vorlan_i_VORLAN_S3_debug_handle.levels & (level)) {                              \
      if (vorlan_i_VORLAN_S3_debug_handle.timestamp_levels & (level)) {                  \
        vorlan_i_VORLAN_S3_debug_time_printf(__VA_ARGS__);                               \
      } else {                                                                           \
        vorlan_i_VORLAN_S3_debug_printf(__VA_ARGS__);                                    \
      }                                                                                  \
    }                                                                                    \
  } while (0)

#define VORLAN_S3_LOG(level, ...) VORLAN_S3_LOG_AS(level, __func__, __VA_ARGS__)
#define VORLAN_S3_TRACE_ENTER() VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "enter\n")
#define VORLAN_S3_TRACE_EXIT() VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit\n")

// Logs "result=VORLAN_SUCCESS\n" at TRACE or the standard failure line at ERROR for `result`.
void vorlan_i_s3_log_result(const char *func_name, vorlan_result_t result);
#define VORLAN_S3_LOG_RESULT(result) vorlan_i_s3_log_result(__func__, (result))

// A "%s" argument that is never null.
inline const char *vorlan_i_s3_str(const char *s) { return s ? s : ""; }

// printf into an owned string; throws std::bad_alloc when memory runs out.
std::string vorlan_i_s3_format(const char *format, ...) VORLAN_PRINTF_FORMAT(1, 2);
std::string vorlan_i_s3_vformat(const char *format, va_list args) VORLAN_PRINTF_FORMAT(1, 0);

// ---- Module records --------------------------------------------------------------------------

extern vorlan_module_descriptor_t vorlan_i_s3_base_module;

// ---- Settings (configuration file) -------------------------------------------------------------

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

// ---- MIME types ------------------------------------------------------------------------------------

// Values are records of one allocation: the extension (at most 30 characters) in a 32-byte
// field, then the type text.
extern vorlan_hashtable_t vorlan_i_s3_mime_extensions;
constexpr size_t vorlan_i_s3_mime_extension_field = 32;
vorlan_result_t vorlan_i_s3_mime_types_parse(const char *path);
const char *vorlan_i_s3_mime_type_get(const char *key);

// ---- MD5 states and the checksum cache -----------------------------------------------------------

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
bool vorlan_i_s3_checksum_find(const char *bucket, const char *key, const char *etag,
                               uint64_t size, char *checksum);
vorlan_result_t vorlan_i_s3_checksum_add(const char *bucket, const char *key, const char *etag,
                                         uint64_t size, const char *checksum);
bool vorlan_i_s3_metadata_has_checksum(const S3ResponseProperties *properties);

// ---- Error reporting ------------------------------------------------------------------------------

vorlan_object_t *vorlan_i_S3Error_to_error(S3Status status, const char *path,
                                           const S3ErrorDetails *error_details);

// ---- Storage-interface entry points (slots of the table registered as "google_cloud") -------

void vorlan_i_gcloud_start(vorlan_gfs_operation_t op, vorlan_gfs_session_info_t *session_info);
void vorlan_i_s3_destroy(void *session);
void vorlan_i_s3_send(vorlan_gfs_operation_t op, vorlan_gfs_transfer_info_t *transfer_info,
                      void *session);
vorlan_result_t vorlan_i_s3_recv(vorlan_gfs_operation_t op,
                                 vorlan_gfs_transfer_info_t *transfer_info, void *session);
void vorlan_i_s3_command(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                         void *session);
void vorlan_i_s3_stat(vorlan_gfs_operation_t op, vorlan_gfs_stat_info_t *stat_info,
                      void *session);

#endif  // VORLAN_I_S3_H
