// Settings: the configuration file's values, its key tables and parser, the MIME table, and
// the module's surroundings (sleep, clocks, the region lookup host, the unload wait). Module
// activation and deactivation write them, and tests replace them, only while no session runs;
// every thread reads them without a lock.
#ifndef VORLAN_I_S3_SETTINGS_H
#define VORLAN_I_S3_SETTINGS_H

#include <vorlan/vorlan_common.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

extern char *vorlan_i_s3_default_hostname;
extern char *vorlan_i_s3_default_region;
extern char *vorlan_i_s3_mime_type_file;
extern bool vorlan_i_s3_https;
extern bool vorlan_i_s3_use_virtual_host;
extern bool vorlan_i_s3_verify_peer;
extern int32_t vorlan_i_s3_max_retries;
extern int32_t vorlan_i_s3_retry_delay_ms;
// Transfers over several requests at once: the most requests one transfer runs together (1:
// one request at a time), the bytes of one download slice and one upload part (0: automatic),
// and the largest upload sent as one PUT.
extern int32_t vorlan_i_s3_transfer_streams;
extern int64_t vorlan_i_s3_part_size;
extern int64_t vorlan_i_s3_multipart_threshold;
// An archived object's restore: the days its copy stays (at least 1) and the retrieval tier
// ("Bulk", "Standard" or "Expedited"; null: the service's default, Standard).
extern int32_t vorlan_i_s3_restore_days;
extern char *vorlan_i_s3_restore_tier;
// The storage class of uploads (null: the bucket's default), and the project billed for
// requests to requester-pays buckets when a session's collection policies name none.
extern char *vorlan_i_s3_storage_class;
extern char *vorlan_i_s3_user_project;
// A PEM file of certificate authorities trusted besides the system's; null for none.
extern char *vorlan_i_s3_ca_file;
// The Google Cloud module's own key, bucket_create_location (module_gcloud.cc).
extern char *vorlan_i_s3_gcloud_bucket_location;

// The storage service's default endpoint: Google Cloud Storage's XML interface.
#define VORLAN_S3_DEFAULT_HOSTNAME "storage.googleapis.com"

// A kind of setting value: its name in the refusal "unexpected value for <name> attribute",
// its parser, and how a reset restores it.
struct vorlan_i_s3_config_type_t {
  const char *name;
  // Stores the value `text` gives in *value and returns true, or returns false, storing
  // nothing, when the text gives none. A string whose copy finds no memory sets *result.
  bool (*parse)(const char *text, void *value, vorlan_result_t *result);
  // Restores *value to `initial`; a string is freed and becomes null.
  void (*reset)(void *value, int64_t initial);
};
// Strings (owned copies), booleans ("true", "yes", "on", "1" or "false", "no", "off", "0", in
// any case), and decimal numbers from 0 up to the type's largest.
extern const vorlan_i_s3_config_type_t vorlan_i_s3_config_string;
extern const vorlan_i_s3_config_type_t vorlan_i_s3_config_bool;
extern const vorlan_i_s3_config_type_t vorlan_i_s3_config_int;
extern const vorlan_i_s3_config_type_t vorlan_i_s3_config_long_long;

// One key of a table; a table ends with a key of null name ({}).
struct vorlan_i_s3_config_key_t {
  const char *name = nullptr;
  const vorlan_i_s3_config_type_t *type = nullptr;
  void *value = nullptr;
  int64_t initial = 0;    // a flag's or number's value before any file and after a reset
  bool required = false;  // a string the file must set
  // A number's allowed values, `minimum` to `maximum`, and 0 as well when `zero_allowed`; in
  // the refusal as `range_text`. Null: any value of the type.
  const char *range_text = nullptr;
  int64_t minimum = 0;
  int64_t maximum = 0;
  bool zero_allowed = false;
  // A string's allowed values (a null-ended list), taken in any case and stored as listed; in
  // the refusal as `range_text`. Null: any text.
  const char *const *choices = nullptr;
};
constexpr vorlan_i_s3_config_key_t vorlan_i_s3_config_key(const char *name, char **value,
                                                          bool required = false) {
  return {name, &vorlan_i_s3_config_string, value, 0, required};
}
constexpr vorlan_i_s3_config_key_t vorlan_i_s3_config_key(const char *name, bool *value,
                                                          bool initial) {
  return {name, &vorlan_i_s3_config_bool, value, initial};
}
constexpr vorlan_i_s3_config_key_t vorlan_i_s3_config_key(const char *name, int32_t *value,
                                                          int32_t initial) {
  return {name, &vorlan_i_s3_config_int, value, initial};
}
constexpr vorlan_i_s3_config_key_t vorlan_i_s3_config_key(const char *name, int64_t *value,
                                                          int64_t initial) {
  return {name, &vorlan_i_s3_config_long_long, value, initial};
}
template <class Number>
constexpr vorlan_i_s3_config_key_t vorlan_i_s3_config_range(const char *name, Number *value,
                                                            Number initial, const char *range_text,
                                                            int64_t minimum, int64_t maximum,
                                                            bool zero_allowed = false) {
  vorlan_i_s3_config_key_t key = vorlan_i_s3_config_key(name, value, initial);
  key.range_text = range_text;
  key.minimum = minimum;
  key.maximum = maximum;
  key.zero_allowed = zero_allowed;
  return key;
}

constexpr vorlan_i_s3_config_key_t vorlan_i_s3_config_choice(const char *name, char **value,
                                                             const char *const *choices,
                                                             const char *range_text) {
  vorlan_i_s3_config_key_t key = vorlan_i_s3_config_key(name, value);
  key.range_text = range_text;
  key.choices = choices;
  return key;
}

// Reads the file's "key = value" lines into the built-in settings and `extra_keys` (may be
// null). On failure every string setting of both tables is freed.
vorlan_result_t vorlan_i_s3_config_parse(const char *path,
                                         const vorlan_i_s3_config_key_t *extra_keys);
// Frees the built-in string settings and restores every built-in setting to its initial value,
// so that a module activated again starts from the defaults. Module deactivation calls it.
void vorlan_i_s3_config_reset();

// The MIME table base activation reads from mime_types_path.
// Values are records of one allocation: the extension (at most 30 characters) in a 32-byte
// field, then the type text.
extern vorlan_hashtable_t vorlan_i_s3_mime_extensions;
constexpr size_t vorlan_i_s3_mime_extension_field = 32;
vorlan_result_t vorlan_i_s3_mime_types_parse(const char *path);
const char *vorlan_i_s3_mime_type_get(const char *key);

// What the module takes from its surroundings, gathered so that a test replaces it as a unit.
struct vorlan_i_s3_env_t {
  // How the retry back-off sleeps.
  void (*sleep_us)(unsigned long usec);
  // Seconds since the epoch: when a session's access token is due for renewal.
  time_t (*gcloud_clock)();
  // Seconds on a clock that never goes back: the checksum's progress replies are timed by it.
  int64_t (*checksum_clock)();
  // Where HeadBucket region lookups go instead of the AWS endpoint; null in production.
  const char *region_lookup_host;
  // How long module deactivation waits for running workers.
  int64_t unload_wait_ms;
};
extern const vorlan_i_s3_env_t vorlan_i_s3_default_env;
// The surroundings in use: the default unless a test put its own in place.
extern const vorlan_i_s3_env_t *vorlan_i_s3_env;

#endif  // VORLAN_I_S3_SETTINGS_H
