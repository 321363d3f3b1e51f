#include "s3_sync_calls.h"

#include <algorithm>
#include <cstring>

namespace vorlan::test {
namespace {

const char *or_null(const std::string &text) { return text.empty() ? nullptr : text.c_str(); }

struct CallState {
  S3CallResult result{};
  S3GetOptions get{};
  const std::string *put_data = nullptr;
  uint64_t put_offset = 0;
  std::optional<uint64_t> put_fail_after{};
  S3Status list_answer = S3StatusOK;
};

S3Status on_properties(const S3ResponseProperties *properties, void *data) {
  auto *state = static_cast<CallState *>(data);
  S3CallResult &result = state->result;
  ++result.properties_calls;
  auto text = [](const char *value) { return value ? std::string(value) : std::string(); };
  result.content_type = text(properties->contentType);
  result.etag = text(properties->eTag);
  result.bucket_region = text(properties->bucketRegion);
  result.content_length = properties->contentLength;
  result.content_length_known = properties->contentLengthKnown != 0;
  for (int i = 0; i < properties->metaDataCount; ++i) {
    result.metadata[properties->metaData[i].name] = properties->metaData[i].value;
  }
  return state->get.properties_answer;
}

void on_complete(S3Status status, const S3ErrorDetails *details, void *data) {
  auto *state = static_cast<CallState *>(data);
  S3CallResult &result = state->result;
  ++result.complete_calls;
  result.status = status;
  if (details == nullptr) return;
  result.message = details->message ? details->message : "";
  for (int i = 0; i < details->extraDetailsCount; ++i) {
    result.extra[details->extraDetails[i].name] = details->extraDetails[i].value;
  }
}

S3Status on_get_data(int size, const char *buffer, void *data) {
  auto *state = static_cast<CallState *>(data);
  state->result.data.append(buffer, static_cast<size_t>(size));
  if (state->get.abort_after && state->result.data.size() >= *state->get.abort_after) {
    return state->get.abort_status;
  }
  return S3StatusOK;
}

int on_put_data(int size, char *buffer, void *data) {
  auto *state = static_cast<CallState *>(data);
  if (state->put_fail_after && state->put_offset >= *state->put_fail_after) return -1;
  uint64_t left = state->put_data->size() - state->put_offset;
  auto count = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(size)));
  std::memcpy(buffer, state->put_data->data() + state->put_offset, count);
  state->put_offset += count;
  return static_cast<int>(count);
}

S3Status on_list(int, const char *, int contents_count, const S3ListBucketContent *contents, int,
                 const char **, void *data) {
  auto *state = static_cast<CallState *>(data);
  S3CallResult &result = state->result;
  for (int i = 0; i < contents_count; ++i) result.keys.emplace_back(contents[i].key);
  return state->list_answer;
}

S3Status on_service(const char *, const char *, const char *bucket, int64_t, void *data) {
  static_cast<CallState *>(data)->result.buckets.emplace_back(bucket);
  return S3StatusOK;
}

const S3ResponseHandler kHandler = {&on_properties, &on_complete};

// Runs `call` on the target's context and `state`; what the callbacks saw comes back.
template <class Call>
S3CallResult run(const S3Target &target, CallState state, Call call) {
  S3BucketContext context = target.context();
  call(&context, &state);
  return state.result;
}

}  // namespace

S3BucketContext S3Target::context() const {
  return {or_null(host),
          or_null(bucket),
          S3ProtocolHTTP,
          style,
          or_null(access_key_id),
          or_null(secret_access_key),
          or_null(security_token),
          or_null(region),
          nullptr,
          0};
}

S3CallResult s3_head(const S3Target &target, const char *key) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    S3_head_object(c, key, nullptr, kS3TestTimeoutMs, &kHandler, state);
  });
}

S3CallResult s3_get(const S3Target &target, const char *key, const S3GetOptions &options) {
  return run(target, {.get = options}, [&](S3BucketContext *c, CallState *state) {
    S3GetObjectHandler handler = {kHandler, &on_get_data};
    S3_get_object(c, key, nullptr, options.start, options.count, nullptr, kS3TestTimeoutMs,
                  &handler, state);
  });
}

S3CallResult s3_put(const S3Target &target, const char *key, const std::string &data,
                    const S3PutOptions &options) {
  CallState put{.put_data = &data, .put_fail_after = options.fail_after};
  return run(target, put, [&](S3BucketContext *c, CallState *state) {
    S3PutObjectHandler handler = {kHandler, &on_put_data};
    S3_put_object(c, key, options.declared_length.value_or(data.size()), options.properties,
                  nullptr, kS3TestTimeoutMs, &handler, state);
  });
}

