// The checksum command: the MD5, ADLER32 or CRC32C of an object, or of a byte range of it, as
// lower-case hexadecimal digits (32 for MD5, 8 for the others). The cheap sources come first,
// and only for the whole object, all from the one metadata request: the digests the service
// keeps (an ETag that is the MD5, x-goog-hash, x-amz-checksum-crc32c), then the values uploads
// stored in metadata ("md5", rclone's "md5chksum", "adler32", "crc32c"), then the checksum
// cache. Otherwise the range is downloaded and digested, with progress replies at the host's
// update interval; a whole object's download digests all three algorithms and caches them, so
// the next checksum by any of them is free.
//
// The download is pinned with If-Match to the ETag the metadata request saw, so the digest and
// the ETag it is cached under belong to the same bytes; a pinned download that breaks resumes
// at the first byte not yet digested.
#include "vorlan_i_s3.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *vorlan_l_s3_checksum_thread_name = "vorlan_l_s3_checksum_thread";
// Resumes after attempts that digested new bytes: a service that cuts every body short must
// not keep a checksum going forever.
constexpr int vorlan_l_s3_checksum_max_resumes = 100;
// Per algorithm, in the order of vorlan_i_s3_algorithm.
constexpr const char *vorlan_l_s3_checksum_of_nothing[vorlan_i_s3_algorithm_count] = {
    "d41d8cd98f00b204e9800998ecf8427e", "00000001", "00000000"};
constexpr const char *vorlan_l_s3_checksum_upper_names[vorlan_i_s3_algorithm_count] = {
    "MD5", "ADLER32", "CRC32C"};

using vorlan_l_s3_checksum_text = char[33];

struct checksum_state {
  vorlan_i_s3_request_t request;
  vorlan_i_s3_algorithm algorithm = vorlan_i_s3_algorithm::md5;
  std::string etag;  // the metadata request's, with its quotes; "" when it had none
  uint64_t object_size = 0;
  bool size_known = false;  // an answer may state no size: it is then unknown, not 0
  int64_t offset = 0;
  int64_t length = -1;  // -1: to the end of the object
  int32_t update_interval = 0;
  int64_t next_update = 0;
  unsigned digests = vorlan_i_s3_digest_all;  // what the download digests
  md5_state *digest = nullptr;  // the download's; its byte_count is the bytes digested
  // The whole object's MD5 as the service computed it: a download need not digest it again.
  vorlan_l_s3_checksum_text service_md5 = "";
  vorlan_l_s3_checksum_text answer = "";  // empty while none is known

  ~checksum_state() { vorlan_i_s3_checksum_free(&digest); }
  bool whole_object() const {
    return offset == 0 &&
           (length == -1 || (size_known && static_cast<uint64_t>(length) == object_size));
  }
};

// Uploads store "md5" as 32 hexadecimal digits or as the base64 of the 16 digest bytes; rclone
// stores "md5chksum" as the latter.
bool vorlan_l_s3_checksum_md5_entry(const char *value, char *out) {
  return vorlan_i_s3_hex_take(value, 32, out) || vorlan_i_s3_md5sum_decode(value, out);
}

// Metadata entries that claim a digest: what a client said when it stored the object.
struct vorlan_l_s3_checksum_claim {
  vorlan_i_s3_algorithm algorithm;
  const char *name;
  bool (*take)(const char *value, char *out);
};
constexpr vorlan_l_s3_checksum_claim vorlan_l_s3_checksum_claims[] = {
    {vorlan_i_s3_algorithm::md5, "md5", vorlan_l_s3_checksum_md5_entry},
    {vorlan_i_s3_algorithm::md5, "md5chksum", vorlan_i_s3_md5sum_decode},
    {vorlan_i_s3_algorithm::adler32, "adler32", vorlan_i_s3_checksum32_take_hex},
    {vorlan_i_s3_algorithm::crc32c, "crc32c", vorlan_i_s3_checksum32_take_hex},
};

