// Downloads (the storage interface's send): one ranged GET per range the host asks for, the
// body handed to the host as writes at their file offsets, no more than the host's optimal
// concurrency at a time, and a whole object's MD5, ADLER32 and CRC32C, digested as its bytes
// pass, kept in the checksum cache.
//
// A GET that fails part-way is resumed at the first byte not yet received, pinned with
// If-Match to the ETag the transfer first saw, so bytes never land twice nor come from two
// versions of the object.
//
// A range longer than one part, with more than one request allowed at once, goes in slices
// (send_slices.cc) that hand their bytes on through vorlan_i_s3_send_bytes_locked.
#include "vorlan_i_s3.h"
#include "vorlan_i_s3_copy.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// Resumes of one range, each after an attempt that delivered new bytes: a service that cuts
// every body short must not keep a download going forever.
constexpr int vorlan_l_s3_send_max_resumes = 100;
constexpr const char *vorlan_l_s3_send_thread_name = "vorlan_l_s3_send_thread";

void vorlan_l_s3_send_write_callback(vorlan_gfs_operation_t op, vorlan_result_t result,
                                     vorlan_byte_t *buffer, vorlan_size_t nbytes, void *user_arg);

// Registers pending buffers as writes while fewer than the optimal concurrency are registered.
// `guard` holds the lock and is released around each host call; the buffer is listed as
// registered first, so a completion that comes at once finds it. One thread registers at a
// time, so the host sees the offsets in order; another finds its buffers taken by that one's
// loop. Returns 0, or 1 once the transfer has failed.
int vorlan_l_s3_send_pending_buffers(transfer_state *transfer_state,
                                     std::unique_lock<std::mutex> &guard) {
  VORLAN_S3_TRACE_ENTER();
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Currently %d blocks registered\n",
                vorlan_i_s3_buffer_count(transfer_state->registered_buffers));
  if (transfer_state->registering) return transfer_state->failed() ? 1 : 0;
  transfer_state->registering = true;
  while (transfer_state->pending_buffers != nullptr && !transfer_state->failed() &&
         vorlan_i_s3_buffer_count(transfer_state->registered_buffers) <
             transfer_state->concurrency) {
    s3_buffer *buffer = transfer_state->pending_buffers;
    transfer_state->pending_buffers = buffer->next;
    if (transfer_state->pending_buffers == nullptr) {
      transfer_state->pending_buffers_tail = &transfer_state->pending_buffers;
    }
    buffer->next = transfer_state->registered_buffers;
    transfer_state->registered_buffers = buffer;
    ++transfer_state->outstanding;
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "registering write buffer=%p size=%zd offset=%lu\n",
                  static_cast<void *>(buffer->data()), static_cast<ssize_t>(buffer->buffer_used),
                  static_cast<unsigned long>(buffer->offset));
    guard.unlock();
    vorlan_result_t result = vorlan_gridftp_server_register_write(
        transfer_state->request.op, reinterpret_cast<vorlan_byte_t *>(buffer->data()),
        buffer->buffer_used, buffer->offset, -1, vorlan_l_s3_send_write_callback, transfer_state);
    guard.lock();
    if (result != VORLAN_SUCCESS) vorlan_i_s3_transfer_refused(transfer_state, buffer, result);
  }
  transfer_state->registering = false;
  transfer_state->cond.notify_all();
  const int status = transfer_state->failed() ? 1 : 0;
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit status=%d: %s\n", status,
                status == 0 ? "success" : "failure");
  return status;
}

void vorlan_l_s3_send_write_callback(vorlan_gfs_operation_t /*op*/, vorlan_result_t result,
                                     vorlan_byte_t *buffer, vorlan_size_t /*nbytes*/,
                                     void *user_arg) {
  auto *transfer_state = static_cast<struct transfer_state *>(user_arg);
  std::unique_lock<std::mutex> guard(transfer_state->lock);
  if (s3_buffer *written = vorlan_i_s3_buffer_unlink(&transfer_state->registered_buffers, buffer)) {
    vorlan_i_s3_buffer_release(transfer_state, written);
  }
  // A write the host could not complete is data the client never gets.
  vorlan_i_s3_transfer_fail(transfer_state, result);
  vorlan_l_s3_send_pending_buffers(transfer_state, guard);
  --transfer_state->outstanding;
  transfer_state->cond.notify_all();
}

}  // namespace

