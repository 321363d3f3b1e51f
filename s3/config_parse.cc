// The module's process-wide settings and the parser of its configuration file (lines of the
// form "key = value"), driven by tables of keys with one parser per value type.
#include "vorlan_i_s3.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

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

// A copy replaces the string unless it already holds the same text.
bool vorlan_l_s3_parse_string(const char *text, void *value, vorlan_result_t *result) {
  char *&current = *static_cast<char **>(value);
  if (current == nullptr || strcmp(current, text) != 0) {
    char *copy = strdup(text);
    if (copy == nullptr) {
      *result = vorlan_i_s3_malloc_error();
      return true;
    }
    free(current);
    current = copy;
  }
  return true;
}

void vorlan_l_s3_reset_string(void *value, int64_t /*initial*/) {
  char *&current = *static_cast<char **>(value);
  free(current);
  current = nullptr;
}

bool vorlan_l_s3_parse_bool(const char *text, void *value, vorlan_result_t * /*result*/) {
  static const char *const words[2][4] = {{"false", "no", "off", "0"}, {"true", "yes", "on", "1"}};
  for (int truth = 0; truth < 2; truth++) {
    for (const char *word : words[truth]) {
      if (strcasecmp(text, word) == 0) {
        *static_cast<bool *>(value) = truth == 1;
        return true;
      }
    }
  }
  return false;
}

void vorlan_l_s3_reset_bool(void *value, int64_t initial) {
  *static_cast<bool *>(value) = initial != 0;
}

// A value beyond 32 bits is refused rather than stored as its low bits.
bool vorlan_l_s3_parse_int(const char *text, void *value, vorlan_result_t * /*result*/) {
  int64_t number = 0;
  if (!vorlan_l_s3_config_number(text, INT32_MAX, &number)) return false;
  *static_cast<int32_t *>(value) = static_cast<int32_t>(number);
  return true;
}

void vorlan_l_s3_reset_int(void *value, int64_t initial) {
  *static_cast<int32_t *>(value) = static_cast<int32_t>(initial);
}

bool vorlan_l_s3_parse_long_long(const char *text, void *value, vorlan_result_t * /*result*/) {
  return vorlan_l_s3_config_number(text, INT64_MAX, static_cast<int64_t *>(value));
}

void vorlan_l_s3_reset_long_long(void *value, int64_t initial) {
  *static_cast<int64_t *>(value) = initial;
}

}  // namespace

const vorlan_i_s3_config_type_t vorlan_i_s3_config_string = {"string", vorlan_l_s3_parse_string,
                                                             vorlan_l_s3_reset_string};
const vorlan_i_s3_config_type_t vorlan_i_s3_config_bool = {"boolean", vorlan_l_s3_parse_bool,
                                                           vorlan_l_s3_reset_bool};
const vorlan_i_s3_config_type_t vorlan_i_s3_config_int = {"integer", vorlan_l_s3_parse_int,
                                                          vorlan_l_s3_reset_int};
const vorlan_i_s3_config_type_t vorlan_i_s3_config_long_long = {
    "long long", vorlan_l_s3_parse_long_long, vorlan_l_s3_reset_long_long};

namespace {

constexpr const char *vorlan_l_s3_restore_tiers[] = {"Bulk", "Standard", "Expedited", nullptr};

// The built-in keys, in the order keys are matched: the one place each default is written.
constexpr vorlan_i_s3_config_key_t vorlan_l_s3_builtin_keys[] = {
    vorlan_i_s3_config_key("host_name", &vorlan_i_s3_default_hostname),
    vorlan_i_s3_config_key("default_region", &vorlan_i_s3_default_region),
    vorlan_i_s3_config_key("mime_types_path", &vorlan_i_s3_mime_type_file),
    vorlan_i_s3_config_key("use_https", &vorlan_i_s3_https, true),
    vorlan_i_s3_config_key("use_virtual_host", &vorlan_i_s3_use_virtual_host, false),
    vorlan_i_s3_config_key("verify_peer", &vorlan_i_s3_verify_peer, true),
    vorlan_i_s3_config_key("max_retries", &vorlan_i_s3_max_retries, 1),
    vorlan_i_s3_config_key("retry_delay", &vorlan_i_s3_retry_delay_ms, 100),
    vorlan_i_s3_config_range("transfer_streams", &vorlan_i_s3_transfer_streams, 8, "1 to 64", 1,
                             64),
    // Parts follow the services' limits: at least 5 MiB, at most 5 GiB.
    vorlan_i_s3_config_range("part_size", &vorlan_i_s3_part_size, int64_t{0},
                             "0 (automatic) or 5242880 to 5368709120", int64_t{5} << 20,
                             int64_t{5} << 30, true),
    // Above 5 GiB no single PUT is taken.
    vorlan_i_s3_config_range("multipart_threshold", &vorlan_i_s3_multipart_threshold,
                             int64_t{64} << 20, "5242880 to 5368709120", int64_t{5} << 20,
                             int64_t{5} << 30),
    vorlan_i_s3_config_range("restore_days", &vorlan_i_s3_restore_days, 4, "at least 1", 1,
                             INT32_MAX),
    vorlan_i_s3_config_choice("restore_tier", &vorlan_i_s3_restore_tier, vorlan_l_s3_restore_tiers,
                              "Bulk, Standard or Expedited"),
    vorlan_i_s3_config_key("ca_file", &vorlan_i_s3_ca_file),
    vorlan_i_s3_config_key("storage_class", &vorlan_i_s3_storage_class),
    vorlan_i_s3_config_key("user_project", &vorlan_i_s3_user_project),
    {},
};

// A built-in setting's initial value, as its key gives it, for the definitions below.
constexpr int64_t vorlan_l_s3_initial(const void *value) {
  for (const vorlan_i_s3_config_key_t &key : vorlan_l_s3_builtin_keys) {
    if (key.value == value) return key.initial;
  }
  return 0;
}

}  // namespace