// The service's own digest of what it stores: an ETag that is the MD5 (the shared test refuses
// multipart and composite ETags and those of objects encrypted with KMS or customer keys), or
// the x-goog-hash and x-amz-checksum-crc32c values. Sets `source` to whose it is.
void vorlan_l_s3_checksum_from_service(checksum_state *state,
                                       const S3ResponseProperties *properties,
                                       const char **source) {
  const bool etag = vorlan_i_s3_etag_md5(properties, state->service_md5);
  if (!etag && properties->md5Base64 != nullptr) {
    vorlan_i_s3_md5sum_decode(properties->md5Base64, state->service_md5);
  }
  if (state->algorithm == vorlan_i_s3_algorithm::md5 && state->service_md5[0] != '\0') {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "vorlan_l_s3_checksum_properties",
                     "Setting md5sum=%s from %s\n", state->service_md5,
                     etag ? "etag" : "x-goog-hash");
    std::memcpy(state->answer, state->service_md5, sizeof(state->answer));
    *source = etag ? "the ETag's" : "the service's";
  } else if (state->algorithm == vorlan_i_s3_algorithm::crc32c &&
             properties->crc32cBase64 != nullptr &&
             vorlan_i_s3_checksum32_decode(properties->crc32cBase64, state->answer)) {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "vorlan_l_s3_checksum_properties",
                     "Setting crc32csum=%s from the checksum header\n", state->answer);
    *source = "the service's";
  }
}

// A metadata claim answers only where the service keeps no digest of its own; one that differs
// from the answer is worth a warning.
void vorlan_l_s3_checksum_from_metadata(checksum_state *state,
                                        const S3ResponseProperties *properties,
                                        const char *service) {
  char source[32];  // whose value the answer is, for the warning
  std::snprintf(source, sizeof source, "%s", service);
  const char *name = vorlan_i_s3_algorithm_name(state->algorithm);
  for (const vorlan_l_s3_checksum_claim &claim : vorlan_l_s3_checksum_claims) {
    if (claim.algorithm != state->algorithm) continue;
    vorlan_l_s3_checksum_text claimed = "";
    for (int i = 0; i < properties->metaDataCount && claimed[0] == '\0'; ++i) {
      const S3NameValue &entry = properties->metaData[i];
      if (entry.name != nullptr && entry.value != nullptr &&
          std::strcmp(entry.name, claim.name) == 0) {
        claim.take(entry.value, claimed);
      }
    }
    if (claimed[0] == '\0') continue;
    if (state->answer[0] == '\0') {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "vorlan_l_s3_checksum_properties",
                       "Setting %ssum=%s from metadata\n", name, claimed);
      std::memcpy(state->answer, claimed, sizeof(state->answer));
      std::snprintf(source, sizeof source, "the %s metadata's", claim.name);
    } else if (std::strcmp(state->answer, claimed) != 0) {
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_WARN, "vorlan_l_s3_checksum_properties",
                       "Object \"%s\": %s metadata %s differs from %s %s %s; answering %s\n",
                       state->request.pathname, claim.name, claimed, source,
                       vorlan_l_s3_checksum_upper_names[static_cast<int>(state->algorithm)],
                       state->answer, source);
    }
  }
}

S3Status vorlan_l_s3_checksum_properties(const S3ResponseProperties *properties, void *arg) {
  auto *state = static_cast<checksum_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  const char *none = "\"\"";
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE,
                "requestId=%s requestId2=%s contentType=%s contentLength=%lu server=%s eTag=%s "
                "lastModified=%ld\n",
                properties->requestId ? properties->requestId : none,
                properties->requestId2 ? properties->requestId2 : none,
                properties->contentType ? properties->contentType : none,
                static_cast<unsigned long>(properties->contentLength),
                properties->server ? properties->server : none,
                properties->eTag ? properties->eTag : none,
                static_cast<long>(properties->lastModified));
  state->object_size = properties->objectSize;
  state->size_known = properties->objectSizeKnown != 0;
  try {
    state->etag = vorlan_i_s3_str(properties->eTag);
  } catch (const std::bad_alloc &) {
    state->request.result.reset(vorlan_i_s3_malloc_error());
    return S3StatusOutOfMemory;
  }
  if (state->whole_object()) {
    const char *source = "";
    vorlan_l_s3_checksum_from_service(state, properties, &source);
    vorlan_l_s3_checksum_from_metadata(state, properties, source);
    if (state->answer[0] == '\0' && state->size_known) {
      vorlan_i_s3_checksum_find_algorithm(state->request.bucket, state->request.key,
                                          properties->eTag, state->object_size, state->algorithm,
                                          state->answer);
    }
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit status=%d: %s\n", S3StatusOK,
                S3_get_status_name(S3StatusOK));
  return S3StatusOK;
}