// The range is received: a partly filled buffer goes to the host too.
void vorlan_i_s3_send_range_done(transfer_state *transfer_state,
                                 std::unique_lock<std::mutex> &guard) {
  s3_buffer *last = transfer_state->current_buffer;
  if (last != nullptr && last->buffer_used > 0) {
    *transfer_state->pending_buffers_tail = last;
    transfer_state->pending_buffers_tail = &last->next;
    transfer_state->current_buffer = nullptr;
  }
  vorlan_l_s3_send_pending_buffers(transfer_state, guard);
}

vorlan_result_t vorlan_i_s3_send_changed(const transfer_state *transfer_state,
                                         const char *new_etag) {
  if (new_etag == nullptr) {
    return VORLAN_S3_ERROR("Object \"%s\" changed during the transfer: ETag %s is gone",
                           transfer_state->request.pathname, transfer_state->etag.c_str());
  }
  return VORLAN_S3_ERROR("Object \"%s\" changed during the transfer: ETag %s, then %s",
                         transfer_state->request.pathname, transfer_state->etag.c_str(), new_etag);
}

namespace {

S3Status vorlan_l_s3_send_properties(const S3ResponseProperties *properties, void *callback_data) {
  VORLAN_S3_TRACE_ENTER();
  auto *transfer_state = static_cast<struct transfer_state *>(callback_data);
  std::lock_guard<std::mutex> guard(transfer_state->lock);
  // An ETag that is the MD5 leaves only the other digests to take; one that comes after
  // unpinned bytes (no ETag before) would be cached beside bytes of any version.
  if (transfer_state->checksum_enabled && vorlan_i_s3_metadata_has_checksum(properties)) {
    if (transfer_state->file_checksum->byte_count == 0) {
      transfer_state->file_checksum->digests &= ~vorlan_i_s3_digest_md5;
    } else {
      transfer_state->checksum_enabled = false;
    }
  }
  if (properties->eTag != nullptr) {
    if (transfer_state->etag.empty()) {
      try {
        transfer_state->etag = properties->eTag;
      } catch (const std::bad_alloc &) {
        // Unpinned, a resumed request could mix versions: give up instead.
        vorlan_i_s3_transfer_fail(transfer_state, vorlan_i_s3_malloc_error());
        return S3StatusOutOfMemory;
      }
    } else if (transfer_state->etag != properties->eTag) {
      // A service that ignored If-Match: the bytes are another version's.
      vorlan_i_s3_transfer_fail(transfer_state,
                                vorlan_i_s3_send_changed(transfer_state, properties->eTag));
      return S3StatusAbortedByCallback;
    }
  }
  // An answer may not state the object's size (a chunked 200 answer without Google Cloud's
  // stored length).
  transfer_state->answer_end = properties->objectSizeKnown != 0 ? properties->objectSize : 0;
  VORLAN_S3_TRACE_EXIT();
  return S3StatusOK;
}

S3Status vorlan_l_s3_send_data(int buffer_size, const char *buffer, void *callback_data) {
  auto *transfer_state = static_cast<struct transfer_state *>(callback_data);
  int concurrency = 0;
  vorlan_gridftp_server_get_optimal_concurrency(transfer_state->request.op, &concurrency);
  std::unique_lock<std::mutex> guard(transfer_state->lock);
  transfer_state->concurrency = std::max(concurrency, 1);
  if (transfer_state->failed()) return S3StatusAbortedByCallback;
  // The first answer that delivers a body fixes the object's end: a later attempt that finds
  // the object shorter must not move it.
  if (transfer_state->first_range && transfer_state->read_to_end &&
      transfer_state->expected_end == 0) {
    transfer_state->expected_end = transfer_state->answer_end;
  }
  return vorlan_i_s3_send_bytes_locked(transfer_state, guard, buffer, buffer_size);
}

}  // namespace

