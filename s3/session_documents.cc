// The host's per-session documents: "config" (the bucket allow-list) and
// "collection-policies" (the project).
#include "vorlan_i_s3.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <jansson.h>

void vorlan_i_s3_json_release::operator()(json_t *json) const { json_decref(json); }

namespace {

// Members other than `known` are accepted (a server may add its own), but each is named in a
// warning: a misspelt one ("bucket") would otherwise lift a restriction without a word.
void vorlan_l_s3_warn_unknown_members(const char *func, json_t *root, const char *document,
                                      const char *known, const char *also_known = nullptr) {
  const char *name = nullptr;
  json_t *value = nullptr;
  json_object_foreach(root, name, value) {
    if (std::strcmp(name, known) == 0) continue;
    if (also_known != nullptr && std::strcmp(name, also_known) == 0) continue;
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

vorlan_result_t vorlan_l_s3_parse_project(const char *text, char **project, char **user_project) {
  static const char *const func = "vorlan_i_s3_config_parse_json_project";
  json_error_t error;
  vorlan_i_s3_json_ptr root(json_loads(text, 0, &error));
  if (!root) {
    return VORLAN_S3_ERROR("Error loading collection policies: %s\n", error.text);
  }
  const char *value = nullptr;
  const char *billed = nullptr;
  if (json_unpack_ex(root.get(), &error, 0, "{s?s,s?s}", "project", &value, "user_project",
                     &billed) != 0) {
    return VORLAN_S3_ERROR("Error unpacking collection policies: %s\n", error.text);
  }
  vorlan_l_s3_warn_unknown_members(
      func, root.get(), "collection policies (\"collection-policies\")", "project", "user_project");
  // Both copies are made before either is stored: nothing is stored on failure.
  vorlan_i_s3_text_ptr project_copy(value != nullptr ? strdup(value) : nullptr);
  vorlan_i_s3_text_ptr billed_copy(billed != nullptr && user_project != nullptr ? strdup(billed)
                                                                                : nullptr);
  if ((value != nullptr && !project_copy) ||
      (billed != nullptr && user_project != nullptr && !billed_copy)) {
    return vorlan_i_s3_malloc_error();
  }
  if (project_copy) {
    std::free(*project);
    *project = project_copy.release();
  }
  if (billed_copy) {
    std::free(*user_project);
    *user_project = billed_copy.release();
  }
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

vorlan_result_t vorlan_i_s3_config_parse_json_project(const char *text, char **project,
                                                      char **user_project) {
  return vorlan_l_s3_parse_guarded(
      __func__, [&] { return vorlan_l_s3_parse_project(text, project, user_project); });
}