// The download's answer must be the pinned version; a service that ignored If-Match sends
// another one.
S3Status vorlan_l_s3_checksum_compute_properties(const S3ResponseProperties *properties,
                                                 void *arg) {
  auto *state = static_cast<checksum_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  S3Status status = S3StatusOK;
  if (!state->etag.empty() && properties->eTag != nullptr && state->etag != properties->eTag) {
    state->request.result.reset(
        VORLAN_S3_ERROR("Object \"%s\" changed during the checksum: ETag %s, then %s",
                        state->request.pathname, state->etag.c_str(), properties->eTag));
    status = S3StatusAbortedByCallback;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit status=%d: %s\n", status, S3_get_status_name(status));
  return status;
}

S3Status vorlan_l_s3_checksum_data(int buffer_size, const char *buffer, void *arg) {
  auto *state = static_cast<checksum_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  S3Status status = S3StatusOK;
  const auto size = static_cast<size_t>(buffer_size > 0 ? buffer_size : 0);
  const vorlan_i_s3_error result(vorlan_i_s3_checksum_update(state->digest, buffer, size));
  if (result.failed()) {
    state->request.result.reset(VORLAN_S3_ERROR("%s", "MD5_Update error"));
    status = S3StatusAbortedByCallback;
  } else if (state->update_interval != 0) {
    const int64_t now = vorlan_i_s3_env->checksum_clock();
    if (state->next_update <= now) {
      char text[32];
      std::snprintf(text, sizeof(text), "%ld", static_cast<long>(state->digest->byte_count));
      vorlan_gridftp_server_intermediate_command(state->request.op, VORLAN_SUCCESS, text);
      state->next_update = now + state->update_interval;
    }
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit status=%d: %s\n", status, S3_get_status_name(status));
  return status;
}

// An error a callback already recorded (a changed object, a failed digest) is the one to keep.
void vorlan_l_s3_checksum_complete(S3Status status, const S3ErrorDetails *error_details,
                                   void *arg) {
  auto *state = static_cast<checksum_state *>(arg);
  vorlan_i_s3_request_t *request = &state->request;
  if (status == S3StatusOK) return;
  if (request->result != VORLAN_SUCCESS) {
    request->status = status;
  } else if (status == S3StatusErrorPreconditionFailed && !state->etag.empty()) {
    request->status = status;
    request->result.reset(
        VORLAN_S3_ERROR("Object \"%s\" changed during the checksum: ETag %s is gone",
                        request->pathname, state->etag.c_str()));
  } else {
    vorlan_i_s3_request_complete(request, status, error_details, nullptr);
  }
}

// The metadata request is sent at most max_retries times (once for 0 or 1), and once more to
// meet a refused token with a renewed one.
void vorlan_l_s3_checksum_metadata(checksum_state *state) {
  vorlan_i_s3_request_t *request = &state->request;
  static const S3ResponseHandler handler = {vorlan_l_s3_checksum_properties,
                                            vorlan_l_s3_checksum_complete};
  do {
    request->status = S3StatusOK;
    request->result.reset();
    state->answer[0] = state->service_md5[0] = '\0';
    vorlan_i_s3_retry_delay(request->try_count);
    if (!vorlan_i_s3_attempt_token(request)) return;
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, vorlan_l_s3_checksum_thread_name,
                     "REST: op=%p S3_head_object(bucket=%s, key=%s) try=%d\n",
                     static_cast<void *>(request->op), request->bucket, request->key,
                     request->try_count);
    S3_head_object(&request->bucket_context, request->key, nullptr, 0, &handler, state);
  } while (vorlan_i_s3_request_again(vorlan_l_s3_checksum_thread_name, request, "S3_head_object") &&
           (request->try_count < vorlan_i_s3_max_retries ||
            request->status == S3StatusHttpErrorUnauthorized));
}

// At most max_retries + 1 attempts; one that digested new bytes of a pinned object gives the
// rest a fresh budget. Without an ETag to pin to, every attempt digests from the start.
void vorlan_l_s3_checksum_download(checksum_state *state) {
  vorlan_i_s3_request_t *request = &state->request;
  static const S3GetObjectHandler handler = {
      {vorlan_l_s3_checksum_compute_properties, vorlan_l_s3_checksum_complete},
      vorlan_l_s3_checksum_data};
  const bool pinned = !state->etag.empty();
  const S3GetConditions conditions = {-1, -1, state->etag.c_str(), nullptr};
  state->next_update = vorlan_i_s3_env->checksum_clock() + state->update_interval;
  request->try_count = 0;
  int resumes = 0;
  for (;;) {
    request->status = S3StatusOK;
    request->result.reset();
    if (!pinned || state->digest == nullptr) {
      vorlan_i_s3_checksum_free(&state->digest);
      vorlan_result_t result = vorlan_i_s3_checksum_init_digests(&state->digest, state->digests);
      if (result != VORLAN_SUCCESS) {
        request->result.reset(result);
        return;
      }
    }
    const uint64_t digested = state->digest->byte_count;
    if (state->length != -1 && digested >= static_cast<uint64_t>(state->length)) return;
    vorlan_i_s3_retry_delay(request->try_count);
    if (!vorlan_i_s3_attempt_token(request)) return;
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, vorlan_l_s3_checksum_thread_name,
                     "REST: op=%p S3_get_object(bucket=%s, key=%s) try=%d\n",
                     static_cast<void *>(request->op), request->bucket, request->key,
                     request->try_count);
    const uint64_t count = state->length == -1 ? 0 : state->length - digested;
    S3_get_object(&request->bucket_context, request->key, pinned ? &conditions : nullptr,
                  state->offset + digested, count, nullptr, 0, &handler, state);
    if (pinned && state->digest->byte_count > digested && S3_status_is_retryable(request->status) &&
        resumes < vorlan_l_s3_checksum_max_resumes) {
      ++resumes;
      request->try_count = 0;
    }
    if (!vorlan_i_s3_request_again(vorlan_l_s3_checksum_thread_name, request, "S3_get_object")) {
      return;
    }
  }
}

