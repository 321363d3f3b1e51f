// Splits a request's path into bucket and key, in place.
#include "vorlan_i_s3.h"

void vorlan_i_s3_path_parse(char *path, char **bucket, char **key) {
  if (*path == '/') ++path;
  *bucket = path;
  char *slash = std::strchr(path, '/');
  if (slash == nullptr) {
    *key = nullptr;
    return;
  }
  *slash = '\0';
  *key = slash + 1;
}
