// A file-only stat of /bucket/key: the object if there is one, else the directory (its
// placeholder, or any key under it), else not found. Here the object wins over a directory of
// the same name.
#include "vorlan_i_s3.h"

#include <cerrno>
#include <cstdlib>

namespace {

// The modification time an upload stored as "mtime" metadata: decimal seconds, greater than 0
// and the whole text a number, or exactly "0". Other tools store seconds with a fraction
// ("1700000000.25"): one "." and at least one digit after the whole seconds are dropped, and the
// whole seconds follow the same rules. Anything else is no time at all.
bool vorlan_l_s3_parse_mtime(const char *text, int64_t *mtime) {
  errno = 0;
  char *end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  const size_t fraction = *end == '.' ? std::strspn(end + 1, "0123456789") : 0;
  if (errno != 0 || (*end != '\0' && (fraction == 0 || end[1 + fraction] != '\0'))) return false;
  if (end == text + 1 && *text == '0') {
    *mtime = 0;
    return true;
  }
  if (value <= 0) return false;
  *mtime = value;
  return true;
}

int64_t vorlan_l_s3_stat_mtime(const stat_state *state, const S3ResponseProperties *properties) {
  const S3NameValue *found = nullptr;
  for (int i = 0; i < properties->metaDataCount && found == nullptr; ++i) {
    if (std::strcmp(properties->metaData[i].name, "mtime") == 0) found = &properties->metaData[i];
  }
  if (found == nullptr) return properties->lastModified < 0 ? -1 : properties->lastModified;
  int64_t mtime = -1;
  if (vorlan_l_s3_parse_mtime(found->value, &mtime)) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Object '/%s/%s' has metadata: mtime='%ld'\n",
                  state->request.bucket, state->request.key, static_cast<long>(mtime));
  } else {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Object '/%s/%s' has invalid metadata: mtime='%s'\n",
                  state->request.bucket, state->request.key, found->value);
  }
  return mtime;
}

S3Status vorlan_l_s3_stat_head_object_properties(const S3ResponseProperties *properties,
                                                 void *data) {
  auto *state = static_cast<stat_state *>(data);
  const vorlan_i_s3_request_t &request = state->request;
  vorlan_gfs_stat_t file = vorlan_i_s3_stat_record(vorlan_i_s3_stat_file_mode, request.key,
                                                   vorlan_i_s3_stat_hash(request.bucket),
                                                   vorlan_i_s3_stat_hash(request.pathname));
  if (S3Status status = vorlan_i_s3_stat_object_size(state, properties, &file.size);
      status != S3StatusOK) {
    return status;
  }
  file.mtime = vorlan_l_s3_stat_mtime(state, properties);
  try {
    vorlan_i_s3_stat_hold(state, &file);
  } catch (const std::bad_alloc &) {
    return vorlan_i_s3_stat_out_of_memory(state);
  }
  return S3StatusOK;
}

// Neither a missing object nor a forbidden one ends the search: the directory requests decide.
void vorlan_l_s3_stat_head_object_complete(S3Status status, const S3ErrorDetails *details,
                                           void *data) {
  if (status == S3StatusHttpErrorNotFound || status == S3StatusHttpErrorForbidden) return;
  vorlan_i_s3_stat_fail(static_cast<stat_state *>(data), status, details);
}

S3Status vorlan_l_s3_stat_head_dir_properties(const S3ResponseProperties *, void *data) {
  auto *state = static_cast<stat_state *>(data);
  return vorlan_i_s3_stat_hold_dot(state, state->request.pathname);
}

void vorlan_l_s3_stat_head_dir_complete(S3Status status, const S3ErrorDetails *details,
                                        void *data) {
  if (status == S3StatusHttpErrorNotFound) return;
  vorlan_i_s3_stat_fail(static_cast<stat_state *>(data), status, details);
}

S3Status vorlan_l_s3_stat_list_dir_properties(const S3ResponseProperties *, void *) {
  return S3StatusOK;
}

S3Status vorlan_l_s3_stat_list_dir_callback(int, const char *, int contents_count,
                                            const S3ListBucketContent *contents,
                                            int common_prefixes_count, const char **, void *data) {
  auto *state = static_cast<stat_state *>(data);
  const char *key = state->request.key;
  const size_t length = std::strlen(key);
  const bool below = contents_count > 0 && std::strncmp(contents[0].key, key, length) == 0 &&
                     contents[0].key[length] == '/';
  if (!below && common_prefixes_count == 0) return S3StatusOK;
  return vorlan_i_s3_stat_hold_dot(state, key, "/");
}

// An empty listing under the prefix means the name is neither a file nor a directory.
void vorlan_l_s3_stat_list_dir_complete(S3Status status, const S3ErrorDetails *details,
                                        void *data) {
  auto *state = static_cast<stat_state *>(data);
  if (status == S3StatusOK && !state->dot_held) status = S3StatusHttpErrorNotFound;
  vorlan_i_s3_stat_fail(state, status, details);
}

}  // namespace

void vorlan_i_s3_stat_object(stat_state *state) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_i_s3_request_t &request = state->request;
  auto head = [&](const char *key, const S3ResponseHandler *handler) {
    return vorlan_i_s3_stat_retry("vorlan_i_s3_stat_object", state, "S3_head_object", [&] {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "vorlan_i_s3_stat_object",
                       "REST: op=%p S3_head_object(bucket=%s, key=%s) try=%d\n",
                       static_cast<void *>(request.op), request.bucket, key, request.try_count);
      S3_head_object(&request.bucket_context, key, nullptr, 0, handler, state);
    });
  };
  const S3ResponseHandler head_object = {vorlan_l_s3_stat_head_object_properties,
                                         vorlan_l_s3_stat_head_object_complete};
  if (head(request.key, &head_object) > 0 || request.result != VORLAN_SUCCESS) {
    VORLAN_S3_TRACE_EXIT();
    return;
  }
  const std::string prefix = std::string(request.key) + "/";
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "trying to use the aws key %s for %s %s\n",
                vorlan_i_s3_str(request.bucket_context.accessKeyId), request.bucket,
                prefix.c_str());
  const S3ResponseHandler head_dir = {vorlan_l_s3_stat_head_dir_properties,
                                      vorlan_l_s3_stat_head_dir_complete};
  if (head(prefix.c_str(), &head_dir) > 0 || request.result != VORLAN_SUCCESS) {
    VORLAN_S3_TRACE_EXIT();
    return;
  }
  const S3ListBucketHandler list = {
      {vorlan_l_s3_stat_list_dir_properties, vorlan_l_s3_stat_list_dir_complete},
      vorlan_l_s3_stat_list_dir_callback};
  vorlan_i_s3_stat_retry(__func__, state, "S3_list_bucket", [&] {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "vorlan_i_s3_stat_object",
                     "REST: op=%p S3_list_bucket(bucket=%s, key=%s) try=%d\n",
                     static_cast<void *>(request.op), request.bucket, prefix.c_str(),
                     request.try_count);
    S3_list_bucket(&request.bucket_context, prefix.c_str(), nullptr, "/", 1, nullptr, 0, &list,
                   state);
  });
  VORLAN_S3_TRACE_EXIT();
}