S3Status vorlan_i_s3_send_bytes_locked(transfer_state *transfer_state,
                                       std::unique_lock<std::mutex> &guard, const char *buffer,
                                       int buffer_size) {
  if (transfer_state->checksum_enabled) {
    // Only the caller, holding the next byte in offset order, digests: the lock is free for the
    // host's write completions meanwhile.
    md5_state *digest = transfer_state->file_checksum;
    guard.unlock();
    const vorlan_i_s3_error result(
        vorlan_i_s3_checksum_update(digest, buffer, static_cast<size_t>(buffer_size)));
    guard.lock();
    if (result.failed()) transfer_state->checksum_enabled = false;
  }
  uint64_t remaining = buffer_size > 0 ? static_cast<uint64_t>(buffer_size) : 0;
  while (remaining > 0) {
    const int pending_limit = 2 * transfer_state->concurrency;
    while (transfer_state->current_buffer == nullptr &&
           vorlan_i_s3_buffer_count(transfer_state->pending_buffers) > pending_limit) {
      if (vorlan_l_s3_send_pending_buffers(transfer_state, guard) != 0) {
        return S3StatusAbortedByCallback;
      }
      if (vorlan_i_s3_buffer_count(transfer_state->pending_buffers) <= pending_limit) break;
      transfer_state->cond.wait(guard);
    }
    s3_buffer *current = vorlan_i_s3_buffer_get(transfer_state, remaining);
    if (current == nullptr) {
      vorlan_i_s3_transfer_fail(transfer_state, vorlan_i_s3_malloc_error());
      return S3StatusOutOfMemory;
    }
    if (current->offset < 0) current->offset = static_cast<int64_t>(transfer_state->current_offset);
    const uint64_t copy_size = std::min(remaining, current->buffer_size - current->buffer_used);
    assert(copy_size > 0);
    vorlan_i_s3_copy(current->data() + current->buffer_used, buffer, copy_size);
    current->buffer_used += copy_size;
    transfer_state->current_offset += copy_size;
    buffer += copy_size;
    remaining -= copy_size;
    if (current->buffer_used == current->buffer_size) {
      *transfer_state->pending_buffers_tail = current;
      transfer_state->pending_buffers_tail = &current->next;
      transfer_state->current_buffer = nullptr;
    }
  }
  const int status = vorlan_l_s3_send_pending_buffers(transfer_state, guard);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit status=%d: %s\n", status,
                status == 0 ? "success" : "failure");
  return status == 0 ? S3StatusOK : S3StatusAbortedByCallback;
}

namespace {

// Whether an InvalidRange answer says the range began exactly at the end of the object. S3
// names the range and the size in its details; Google Cloud Storage may name neither, and then
// its Content-Range ("bytes */SIZE") gives the size and the range is the one this attempt
// asked for.
bool vorlan_l_s3_send_range_at_end(const transfer_state *transfer_state,
                                   const S3ErrorDetails *error_details) {
  if (error_details == nullptr || error_details->extraDetailsCount < 1) return false;
  long first = 0, last = 0, actual = 0;
  bool requested = false, sized = false, last_given = false;
  const char *content_range = nullptr;
  for (int i = 0; i < error_details->extraDetailsCount; i++) {
    const S3NameValue &detail = error_details->extraDetails[i];
    if (detail.name == nullptr || detail.value == nullptr) continue;
    if (std::strcmp(detail.name, "RangeRequested") == 0) {
      const int fields = std::sscanf(detail.value, "bytes=%li-%li", &first, &last);
      if (fields < 1) return false;
      requested = true;
      last_given = fields == 2;
    } else if (std::strcmp(detail.name, "ActualObjectSize") == 0) {
      if (std::sscanf(detail.value, "%li", &actual) != 1) return false;
      sized = true;
    } else if (std::strcmp(detail.name, "Content-Range") == 0) {
      content_range = detail.value;
    }
  }
  if (!sized &&
      (content_range == nullptr || std::sscanf(content_range, "bytes */%li", &actual) != 1)) {
    return false;
  }
  if (!requested) {
    first = static_cast<long>(transfer_state->attempt_start);
    last_given = transfer_state->range_end != 0;
  }
  // A first slice names an end although the host's range runs to the object's.
  return first != 0 && first == actual && (!last_given || transfer_state->range_open_ended);
}

void vorlan_l_s3_send_complete(S3Status status, const S3ErrorDetails *error_details,
                               void *callback_data) {
  auto *transfer_state = static_cast<struct transfer_state *>(callback_data);
  assert(transfer_state != nullptr);
  std::unique_lock<std::mutex> guard(transfer_state->lock);
  if (status == S3StatusErrorInvalidRange &&
      vorlan_l_s3_send_range_at_end(transfer_state, error_details)) {
    status = S3StatusOK;
  }
  if (status == S3StatusOK) {
    vorlan_i_s3_send_range_done(transfer_state, guard);
    return;
  }
  if (status == S3StatusErrorPreconditionFailed && !transfer_state->etag.empty()) {
    transfer_state->request.status = status;
    vorlan_i_s3_transfer_fail(transfer_state, vorlan_i_s3_send_changed(transfer_state, nullptr));
    return;
  }
  vorlan_i_s3_request_complete(&transfer_state->request, status, error_details,
                               transfer_state->request.pathname);
}

}  // namespace

