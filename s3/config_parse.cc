// The module's process-wide settings and the parser of its configuration file (lines of the
// form "key = value"), driven by tables of key descriptors.
#include "vorlan_i_s3.h"

#include <cassert>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <jansson.h>

char *vorlan_i_s3_default_hostname = nullptr;
char *vorlan_i_s3_default_region = nullptr;
char *vorlan_i_s3_mime_type_file = nullptr;
bool vorlan_i_s3_https = true;
bool vorlan_i_s3_use_virtual_host = false;
bool vorlan_i_s3_verify_peer = true;
int32_t vorlan_i_s3_max_retries = 1;
int32_t vorlan_i_s3_retry_delay_ms = 100;
int64_t vorlan_i_s3_part_size = 0;
int32_t vorlan_i_s3_restore_days = 4;
char *vorlan_i_s3_restore_tier = nullptr;
char *vorlan_i_s3_ca_file = nullptr;

namespace {

constexpr const char *vorlan_l_s3_whitespace = " \t\n\v\f\r";

// The built-in key table, in the order keys are matched.
struct vorlan_l_s3_builtin_keys {
  vorlan_i_s3_config_key_t keys[13] = {
      {VORLAN_S3_CONFIG_STRING, "host_name", &vorlan_i_s3_default_hostname, nullptr, nullptr,
       nullptr, false},
      {VORLAN_S3_CONFIG_STRING, "default_region", &vorlan_i_s3_default_region, nullptr, nullptr,
       nullptr, false},
      {VORLAN_S3_CONFIG_STRING, "mime_types_path", &vorlan_i_s3_mime_type_file, nullptr, nullptr,
       nullptr, false},
      {VORLAN_S3_CONFIG_BOOL, "use_https", nullptr, &vorlan_i_s3_https, nullptr, nullptr, false},
      {VORLAN_S3_CONFIG_BOOL, "use_virtual_host", nullptr, &vorlan_i_s3_use_virtual_host, nullptr,
       nullptr, false},
      {VORLAN_S3_CONFIG_BOOL, "verify_peer", nullptr, &vorlan_i_s3_verify_peer, nullptr, nullptr,
       false},
      {VORLAN_S3_CONFIG_INT, "max_retries", nullptr, nullptr, &vorlan_i_s3_max_retries, nullptr,
       false},
      {VORLAN_S3_CONFIG_INT, "retry_delay", nullptr, nullptr, &vorlan_i_s3_retry_delay_ms, nullptr,
       false},
      {VORLAN_S3_CONFIG_LONG_LONG, "part_size", nullptr, nullptr, nullptr, &vorlan_i_s3_part_size,
       false},
      {VORLAN_S3_CONFIG_INT, "restore_days", nullptr, nullptr, &vorlan_i_s3_restore_days, nullptr,
       false},
      {VORLAN_S3_CONFIG_STRING, "restore_tier", &vorlan_i_s3_restore_tier, nullptr, nullptr,
       nullptr, false},
      {VORLAN_S3_CONFIG_STRING, "ca_file", &vorlan_i_s3_ca_file, nullptr, nullptr, nullptr, false},
      {VORLAN_S3_CONFIG_STRING, nullptr, nullptr, nullptr, nullptr, nullptr, false},
  };
};

void vorlan_l_s3_config_free_strings(vorlan_i_s3_config_key_t *config_keys) {
  for (vorlan_i_s3_config_key_t *key = config_keys; key->name != nullptr; key++) {
    if (key->value_type == VORLAN_S3_CONFIG_STRING && key->string_value != nullptr) {
      free(*key->string_value);
      *key->string_value = nullptr;
    }
  }
}

// Decimal text to a number of at least 0 and at most `max`; the whole text must convert.
bool vorlan_l_s3_config_number(const char *value, int64_t max, int64_t *number) {
  errno = 0;
  char *end = nullptr;
  long long converted = strtoll(value, &end, 10);
  if (errno == ERANGE || end == value || *end != '\0' || converted < 0 || converted > max) {
    return false;
  }
  *number = converted;
  return true;
}

// "true", "yes", "on", "1" or "false", "no", "off", "0", in any case.
bool vorlan_l_s3_config_bool(const char *value, bool *flag) {
  static const char *const words[2][4] = {{"false", "no", "off", "0"}, {"true", "yes", "on", "1"}};
  for (int truth = 0; truth < 2; truth++) {
    for (const char *word : words[truth]) {
      if (strcasecmp(value, word) == 0) {
        *flag = truth == 1;
        return true;
      }
    }
  }
  return false;
}

vorlan_result_t vorlan_l_s3_config_parse_key(const char *path, int32_t line_number, const char *key,
                                             const char *value,
                                             vorlan_i_s3_config_key_t *config_keys, bool *found) {
  assert(config_keys != nullptr);
  VORLAN_S3_TRACE_ENTER();
  vorlan_i_s3_config_key_t *entry = config_keys;
  while (entry->name != nullptr && strcmp(entry->name, key) != 0) {
    entry++;
  }
  if (entry->name == nullptr) {
    return VORLAN_SUCCESS;
  }

  vorlan_result_t result = VORLAN_SUCCESS;
  bool stored = true;
  int64_t number = 0;
  switch (entry->value_type) {
    case VORLAN_S3_CONFIG_STRING: {
      char *current = *entry->string_value;
      if (current == nullptr || strcmp(current, value) != 0) {
        char *copy = strdup(value);
        if (copy == nullptr) {
          result = vorlan_i_s3_malloc_error();
          break;
        }
        free(current);
        *entry->string_value = copy;
      }
      break;
    }
    case VORLAN_S3_CONFIG_BOOL:
      stored = vorlan_l_s3_config_bool(value, entry->bool_value);
      break;
    case VORLAN_S3_CONFIG_INT:
      // A value beyond 32 bits is refused rather than stored as its low bits.
      stored = vorlan_l_s3_config_number(value, INT32_MAX, &number);
      if (stored) *entry->int_value = static_cast<int32_t>(number);
      break;
    case VORLAN_S3_CONFIG_LONG_LONG:
      stored = vorlan_l_s3_config_number(value, INT64_MAX, &number);
      if (stored) *entry->long_long_value = number;
      break;
    default:
      assert(!"unknown configuration value type");
      abort();
  }
  if (!stored) {
    static const char *const type_names[] = {"string", "boolean", "integer", "long long"};
    result = VORLAN_S3_ERROR("Error parsing %s:%d: unexpected value for %s attribute %s: \"%s\"\n",
                             path, line_number, type_names[entry->value_type], key, value);
  }
  if (result == VORLAN_SUCCESS) {
    *found = true;
  }
  VORLAN_S3_LOG_RESULT(result);
  return result;
}

vorlan_result_t vorlan_l_s3_config_check_required(const char *path,
                                                  vorlan_i_s3_config_key_t *config_keys) {
  for (vorlan_i_s3_config_key_t *key = config_keys; key->name != nullptr; key++) {
    if (key->required && key->string_value != nullptr && *key->string_value == nullptr) {
      std::string message =
          vorlan_i_s3_format("Required config \"%s\" not set in %s\n", key->name, path);
      VORLAN_S3_LOG(VORLAN_S3_DEBUG_ERROR, "%s", message.c_str());
      return VORLAN_S3_ERROR("%s", message.c_str());
    }
  }
  return VORLAN_SUCCESS;
}

// Splits a trimmed, comment-free line the way the format "%s = %s" reads it: a key run, white
// space, "=", white space, a value run; anything after the value is ignored.
bool vorlan_l_s3_config_split(const std::string &line, std::string *key, std::string *value) {
  size_t key_end = line.find_first_of(vorlan_l_s3_whitespace);
  if (key_end == std::string::npos) {
    return false;
  }
  size_t equals = line.find_first_not_of(vorlan_l_s3_whitespace, key_end);
  if (equals == std::string::npos || line[equals] != '=') {
    return false;
  }
  size_t value_start = line.find_first_not_of(vorlan_l_s3_whitespace, equals + 1);
  if (value_start == std::string::npos) {
    return false;
  }
  size_t value_end = line.find_first_of(vorlan_l_s3_whitespace, value_start);
  *key = line.substr(0, key_end);
  *value = line.substr(
      value_start, value_end == std::string::npos ? std::string::npos : value_end - value_start);
  return true;
}

// Applies one line; returns success for lines that are blank or only a comment.
vorlan_result_t vorlan_l_s3_config_parse_line(const char *path, int32_t line_number,
                                              const char *raw_line,
                                              vorlan_i_s3_config_key_t *builtin_keys,
                                              vorlan_i_s3_config_key_t *extra_keys) {
  std::string line(raw_line);
  size_t comment = line.find('#');
  if (comment != std::string::npos) {
    line.erase(comment);
  }
  size_t start = line.find_first_not_of(vorlan_l_s3_whitespace);
  if (start == std::string::npos) {
    return VORLAN_SUCCESS;
  }
  size_t end = line.find_last_not_of(vorlan_l_s3_whitespace);
  line = line.substr(start, end - start + 1);

  std::string key;
  std::string value;
  if (!vorlan_l_s3_config_split(line, &key, &value)) {
    return VORLAN_S3_ERROR("Error parsing %s:%d: invalid line\n", path, line_number);
  }
  bool found = false;
  vorlan_result_t result = vorlan_l_s3_config_parse_key(path, line_number, key.c_str(),
                                                        value.c_str(), builtin_keys, &found);
  if (result != VORLAN_SUCCESS || found) {
    return result;
  }
  if (extra_keys != nullptr) {
    result = vorlan_l_s3_config_parse_key(path, line_number, key.c_str(), value.c_str(), extra_keys,
                                          &found);
    if (result != VORLAN_SUCCESS || found) {
      return result;
    }
  }
  return VORLAN_S3_ERROR("Error parsing %s:%d: unknown option \"%s\"\n", path, line_number,
                         key.c_str());
}

vorlan_result_t vorlan_l_s3_config_read(const char *path, FILE *file,
                                        vorlan_i_s3_config_key_t *builtin_keys,
                                        vorlan_i_s3_config_key_t *extra_keys) {
  char *buffer = nullptr;
  size_t capacity = 0;
  int32_t line_number = 0;
  vorlan_result_t result = VORLAN_SUCCESS;
  // Whole lines of any length, so a long comment's tail is never read as a setting.
  while (getline(&buffer, &capacity, file) >= 0) {
    if (line_number < INT32_MAX) {
      line_number++;
    }
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "vorlan_i_s3_config_parse", "parsing line [%d]: %s\n",
                     line_number, buffer);
    result = vorlan_l_s3_config_parse_line(path, line_number, buffer, builtin_keys, extra_keys);
    if (result != VORLAN_SUCCESS) {
      break;
    }
  }
  vorlan_i_s3_text_ptr owned(buffer);
  if (result == VORLAN_SUCCESS && ferror(file)) {
    std::string subject = vorlan_i_s3_format("Error reading config file %s: ", path);
    result = vorlan_i_s3_system_error(errno, subject.c_str());
  }
  return result;
}