constinit char *vorlan_i_s3_default_hostname = nullptr;
constinit char *vorlan_i_s3_default_region = nullptr;
constinit char *vorlan_i_s3_mime_type_file = nullptr;
constinit bool vorlan_i_s3_https = vorlan_l_s3_initial(&vorlan_i_s3_https);
constinit bool vorlan_i_s3_use_virtual_host = vorlan_l_s3_initial(&vorlan_i_s3_use_virtual_host);
constinit bool vorlan_i_s3_verify_peer = vorlan_l_s3_initial(&vorlan_i_s3_verify_peer);
constinit int32_t vorlan_i_s3_max_retries = vorlan_l_s3_initial(&vorlan_i_s3_max_retries);
constinit int32_t vorlan_i_s3_retry_delay_ms = vorlan_l_s3_initial(&vorlan_i_s3_retry_delay_ms);
constinit int32_t vorlan_i_s3_transfer_streams = vorlan_l_s3_initial(&vorlan_i_s3_transfer_streams);
constinit int64_t vorlan_i_s3_part_size = vorlan_l_s3_initial(&vorlan_i_s3_part_size);
constinit int64_t vorlan_i_s3_multipart_threshold =
    vorlan_l_s3_initial(&vorlan_i_s3_multipart_threshold);
constinit int32_t vorlan_i_s3_restore_days = vorlan_l_s3_initial(&vorlan_i_s3_restore_days);
constinit char *vorlan_i_s3_restore_tier = nullptr;
constinit char *vorlan_i_s3_ca_file = nullptr;
constinit char *vorlan_i_s3_storage_class = nullptr;
constinit char *vorlan_i_s3_user_project = nullptr;