// One range with the attempt loop. Each attempt asks for the bytes not yet received; one that
// delivered new bytes before it failed gives the rest of the range a fresh retry budget.
void vorlan_i_s3_send_range(transfer_state *transfer_state, uint64_t offset, int64_t length,
                            bool first_range) {
  vorlan_i_s3_request_t *request = &transfer_state->request;
  {
    std::lock_guard<std::mutex> guard(transfer_state->lock);
    transfer_state->current_offset = offset;
    transfer_state->range_end =
        length < 0 ? 0 : offset + std::min<uint64_t>(length, UINT64_MAX - offset);
    transfer_state->first_range = first_range;
  }
  static const S3GetObjectHandler handler = {
      {vorlan_l_s3_send_properties, vorlan_l_s3_send_complete}, vorlan_l_s3_send_data};
  request->try_count = 0;
  int resumes = 0;
  for (;;) {
    uint64_t start = 0;
    std::string etag;
    {
      std::unique_lock<std::mutex> guard(transfer_state->lock);
      start = transfer_state->current_offset;
      if (transfer_state->range_end != 0 && start >= transfer_state->range_end) {
        // The failed attempt had delivered the whole range.
        request->result.reset();
        vorlan_i_s3_send_range_done(transfer_state, guard);
        return;
      }
      transfer_state->attempt_start = start;
      etag = transfer_state->etag;
    }
    const uint64_t count = transfer_state->range_end != 0 ? transfer_state->range_end - start : 0;
    if (!vorlan_i_s3_transfer_attempt_begin(vorlan_l_s3_send_thread_name, request,
                                            "S3_get_object")) {
      return;
    }
    const S3GetConditions pinned = {-1, -1, etag.c_str(), nullptr};
    S3_get_object(&request->bucket_context, request->key, etag.empty() ? nullptr : &pinned, start,
                  count, nullptr, 0, &handler, transfer_state);
    bool progressed = false, failed = false;
    {
      std::lock_guard<std::mutex> guard(transfer_state->lock);
      progressed = transfer_state->current_offset > start;
      failed = transfer_state->failed();
    }
    if (S3_status_is_retryable(request->status) && progressed &&
        resumes < vorlan_l_s3_send_max_resumes) {
      ++resumes;
      request->try_count = 0;
    }
    if (!vorlan_i_s3_request_again(vorlan_l_s3_send_thread_name, request, "S3_get_object") ||
        failed) {
      return;
    }
  }
}