void vorlan_l_s3_checksum_finish_digest(checksum_state *state) {
  vorlan_i_s3_request_t *request = &state->request;
  // The object ended inside the range: its digest would be of fewer bytes than asked for, so
  // the range fails as one that starts past the end does.
  if (state->length != -1 && state->digest->byte_count < static_cast<uint64_t>(state->length)) {
    char message[96];
    std::snprintf(message, sizeof message,
                  "The requested range is not satisfiable: the object ends at byte %llu",
                  static_cast<unsigned long long>(state->offset) + state->digest->byte_count);
    const S3ErrorDetails details = {message, nullptr, nullptr, 0, nullptr};
    vorlan_i_s3_request_complete(request, S3StatusErrorInvalidRange, &details, nullptr);
    return;
  }
  vorlan_result_t result = vorlan_i_s3_checksum_finalize(state->digest);
  if (result != VORLAN_SUCCESS) {
    request->result.reset(result);
    return;
  }
  vorlan_i_s3_checksums texts = vorlan_i_s3_checksum_texts(state->digest);
  std::memcpy(state->answer, texts.of(state->algorithm), sizeof(state->answer));
  if (state->offset == 0 && state->length == -1) {
    if (texts.md5[0] == '\0') std::memcpy(texts.md5, state->service_md5, sizeof(texts.md5));
    vorlan_i_s3_checksums_add(request->bucket, request->key, state->etag.c_str(),
                              state->digest->byte_count, texts);
  }
}

