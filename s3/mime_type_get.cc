// Finds the content type of an object key by the extension after its last dot.
#include "vorlan_i_s3.h"

#include <cstring>

const char *vorlan_i_s3_mime_type_get(const char *key) {
  if (key == nullptr || vorlan_i_s3_mime_extensions == nullptr) {
    return nullptr;
  }
  const char *dot = strrchr(key, '.');
  if (dot == nullptr || dot[1] == '\0') {
    return nullptr;
  }
  auto *record = static_cast<const char *>(
      vorlan_hashtable_lookup(vorlan_i_s3_mime_extensions, const_cast<char *>(dot + 1)));
  if (record == nullptr) {
    return nullptr;
  }
  return record + vorlan_i_s3_mime_extension_field;
}
