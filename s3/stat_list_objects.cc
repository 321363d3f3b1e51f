// The listing of one directory of a bucket: the placeholder of the directory, then every page
// of keys and common prefixes under it, and, when nothing showed a directory, the key itself
// as a file (or the bucket itself).
#include "vorlan_i_s3.h"

#include <string_view>

namespace {

// The directory's prefix: the key followed by "/", or "" for the bucket's top.
std::string vorlan_l_s3_stat_prefix(const stat_state *state) {
  return state->request.key != nullptr ? std::string(state->request.key) + "/" : std::string();
}

S3Status vorlan_l_s3_stat_head_dir_properties(const S3ResponseProperties *, void *data) {
  auto *state = static_cast<stat_state *>(data);
  return vorlan_i_s3_stat_hold_dot(state, state->request.pathname, "/");
}

// A missing placeholder is no failure: the directory may exist without one.
void vorlan_l_s3_stat_head_dir_complete(S3Status status, const S3ErrorDetails *details,
                                        void *data) {
  if (status == S3StatusHttpErrorNotFound) return;
  vorlan_i_s3_stat_fail(static_cast<stat_state *>(data), status, details);
}

S3Status vorlan_l_s3_stat_head_object_properties(const S3ResponseProperties *properties,
                                                 void *data) {
  auto *state = static_cast<stat_state *>(data);
  const vorlan_i_s3_request_t &request = state->request;
  try {
    if (request.key != nullptr) {
      const char *slash = std::strrchr(request.key, '/');
      vorlan_gfs_stat_t file = vorlan_i_s3_stat_record(
          vorlan_i_s3_stat_file_mode, slash != nullptr ? slash + 1 : request.key,
          vorlan_i_s3_stat_hash(request.bucket), vorlan_i_s3_stat_hash(request.pathname));
      if (S3Status status = vorlan_i_s3_stat_object_size(state, properties, &file.size);
          status != S3StatusOK) {
        return status;
      }
      file.mtime = properties->lastModified;
      vorlan_i_s3_stat_hold(state, &file);
    } else {
      return vorlan_i_s3_stat_hold_dot(state, request.pathname);
    }
  } catch (const std::bad_alloc &) {
    return vorlan_i_s3_stat_out_of_memory(state);
  }
  return S3StatusOK;
}

void vorlan_l_s3_stat_head_object_complete(S3Status status, const S3ErrorDetails *details,
                                           void *data) {
  vorlan_i_s3_stat_fail(static_cast<stat_state *>(data), status, details);
}

S3Status vorlan_l_s3_stat_list_dir_properties(const S3ResponseProperties *, void *) {
  return S3StatusOK;
}

void vorlan_l_s3_stat_hold_file(stat_state *state, const S3ListBucketContent &object,
                                std::string_view name) {
  const std::string owned(name);
  vorlan_gfs_stat_t file = vorlan_i_s3_stat_record(vorlan_i_s3_stat_file_mode, owned.c_str(),
                                                   vorlan_i_s3_stat_hash(state->request.bucket),
                                                   vorlan_i_s3_stat_hash(object.key));
  file.size = static_cast<int64_t>(object.size);
  file.mtime = object.lastModified < 0 ? -1 : object.lastModified;
  vorlan_i_s3_stat_hold(state, &file);
}

void vorlan_l_s3_stat_hold_subdirectory(stat_state *state, const char *common_prefix,
                                        std::string_view name) {
  if (name.empty()) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "Dropping invalid entry '%s'.\n", common_prefix);
    return;
  }
  const std::string owned(name);
  const vorlan_gfs_stat_t directory = vorlan_i_s3_stat_record(
      vorlan_i_s3_stat_dir_mode, owned.c_str(), vorlan_i_s3_stat_hash(state->request.bucket),
      vorlan_i_s3_stat_hash(common_prefix));
  vorlan_i_s3_stat_hold(state, &directory);
}

// Where the next page starts: the service's marker, else (a truncated page without one) the
// later of the page's last key and last common prefix, as S3 clients continue.
std::string vorlan_l_s3_stat_continuation(const char *next_marker, int contents_count,
                                          const S3ListBucketContent *contents,
                                          int common_prefixes_count, const char **common_prefixes) {
  if (next_marker != nullptr && *next_marker != '\0') return next_marker;
  std::string last_key = contents_count > 0 ? contents[contents_count - 1].key : "";
  std::string last_prefix =
      common_prefixes_count > 0 ? common_prefixes[common_prefixes_count - 1] : "";
  return std::max(last_key, last_prefix);
}