void *vorlan_l_s3_checksum_thread(void *arg) {
  auto *state = static_cast<checksum_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  vorlan_i_s3_request_t *request = &state->request;
  vorlan_l_s3_checksum_metadata(state);
  const bool nothing_to_read =
      state->length == 0 || (state->length == -1 && state->size_known &&
                             static_cast<uint64_t>(state->offset) == state->object_size);
  const int algorithm = static_cast<int>(state->algorithm);
  if (request->result == VORLAN_SUCCESS && state->answer[0] == '\0' && nothing_to_read) {
    std::strcpy(state->answer, vorlan_l_s3_checksum_of_nothing[algorithm]);
  }
  if (request->result == VORLAN_SUCCESS && state->answer[0] == '\0') {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "op=%p no_%s_metadata_available\n",
                  static_cast<void *>(request->op), vorlan_i_s3_algorithm_name(state->algorithm));
    // A whole object's download digests every algorithm for the cache, except an MD5 the
    // service already gave; a range's only the one asked for.
    if (state->offset == 0 && state->length == -1) {
      state->digests = vorlan_i_s3_digest_all;
      if (state->service_md5[0] != '\0') state->digests &= ~vorlan_i_s3_digest_md5;
    } else {
      state->digests = vorlan_i_s3_digest_bit(state->algorithm);
    }
    vorlan_l_s3_checksum_download(state);
    if (request->result == VORLAN_SUCCESS) vorlan_l_s3_checksum_finish_digest(state);
  }
  const vorlan_result_t result = request->result.release();
  const char *answer =
      result == VORLAN_SUCCESS && state->answer[0] != '\0' ? state->answer : nullptr;
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "finished_command: op=%p result=%#x checksum=%.*s\n",
                static_cast<void *>(request->op), static_cast<unsigned>(result), 33, state->answer);
  vorlan_gridftp_server_finished_command(request->op, result, answer);
  vorlan_i_s3_request_free(state);
  VORLAN_S3_TRACE_EXIT();
  return nullptr;
}

vorlan_result_t vorlan_l_s3_checksum_prepare(checksum_state *state,
                                             const vorlan_gfs_command_info_t *cmd_info,
                                             vorlan_i_s3_algorithm algorithm) {
  if (cmd_info->cksm_offset < 0 || cmd_info->cksm_length < -1) {
    return vorlan_i_s3_system_error(EINVAL, "checksum");
  }
  state->algorithm = algorithm;
  state->offset = cmd_info->cksm_offset;
  state->length = cmd_info->cksm_length;
  int interval = 0;
  vorlan_gridftp_server_get_update_interval(state->request.op, &interval);
  state->update_interval = interval > 0 ? interval : 0;
  return vorlan_i_s3_request_prepare(&state->request, true);
}

}  // namespace

void vorlan_i_s3_checksum(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                          void *session) {
  VORLAN_S3_TRACE_ENTER();
  auto *s3_handle = static_cast<vorlan_i_s3_handle_t *>(session);
  assert(s3_handle != NULL);
  assert(cmd_info != NULL);
  assert(cmd_info->pathname != NULL);
  const char *name = vorlan_i_s3_str(cmd_info->cksm_alg);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "checksum: op=%p pathname=%s alg=%s offset=%ld length=%ld\n",
                static_cast<void *>(op), cmd_info->pathname, name,
                static_cast<long>(cmd_info->cksm_offset), static_cast<long>(cmd_info->cksm_length));
  vorlan_i_s3_algorithm algorithm = vorlan_i_s3_algorithm::md5;
  if (!vorlan_i_s3_algorithm_parse(name, &algorithm)) {
    vorlan_i_s3_command_finish(__func__, op,
                               VORLAN_S3_ERROR("Unknown checksum algorithm \"%s\"", name), nullptr);
  } else {
    vorlan_i_s3_command_start<checksum_state>(
        __func__, op, s3_handle, cmd_info->pathname, "checksum", false, vorlan_l_s3_checksum_thread,
        [cmd_info, algorithm](checksum_state *state) {
          return vorlan_l_s3_checksum_prepare(state, cmd_info, algorithm);
        });
  }
  VORLAN_S3_TRACE_EXIT();
}