vorlan_result_t vorlan_l_s3_config_parse(const char *path, vorlan_i_s3_config_key_t *extra_keys) {
  vorlan_l_s3_builtin_keys builtin;
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "vorlan_i_s3_config_parse", "enter\n");
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "vorlan_i_s3_config_parse", "parsing config file %s\n",
                   vorlan_i_s3_str(path));

  vorlan_result_t result = VORLAN_SUCCESS;
  vorlan_i_s3_file_ptr file(path != nullptr ? fopen(path, "r") : nullptr);
  if (!file) {
    int saved_errno = path != nullptr ? errno : ENOENT;
    std::string subject =
        vorlan_i_s3_format("Error loading config file %s: ", vorlan_i_s3_str(path));
    result = vorlan_i_s3_system_error(saved_errno, subject.c_str());
  }
  if (result == VORLAN_SUCCESS) {
    result = vorlan_l_s3_config_read(path, file.get(), builtin.keys, extra_keys);
  }
  if (result == VORLAN_SUCCESS) {
    result = vorlan_l_s3_config_check_required(path, builtin.keys);
  }
  if (result == VORLAN_SUCCESS && extra_keys != nullptr) {
    result = vorlan_l_s3_config_check_required(path, extra_keys);
  }
  if (result != VORLAN_SUCCESS) {
    vorlan_l_s3_config_free_strings(builtin.keys);
    if (extra_keys != nullptr) {
      vorlan_l_s3_config_free_strings(extra_keys);
    }
  }
  file.reset();
  vorlan_i_s3_log_result("vorlan_i_s3_config_parse", result);
  return result;
}

}  // namespace

