// Reads the MIME types file (lines of a type followed by its extensions) into the process-wide
// extension table that uploads consult for their content type.
#include "vorlan_i_s3.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

vorlan_hashtable_t vorlan_i_s3_mime_extensions = nullptr;

namespace {

constexpr int vorlan_l_s3_mime_buckets = 1549;
constexpr size_t vorlan_l_s3_mime_extension_max = 30;
constexpr const char *vorlan_l_s3_whitespace = " \t\n\v\f\r";
// What ends an extension inside the list.
constexpr const char *vorlan_l_s3_extension_end = " \t\n\r";

void vorlan_l_s3_mime_table_destroy() {
  vorlan_hashtable_destroy_all(&vorlan_i_s3_mime_extensions, free);
  vorlan_i_s3_mime_extensions = nullptr;
}

// Stores one extension unless an earlier line named it. False when memory runs out.
bool vorlan_l_s3_mime_add(const std::string &extension, const std::string &type) {
  if (vorlan_hashtable_lookup(vorlan_i_s3_mime_extensions, const_cast<char *>(extension.c_str())) !=
      nullptr) {
    return true;
  }
  // One allocation: the extension in a fixed field, the type right after it.
  auto *record = static_cast<char *>(calloc(1, vorlan_i_s3_mime_extension_field + type.size() + 1));
  if (record == nullptr) {
    return false;
  }
  memcpy(record, extension.c_str(), extension.size() + 1);
  memcpy(record + vorlan_i_s3_mime_extension_field, type.c_str(), type.size() + 1);
  const vorlan_i_s3_error result(
      vorlan_hashtable_insert(vorlan_i_s3_mime_extensions, record, record));
  if (result.failed()) {
    free(record);
    return false;
  }
  return true;
}

// Applies one line "type ext ext ..."; lines without a type and an extension are skipped.
bool vorlan_l_s3_mime_parse_line(const char *raw_line) {
  std::string line(raw_line);
  size_t comment = line.find('#');
  if (comment != std::string::npos) {
    line.erase(comment);
  }
  size_t type_start = line.find_first_not_of(vorlan_l_s3_whitespace);
  if (type_start == std::string::npos) {
    return true;
  }
  size_t type_end = line.find_first_of(vorlan_l_s3_whitespace, type_start);
  if (type_end == std::string::npos) {
    return true;
  }
  size_t list_start = line.find_first_not_of(vorlan_l_s3_whitespace, type_end);
  if (list_start == std::string::npos) {
    return true;
  }
  size_t list_end = line.find('\n', list_start);
  const std::string type = line.substr(type_start, type_end - type_start);
  const std::string list = line.substr(
      list_start, list_end == std::string::npos ? std::string::npos : list_end - list_start);

  size_t position = 0;
  while (position < list.size()) {
    size_t end = list.find_first_of(vorlan_l_s3_extension_end, position);
    if (end == std::string::npos) {
      end = list.size();
    }
    const size_t length = end - position;
    if (length >= 1 && length <= vorlan_l_s3_mime_extension_max &&
        !vorlan_l_s3_mime_add(list.substr(position, length), type)) {
      return false;
    }
    position = list.find_first_not_of(vorlan_l_s3_whitespace, end);
    if (position == std::string::npos) {
      break;
    }
  }
  return true;
}

vorlan_result_t vorlan_l_s3_mime_types_parse(const char *path) {
  vorlan_result_t result =
      vorlan_hashtable_init(&vorlan_i_s3_mime_extensions, vorlan_l_s3_mime_buckets,
                            vorlan_hashtable_string_hash, vorlan_hashtable_string_keyeq);
  if (result != VORLAN_SUCCESS) {
    return result;
  }
  if (path == nullptr) {
    return VORLAN_SUCCESS;
  }
  vorlan_i_s3_file_ptr file(fopen(path, "r"));
  if (!file) {
    vorlan_l_s3_mime_table_destroy();
    return VORLAN_FAILURE;
  }
  char *buffer = nullptr;
  size_t capacity = 0;
  bool ok = true;
  // Whole lines of any length: a long line is never read as two.
  while (ok && getline(&buffer, &capacity, file.get()) >= 0) {
    ok = vorlan_l_s3_mime_parse_line(buffer);
  }
  free(buffer);
  if (!ok || ferror(file.get())) {
    vorlan_l_s3_mime_table_destroy();
    return VORLAN_FAILURE;
  }
  return VORLAN_SUCCESS;
}

}  // namespace

vorlan_result_t vorlan_i_s3_mime_types_parse(const char *path) {
  try {
    return vorlan_l_s3_mime_types_parse(path);
  } catch (const std::bad_alloc &) {
    vorlan_l_s3_mime_table_destroy();
    return VORLAN_FAILURE;
  }
}