S3CallResult s3_copy(const S3Target &target, const char *key, const char *destination_bucket,
                     const char *destination_key, const S3PutProperties *properties) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    char etag[256] = {};
    int64_t last_modified = -1;
    S3_copy_object(c, key, destination_bucket, destination_key, properties, &last_modified,
                   sizeof etag, etag, nullptr, kS3TestTimeoutMs, &kHandler, state);
  });
}

S3CallResult s3_delete(const S3Target &target, const char *key) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    S3_delete_object(c, key, nullptr, kS3TestTimeoutMs, &kHandler, state);
  });
}

S3CallResult s3_list(const S3Target &target, const char *prefix, const char *marker,
                     const char *delimiter, int max_keys, S3Status list_answer) {
  return run(target, {.list_answer = list_answer}, [&](S3BucketContext *c, CallState *state) {
    S3ListBucketHandler handler = {kHandler, &on_list};
    S3_list_bucket(c, prefix, marker, delimiter, max_keys, nullptr, kS3TestTimeoutMs, &handler,
                   state);
  });
}

// The bucket and service calls take no context: they read the target's fields themselves.
S3CallResult s3_create_bucket(const S3Target &target, const char *location) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    S3_create_bucket(c->protocol, c->accessKeyId, c->secretAccessKey, c->securityToken, c->hostName,
                     c->bucketName, c->authRegion, S3CannedAclPrivate, location, nullptr,
                     kS3TestTimeoutMs, &kHandler, state);
  });
}

S3CallResult s3_delete_bucket(const S3Target &target) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    S3_delete_bucket(c->protocol, c->uriStyle, c->accessKeyId, c->secretAccessKey, c->securityToken,
                     c->hostName, c->bucketName, c->authRegion, nullptr, kS3TestTimeoutMs,
                     &kHandler, state);
  });
}

S3CallResult s3_list_service(const S3Target &target) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    S3ListServiceHandler handler = {kHandler, &on_service};
    S3_list_service(c->protocol, c->accessKeyId, c->secretAccessKey, c->securityToken, c->hostName,
                    c->authRegion, nullptr, kS3TestTimeoutMs, &handler, state);
  });
}

S3CallResult s3_initiate(const S3Target &target, const char *key,
                         const S3PutProperties *properties) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    S3MultipartInitialHandler handler = {kHandler, [](const char *id, void *data) {
                                           static_cast<CallState *>(data)->result.upload_id = id;
                                           return S3StatusOK;
                                         }};
    S3_initiate_multipart(c, key, properties, nullptr, kS3TestTimeoutMs, &handler, state);
  });
}

S3CallResult s3_upload_part(const S3Target &target, const char *key, const std::string &upload_id,
                            int number, const std::string &data, const char *md5,
                            const char *crc32c) {
  return run(target, {.put_data = &data}, [&](S3BucketContext *c, CallState *state) {
    S3PutProperties properties{};
    properties.md5 = md5;
    properties.crc32c = crc32c;
    S3PutObjectHandler handler = {kHandler, &on_put_data};
    S3_upload_part(c, key, upload_id.c_str(), number, data.size(), &properties, nullptr,
                   kS3TestTimeoutMs, &handler, state);
  });
}

S3CallResult s3_complete(const S3Target &target, const char *key, const std::string &upload_id,
                         const std::vector<S3CompletedPart> &parts) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    char etag[256] = {};
    S3_complete_multipart_upload(c, key, upload_id.c_str(), static_cast<int>(parts.size()),
                                 parts.data(), sizeof etag, etag, nullptr, kS3TestTimeoutMs,
                                 &kHandler, state);
    state->result.etag = etag;
  });
}

S3CallResult s3_abort(const S3Target &target, const char *key, const std::string &upload_id) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    S3_abort_multipart_upload(c, key, upload_id.c_str(), nullptr, kS3TestTimeoutMs, &kHandler,
                              state);
  });
}

S3CallResult s3_list_uploads(const S3Target &target, const char *prefix) {
  return run(target, {}, [&](S3BucketContext *c, CallState *state) {
    S3ListMultipartUploadsHandler handler = {
        kHandler, [](const char *key, const char *, void *data) {
          static_cast<CallState *>(data)->result.keys.emplace_back(key);
          return S3StatusOK;
        }};
    S3_list_multipart_uploads(c, prefix, nullptr, kS3TestTimeoutMs, &handler, state);
  });
}

}  // namespace vorlan::test