vorlan_result_t vorlan_i_s3_config_parse(const char *path, vorlan_i_s3_config_key_t *extra_keys) {
  try {
    return vorlan_l_s3_config_parse(path, extra_keys);
  } catch (const std::bad_alloc &) {
    vorlan_l_s3_builtin_keys builtin;
    vorlan_l_s3_config_free_strings(builtin.keys);
    if (extra_keys != nullptr) {
      vorlan_l_s3_config_free_strings(extra_keys);
    }
    return vorlan_i_s3_malloc_error();
  }
}

void vorlan_i_s3_config_reset() {
  vorlan_l_s3_builtin_keys builtin;
  vorlan_l_s3_config_free_strings(builtin.keys);
  vorlan_i_s3_https = true;
  vorlan_i_s3_use_virtual_host = false;
  vorlan_i_s3_verify_peer = true;
  vorlan_i_s3_max_retries = 1;
  vorlan_i_s3_retry_delay_ms = 100;
  vorlan_i_s3_part_size = 0;
  vorlan_i_s3_restore_days = 4;
}

// Collection policies: the host's "config" and "collection-policies" documents.

void vorlan_i_s3_json_release::operator()(json_t *json) const { json_decref(json); }

namespace {

// Members other than `known` are accepted (a server may add its own), but each is named in a
// warning: a misspelt one ("bucket") would otherwise lift a restriction without a word.
void vorlan_l_s3_warn_unknown_members(const char *func, json_t *root, const char *document,
                                      const char *known) {
  const char *name = nullptr;
  json_t *value = nullptr;
  json_object_foreach(root, name, value) {
    if (std::strcmp(name, known) == 0) continue;
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_WARN, func,
                     "%s: unknown member \"%s\" ignored (the one read is \"%s\")\n", document, name,
                     known);
    vorlan_gfs_log_message(VORLAN_GFS_LOG_WARN,
                           "%s: unknown member \"%s\" ignored (the one read is \"%s\")\n", document,
                           name, known);
  }
}