namespace {

constexpr const char *vorlan_l_s3_whitespace = " \t\n\v\f\r";

void vorlan_l_s3_config_free_strings(const vorlan_i_s3_config_key_t *config_keys) {
  for (const vorlan_i_s3_config_key_t *key = config_keys; key->name != nullptr; key++) {
    if (key->type == &vorlan_i_s3_config_string) key->type->reset(key->value, 0);
  }
}

// A number out of its key's range is refused, and the value before it is kept.
bool vorlan_l_s3_config_parse_value(const vorlan_i_s3_config_key_t *key, const char *text,
                                    vorlan_result_t *result, bool *in_range) {
  *in_range = true;
  if (key->choices != nullptr) {
    for (const char *const *choice = key->choices; *choice != nullptr; choice++) {
      if (strcasecmp(text, *choice) == 0) return key->type->parse(*choice, key->value, result);
    }
    *in_range = false;
    return true;
  }
  if (key->range_text == nullptr) return key->type->parse(text, key->value, result);
  int64_t number = 0;
  int32_t small = 0;
  const bool is_int = key->type == &vorlan_i_s3_config_int;
  if (!key->type->parse(text, is_int ? static_cast<void *>(&small) : &number, result)) return false;
  if (is_int) number = small;
  *in_range =
      (number == 0 && key->zero_allowed) || (number >= key->minimum && number <= key->maximum);
  if (*in_range) key->type->reset(key->value, number);
  return true;
}

vorlan_result_t vorlan_l_s3_config_parse_key(const char *path, int32_t line_number, const char *key,
                                             const char *value,
                                             const vorlan_i_s3_config_key_t *config_keys,
                                             bool *found) {
  VORLAN_S3_TRACE_ENTER();
  const vorlan_i_s3_config_key_t *entry = config_keys;
  while (entry->name != nullptr && strcmp(entry->name, key) != 0) {
    entry++;
  }
  if (entry->name == nullptr) {
    return VORLAN_SUCCESS;
  }

  vorlan_result_t result = VORLAN_SUCCESS;
  bool in_range = true;
  if (!vorlan_l_s3_config_parse_value(entry, value, &result, &in_range)) {
    result = VORLAN_S3_ERROR("Error parsing %s:%d: unexpected value for %s attribute %s: \"%s\"\n",
                             path, line_number, entry->type->name, key, value);
  } else if (!in_range) {
    result = VORLAN_S3_ERROR("Error parsing %s:%d: %s must be %s: \"%s\"\n", path, line_number, key,
                             entry->range_text, value);
  }
  if (result == VORLAN_SUCCESS) {
    *found = true;
  }
  VORLAN_S3_LOG_RESULT(result);
  return result;
}

vorlan_result_t vorlan_l_s3_config_check_required(const char *path,
                                                  const vorlan_i_s3_config_key_t *config_keys) {
  for (const vorlan_i_s3_config_key_t *key = config_keys; key->name != nullptr; key++) {
    if (key->required && key->type == &vorlan_i_s3_config_string &&
        *static_cast<char **>(key->value) == nullptr) {
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

// What a line that does not split should have been; most often a key with "=" glued to it.
const char *vorlan_l_s3_config_hint(const std::string &line) {
  const size_t equals = line.find('=');
  if (equals == std::string::npos) return "write `key = value`";
  if (equals < line.find_first_of(vorlan_l_s3_whitespace)) {
    return "write `key = value`: a blank before `=`";
  }
  if (line.find_first_not_of(vorlan_l_s3_whitespace, equals + 1) == std::string::npos) {
    return "write `key = value`: the value is missing";
  }
  return "write `key = value`: a key is one word";
}

// Applies one line; returns success for lines that are blank or only a comment.
vorlan_result_t vorlan_l_s3_config_parse_line(const char *path, int32_t line_number,
                                              const char *raw_line,
                                              const vorlan_i_s3_config_key_t *builtin_keys,
                                              const vorlan_i_s3_config_key_t *extra_keys) {
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
    return VORLAN_S3_ERROR("Error parsing %s:%d: invalid line: %s\n", path, line_number,
                           vorlan_l_s3_config_hint(line));
  }
  // Quotes would be kept as part of the value, and a quoted value with a blank cut at it.
  if (value[0] == '"' || value[0] == '\'') {
    return VORLAN_S3_ERROR(
        "Error parsing %s:%d: the value of %s is quoted: write it without quotes\n", path,
        line_number, key.c_str());
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
                                        const vorlan_i_s3_config_key_t *builtin_keys,
                                        const vorlan_i_s3_config_key_t *extra_keys) {
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
    std::string subject = vorlan_i_s3_format("reading config file %s", path);
    result = vorlan_i_s3_system_error(errno, subject.c_str());
  }
  return result;
}

vorlan_result_t vorlan_l_s3_config_parse(const char *path,
                                         const vorlan_i_s3_config_key_t *extra_keys) {
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "vorlan_i_s3_config_parse", "enter\n");
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "vorlan_i_s3_config_parse", "parsing config file %s\n",
                   vorlan_i_s3_str(path));

  vorlan_result_t result = VORLAN_SUCCESS;
  vorlan_i_s3_file_ptr file(path != nullptr ? fopen(path, "r") : nullptr);
  if (!file) {
    int saved_errno = path != nullptr ? errno : ENOENT;
    std::string subject = vorlan_i_s3_format("reading config file %s", vorlan_i_s3_str(path));
    result = vorlan_i_s3_system_error(saved_errno, subject.c_str());
  }
  if (result == VORLAN_SUCCESS) {
    result = vorlan_l_s3_config_read(path, file.get(), vorlan_l_s3_builtin_keys, extra_keys);
  }
  if (result == VORLAN_SUCCESS) {
    result = vorlan_l_s3_config_check_required(path, vorlan_l_s3_builtin_keys);
  }
  if (result == VORLAN_SUCCESS && extra_keys != nullptr) {
    result = vorlan_l_s3_config_check_required(path, extra_keys);
  }
  if (result != VORLAN_SUCCESS) {
    vorlan_l_s3_config_free_strings(vorlan_l_s3_builtin_keys);
    if (extra_keys != nullptr) {
      vorlan_l_s3_config_free_strings(extra_keys);
    }
  }
  file.reset();
  vorlan_i_s3_log_result("vorlan_i_s3_config_parse", result);
  return result;
}

}  // namespace

vorlan_result_t vorlan_i_s3_config_parse(const char *path,
                                         const vorlan_i_s3_config_key_t *extra_keys) {
  try {
    return vorlan_l_s3_config_parse(path, extra_keys);
  } catch (const std::bad_alloc &) {
    vorlan_l_s3_config_free_strings(vorlan_l_s3_builtin_keys);
    if (extra_keys != nullptr) {
      vorlan_l_s3_config_free_strings(extra_keys);
    }
    return vorlan_i_s3_malloc_error();
  }
}

void vorlan_i_s3_config_reset() {
  for (const vorlan_i_s3_config_key_t *key = vorlan_l_s3_builtin_keys; key->name != nullptr;
       key++) {
    key->type->reset(key->value, key->initial);
  }
}