namespace {

// The result the host gets: the data channel's failure first (an S3 failure it caused says
// less), then the last attempt's, then the check that a whole object was sent whole.
vorlan_result_t vorlan_l_s3_send_result(transfer_state *transfer_state, uint64_t first_range_end) {
  vorlan_i_s3_request_t *request = &transfer_state->request;
  if (transfer_state->failed()) return transfer_state->channel_result.release();
  const vorlan_result_t result = request->result.release();
  if (result != VORLAN_SUCCESS || !transfer_state->read_to_end ||
      transfer_state->expected_end == 0 || first_range_end == transfer_state->expected_end) {
    return result;
  }
  return VORLAN_S3_ERROR("Unexpected end of file.  Full size: %llu, size sent: %llu",
                         static_cast<unsigned long long>(transfer_state->expected_end),
                         static_cast<unsigned long long>(first_range_end));
}

void *vorlan_l_s3_send_thread(void *arg) {
  auto *transfer_state = static_cast<struct transfer_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  const vorlan_gfs_operation_t op = transfer_state->request.op;
  // Asked before any write is registered, so no host call is made while a completion waits.
  int concurrency = 0;
  vorlan_gridftp_server_get_block_size(op, &transfer_state->block_size);
  vorlan_gridftp_server_get_optimal_concurrency(op, &concurrency);
  transfer_state->concurrency = std::max(concurrency, 1);
  vorlan_gridftp_server_begin_transfer(op, 0, nullptr);

  vorlan_off_t offset = 0, length = 0;
  vorlan_gridftp_server_get_read_range(op, &offset, &length);
  if (length == -1) {
    transfer_state->read_to_end = true;
    transfer_state->range_start = static_cast<uint64_t>(offset);
    if (offset == 0) {
      const vorlan_i_s3_error result(vorlan_i_s3_checksum_init(&transfer_state->file_checksum));
      transfer_state->checksum_enabled = !result.failed();
    }
  }
  uint64_t first_range_end = 0;
  bool checksum_ready = false;
  for (bool first = true; length != 0; first = false) {
    if (vorlan_i_s3_send_in_slices(length)) {
      vorlan_i_s3_send_slices(transfer_state, static_cast<uint64_t>(offset), length, first);
    } else {
      vorlan_i_s3_send_range(transfer_state, static_cast<uint64_t>(offset), length, first);
    }
    {
      std::lock_guard<std::mutex> guard(transfer_state->lock);
      if (first) {
        first_range_end = transfer_state->current_offset;
        // Later ranges are not part of the whole object's digest.
        if (transfer_state->checksum_enabled) {
          const vorlan_i_s3_error result(
              vorlan_i_s3_checksum_finalize(transfer_state->file_checksum));
          checksum_ready = !result.failed();
          transfer_state->checksum_enabled = false;
        }
      }
      if (transfer_state->failed() || transfer_state->request.result != VORLAN_SUCCESS) break;
    }
    vorlan_gridftp_server_get_read_range(op, &offset, &length);
  }
  if (transfer_state->request.status == S3StatusErrorInvalidObjectState) {
    vorlan_i_s3_send_restore(&transfer_state->request);
  }

  std::unique_lock<std::mutex> guard(transfer_state->lock);
  while (transfer_state->pending_buffers != nullptr && !transfer_state->failed()) {
    if (vorlan_l_s3_send_pending_buffers(transfer_state, guard) == 0 &&
        transfer_state->pending_buffers != nullptr) {
      transfer_state->cond.wait(guard);
    }
  }
  // A write still registered may yet fail the transfer.
  transfer_state->cond.wait(guard, [transfer_state] { return transfer_state->outstanding == 0; });
  const vorlan_result_t result = vorlan_l_s3_send_result(transfer_state, first_range_end);
  if (result == VORLAN_SUCCESS && checksum_ready) {
    vorlan_i_s3_checksums texts = vorlan_i_s3_checksum_texts(transfer_state->file_checksum);
    const std::string &etag = transfer_state->etag;
    // Not digested: the ETag is the MD5.
    if (texts.md5[0] == '\0' && etag.size() == 34) {
      vorlan_i_s3_hex_take(std::string_view(etag).substr(1, 32), 32, texts.md5);
    }
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_DEBUG, vorlan_l_s3_send_thread_name,
                     "checksum cached: op=%p etag=%s size=%llu md5sum=%s adler32=%s crc32c=%s\n",
                     static_cast<void *>(op), etag.c_str(),
                     static_cast<unsigned long long>(transfer_state->file_checksum->byte_count),
                     texts.md5, texts.adler32, texts.crc32c);
    vorlan_i_s3_checksums_add(transfer_state->request.bucket, transfer_state->request.key,
                              etag.c_str(), transfer_state->file_checksum->byte_count, texts);
  }
  vorlan_i_s3_transfer_finish(vorlan_l_s3_send_thread_name, transfer_state, guard, result);
  return nullptr;
}

}  // namespace

void vorlan_i_s3_send(vorlan_gfs_operation_t op, vorlan_gfs_transfer_info_t *transfer_info,
                      void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(transfer_info != nullptr);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "send: op=%p pathname=%s\n", static_cast<void *>(op),
                vorlan_i_s3_str(transfer_info->pathname));
  // A failure to start is reported by the call itself.
  (void)vorlan_i_s3_transfer_start(op, transfer_info, session, "send", vorlan_l_s3_send_thread);
  VORLAN_S3_TRACE_EXIT();
}