vorlan_result_t vorlan_l_s3_parse_buckets(json_t *json, const char *text, const char *member,
                                          char ***buckets) {
  static const char *const func = "vorlan_i_s3_config_parse_buckets";
  json_error_t error;
  vorlan_i_s3_json_ptr parsed;
  if (json == nullptr) {
    parsed.reset(json_loads(text, 0, &error));
    if (!parsed) {
      return VORLAN_S3_ERROR("Error loading collection storage policy: %s\n", error.text);
    }
    json = parsed.get();
  }
  json_t *list = nullptr;
  if (json_unpack_ex(json, &error, 0, "{s?o}", member, &list) != 0) {
    return VORLAN_S3_ERROR("Error unpacking allowed bucket list: %s\n", error.text);
  }
  // A value that is neither absent, null nor a list would otherwise grant every bucket.
  if (list != nullptr && !json_is_null(list) && !json_is_array(list)) {
    return VORLAN_S3_ERROR("%s", "Error unpacking allowed bucket list.");
  }
  vorlan_l_s3_warn_unknown_members(func, json, "storage policy (\"config\")", member);
  const size_t count = list != nullptr ? json_array_size(list) : 0;
  if (count == 0) {
    *buckets = nullptr;
    return VORLAN_SUCCESS;
  }
  std::unique_ptr<char *[], decltype(&vorlan_i_s3_free_bucket_list)> names(
      static_cast<char **>(std::calloc(count + 1, sizeof(char *))), &vorlan_i_s3_free_bucket_list);
  if (!names) {
    return vorlan_i_s3_malloc_error();
  }
  for (size_t i = 0; i < count; ++i) {
    const char *name = json_string_value(json_array_get(list, i));
    if (name == nullptr) {
      return VORLAN_S3_ERROR("%s", "Error unpacking allowed bucket list.");
    }
    names[i] = strdup(name);
    if (names[i] == nullptr) {
      return vorlan_i_s3_malloc_error();
    }
  }
  *buckets = names.release();
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_l_s3_parse_project(const char *text, char **project) {
  static const char *const func = "vorlan_i_s3_config_parse_json_project";
  json_error_t error;
  vorlan_i_s3_json_ptr root(json_loads(text, 0, &error));
  if (!root) {
    return VORLAN_S3_ERROR("Error loading collection policies: %s\n", error.text);
  }
  const char *value = nullptr;
  if (json_unpack_ex(root.get(), &error, 0, "{s?s}", "project", &value) != 0) {
    return VORLAN_S3_ERROR("Error unpacking collection policies: %s\n", error.text);
  }
  vorlan_l_s3_warn_unknown_members(func, root.get(),
                                   "collection policies (\"collection-policies\")", "project");
  if (value == nullptr) return VORLAN_SUCCESS;
  char *copy = strdup(value);
  if (copy == nullptr) {
    return vorlan_i_s3_malloc_error();
  }
  std::free(*project);
  *project = copy;
  return VORLAN_SUCCESS;
}

// Failures inside the parsers become the malloc system error; nothing crosses the C boundary.
template <class Parse>
vorlan_result_t vorlan_l_s3_parse_guarded(const char *func, Parse &&parse) {
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, func, "enter\n");
  vorlan_result_t result;
  try {
    result = parse();
  } catch (const std::bad_alloc &) {
    result = vorlan_i_s3_malloc_error();
  }
  vorlan_i_s3_log_result(func, result);
  return result;
}

}  // namespace

void vorlan_i_s3_free_bucket_list(char **buckets) {
  if (buckets == nullptr) return;
  for (char **name = buckets; *name != nullptr; ++name) std::free(*name);
  std::free(buckets);
}

vorlan_result_t vorlan_i_s3_config_parse_buckets(void *json, const char *text, const char *member,
                                                 char ***buckets) {
  return vorlan_l_s3_parse_guarded(__func__, [&] {
    return vorlan_l_s3_parse_buckets(static_cast<json_t *>(json), text, member, buckets);
  });
}

vorlan_result_t vorlan_i_s3_config_parse_json_project(const char *text, char **project) {
  return vorlan_l_s3_parse_guarded(__func__,
                                   [&] { return vorlan_l_s3_parse_project(text, project); });
}