S3Status vorlan_l_s3_stat_list_dir_callback(int is_truncated, const char *next_marker,
                                            int contents_count, const S3ListBucketContent *contents,
                                            int common_prefixes_count, const char **common_prefixes,
                                            void *data) {
  auto *state = static_cast<stat_state *>(data);
  try {
    const std::string prefix = vorlan_l_s3_stat_prefix(state);
    const char *dot_ino = prefix.empty() ? "/" : prefix.c_str();
    for (int i = 0; i < contents_count; ++i) {
      const std::string_view key(contents[i].key);
      if (!key.starts_with(prefix)) continue;
      if (vorlan_i_s3_stat_hold_dot(state, dot_ino) != S3StatusOK) return S3StatusOutOfMemory;
      // The directory's own placeholder is the directory, not an entry in it.
      if (key.size() == prefix.size()) continue;
      vorlan_l_s3_stat_hold_file(state, contents[i], key.substr(prefix.size()));
    }
    for (int i = 0; i < common_prefixes_count; ++i) {
      std::string_view common(common_prefixes[i]);
      if (!common.starts_with(prefix)) continue;
      if (vorlan_i_s3_stat_hold_dot(state, dot_ino) != S3StatusOK) return S3StatusOutOfMemory;
      if (common.size() == prefix.size()) continue;
      common.remove_prefix(prefix.size());
      if (common.ends_with('/')) common.remove_suffix(1);
      vorlan_l_s3_stat_hold_subdirectory(state, common_prefixes[i], common);
    }
    if (is_truncated && state->next_marker.empty()) {
      state->next_marker = vorlan_l_s3_stat_continuation(next_marker, contents_count, contents,
                                                         common_prefixes_count, common_prefixes);
    }
  } catch (const std::bad_alloc &) {
    return vorlan_i_s3_stat_out_of_memory(state);
  }
  return S3StatusOK;
}

// Unlike the placeholder, a page always exists: one answered 404 is a failure.
void vorlan_l_s3_stat_list_dir_complete(S3Status status, const S3ErrorDetails *details,
                                        void *data) {
  vorlan_i_s3_stat_fail(static_cast<stat_state *>(data), status, details);
}

// A service that hands back a marker at or before the one asked for would be listed forever.
void vorlan_l_s3_stat_refuse_marker(stat_state *state, const std::string &marker) {
  state->request.result.reset(VORLAN_S3_ERROR(
      "Listing \"%s\" stopped: the service's continuation marker \"%s\" does not advance past "
      "\"%s\"",
      state->request.pathname, state->next_marker.c_str(), marker.c_str()));
}

void vorlan_l_s3_stat_list_pages(stat_state *state, const char *prefix) {
  vorlan_i_s3_request_t &request = state->request;
  const S3ListBucketHandler handler = {
      {vorlan_l_s3_stat_list_dir_properties, vorlan_l_s3_stat_list_dir_complete},
      vorlan_l_s3_stat_list_dir_callback};
  std::string marker;
  for (;;) {
    vorlan_i_s3_stat_retry(__func__, state, "S3_list_bucket", [&] {
      state->next_marker.clear();
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "vorlan_l_s3_stat_list_pages",
                       "REST: op=%p S3_list_bucket(bucket=%s, key=%s) try=%d\n",
                       static_cast<void *>(request.op), request.bucket,
                       prefix != nullptr ? prefix : "<NULL>", request.try_count);
      S3_list_bucket(&request.bucket_context, prefix, marker.empty() ? nullptr : marker.c_str(),
                     "/", 0, nullptr, 0, &handler, state);
    });
    if (request.result != VORLAN_SUCCESS || state->next_marker.empty()) break;
    if (!marker.empty() && state->next_marker <= marker) {
      vorlan_l_s3_stat_refuse_marker(state, marker);
      break;
    }
    marker.swap(state->next_marker);
  }
  state->next_marker.clear();
}

}  // namespace

void vorlan_i_s3_stat_list_objects(stat_state *state) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_i_s3_request_t &request = state->request;
  const std::string prefix = vorlan_l_s3_stat_prefix(state);
  const S3ResponseHandler head_dir = {vorlan_l_s3_stat_head_dir_properties,
                                      vorlan_l_s3_stat_head_dir_complete};
  const S3ResponseHandler head_object = {vorlan_l_s3_stat_head_object_properties,
                                         vorlan_l_s3_stat_head_object_complete};
  auto head = [&](const char *key, const S3ResponseHandler *handler) {
    vorlan_i_s3_stat_retry("vorlan_i_s3_stat_list_objects", state, "S3_head_object", [&] {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "vorlan_i_s3_stat_list_objects",
                       "REST: op=%p S3_head_object(bucket=%s, key=%s) try=%d\n",
                       static_cast<void *>(request.op), request.bucket,
                       key != nullptr ? key : "<NULL>", request.try_count);
      S3_head_object(&request.bucket_context, key, nullptr, 0, handler, state);
    });
  };
  if (request.key != nullptr) head(prefix.c_str(), &head_dir);
  if (request.result == VORLAN_SUCCESS) {
    vorlan_l_s3_stat_list_pages(state, request.key != nullptr ? prefix.c_str() : nullptr);
  }
  if (request.result == VORLAN_SUCCESS && !state->dir_found) head(request.key, &head_object);
  VORLAN_S3_TRACE_EXIT();
}
