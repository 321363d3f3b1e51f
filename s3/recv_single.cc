// The single-request upload: one PUT whose body streams from the host's data channel. The host
// delivers blocks in any order through read callbacks; the PUT's data callback hands them to
// the S3 library in file order, hashing them on the way. The worker holds the transfer's lock
// only while it moves buffers, so read completions run while the library sends. The service
// stores a body once its last byte arrives, so that byte waits until the data has ended without
// excess and its digests match what the client expects; data of no announced size is held until
// its end, then put with its exact length. Data past the multipart threshold goes on as a
// multipart upload (recv_multipart.cc) on the same worker.
#include "vorlan_i_s3.h"
#include "vorlan_i_s3_copy.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr const char *vorlan_l_s3_recv_thread_name = "vorlan_l_s3_recv_single_thread";

void vorlan_l_s3_recv_single_read_callback(vorlan_gfs_operation_t op, vorlan_result_t result,
                                           vorlan_byte_t *buffer, vorlan_size_t nbytes,
                                           vorlan_off_t offset, vorlan_bool_t eof, void *user_arg);

// The client announced no size (0): the data is held until its end.
bool vorlan_l_s3_recv_size_unknown(const transfer_state *transfer_state) {
  return transfer_state->transfer_info->alloc_size == 0;
}

// Whether the body can go on: its next byte has arrived and, when that is the announced size's
// last byte, the data has ended, so that data beyond the size fails the upload before the
// service can store the body.
bool vorlan_l_s3_recv_body_ready(const transfer_state *transfer_state) {
  const auto size = static_cast<uint64_t>(transfer_state->transfer_info->alloc_size);
  return vorlan_i_s3_recv_is_transfer_offset_ready(transfer_state) &&
         (transfer_state->current_offset + 1 < size ||
          vorlan_i_s3_recv_is_reading_complete(transfer_state));
}

// Whether to ask for one more read. At most the optimal number are outstanding. A body of known
// size streams: while blocks ahead of it and reads fill twice that number, a read is asked for
// only when none is outstanding and the body cannot go on (for parts: its next byte is
// missing). Data of unknown size is held: reads are asked for while what is held and their room
// stay within the threshold, so one read more than it holds tells whether the data goes past it.
bool vorlan_l_s3_recv_read_wanted(const transfer_state *transfer_state) {
  const int registered = vorlan_i_s3_buffer_count(transfer_state->registered_buffers);
  if (registered >= transfer_state->concurrency) return false;
  if (vorlan_l_s3_recv_size_unknown(transfer_state) && !transfer_state->multipart) {
    uint64_t held = 0;
    for (const s3_buffer *b = transfer_state->pending_buffers; b != nullptr; b = b->next) {
      held += b->buffer_used;
    }
    for (const s3_buffer *b = transfer_state->registered_buffers; b != nullptr; b = b->next) {
      held += b->buffer_size;
    }
    return held <= static_cast<uint64_t>(vorlan_i_s3_multipart_threshold);
  }
  const int held = registered + vorlan_i_s3_buffer_count(transfer_state->pending_buffers);
  const bool stalled = transfer_state->multipart
                           ? !vorlan_i_s3_recv_is_transfer_offset_ready(transfer_state)
                           : !vorlan_l_s3_recv_body_ready(transfer_state);
  return held < 2 * transfer_state->concurrency || (registered == 0 && stalled);
}

}  // namespace

void vorlan_i_s3_recv_register_reads(transfer_state *transfer_state,
                                     std::unique_lock<std::mutex> &guard) {
  if (transfer_state->failed() || transfer_state->eof) return;
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Currently %d blocks registered, %d blocks pending\n",
                vorlan_i_s3_buffer_count(transfer_state->registered_buffers),
                vorlan_i_s3_buffer_count(transfer_state->pending_buffers));
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Optimal is %d blocks\n", transfer_state->concurrency);
  while (!transfer_state->failed() && !transfer_state->eof) {
    if (!vorlan_l_s3_recv_read_wanted(transfer_state)) return;
    s3_buffer *buffer = vorlan_i_s3_buffer_get(transfer_state, transfer_state->block_size);
    transfer_state->current_buffer = nullptr;
    if (buffer == nullptr) {
      vorlan_i_s3_transfer_fail(transfer_state, vorlan_i_s3_malloc_error());
      break;
    }
    buffer->offset = -1;
    assert(buffer->buffer_used == 0);
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Registering read with s3_buffer=%p\n",
                  static_cast<void *>(buffer));
    buffer->next = transfer_state->registered_buffers;
    transfer_state->registered_buffers = buffer;
    ++transfer_state->outstanding;
    guard.unlock();
    vorlan_result_t result = vorlan_gridftp_server_register_read(
        transfer_state->request.op, reinterpret_cast<vorlan_byte_t *>(buffer->data()),
        buffer->buffer_size, vorlan_l_s3_recv_single_read_callback, transfer_state);
    guard.lock();
    if (result != VORLAN_SUCCESS) vorlan_i_s3_transfer_refused(transfer_state, buffer, result);
  }
  // Failed, reading stops: the transfer ends once no read is outstanding.
  if (transfer_state->failed()) transfer_state->eof = true;
}

namespace {

void vorlan_l_s3_recv_single_read_callback(vorlan_gfs_operation_t op, vorlan_result_t result,
                                           vorlan_byte_t *buffer, vorlan_size_t nbytes,
                                           vorlan_off_t offset, vorlan_bool_t eof, void *user_arg) {
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG,
                "recv_read_callback: op=%p result=%#x buffer=%p nbytes=%zd offset=%lu eof=%d "
                "user_arg=%p\n",
                static_cast<void *>(op), static_cast<unsigned>(result), static_cast<void *>(buffer),
                static_cast<ssize_t>(nbytes), static_cast<unsigned long>(offset),
                static_cast<int>(eof), user_arg);
  vorlan_gridftp_server_update_bytes_recvd(op, static_cast<vorlan_off_t>(nbytes));
  auto *transfer_state = static_cast<struct transfer_state *>(user_arg);
  std::unique_lock<std::mutex> guard(transfer_state->lock);
  transfer_state->eof = transfer_state->eof || eof;
  s3_buffer *block = vorlan_i_s3_buffer_unlink(&transfer_state->registered_buffers, buffer);
  assert(block != nullptr);
  block->buffer_used = nbytes;
  block->offset = offset;
  result = vorlan_i_s3_recv_accept_block(transfer_state, result, block);
  if (result != VORLAN_SUCCESS || transfer_state->failed()) {
    vorlan_i_s3_transfer_fail(transfer_state, result);
    transfer_state->eof = true;
  }
  --transfer_state->outstanding;
  transfer_state->cond.notify_all();
}

// Hashes the `count` bytes just handed to the PUT (the worker's alone, so without the lock).
// With its last byte the digests are final and checked against the client's expectation: a
// failure stops the request before the service can store the body.
bool vorlan_l_s3_recv_single_hash(transfer_state *transfer_state, const char *bytes, int count,
                                  bool last) {
  vorlan_result_t result =
      vorlan_i_s3_checksum_update(transfer_state->file_checksum, bytes, static_cast<size_t>(count));
  if (result == VORLAN_SUCCESS && last) {
    result = vorlan_i_s3_checksum_finalize(transfer_state->file_checksum);
    if (result == VORLAN_SUCCESS) result = vorlan_i_s3_recv_checksum_check(transfer_state);
  }
  if (result == VORLAN_SUCCESS) return true;
  std::lock_guard<std::mutex> guard(transfer_state->lock);
  vorlan_i_s3_transfer_fail(transfer_state, result);
  return false;
}

// The PUT's body, in file order. Waits only while the body cannot go on; once it has copied
// something it returns a short count rather than wait for a later block.
int vorlan_l_s3_recv_single_data(int buffer_size, char *buffer, void *callback_data) {
  auto *transfer_state = static_cast<struct transfer_state *>(callback_data);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "recv_single_data: op=%p buffer_size=%d buffer=%p\n",
                static_cast<void *>(transfer_state->request.op), buffer_size,
                static_cast<void *>(buffer));
  std::unique_lock<std::mutex> guard(transfer_state->lock);
  // Registering releases the lock around each host call, and a read may complete meanwhile:
  // the state is checked again after it, or that completion's wake-up would be missed.
  for (;;) {
    vorlan_i_s3_recv_register_reads(transfer_state, guard);
    if (vorlan_l_s3_recv_body_ready(transfer_state) ||
        vorlan_i_s3_recv_is_reading_complete(transfer_state) || transfer_state->failed()) {
      break;
    }
    if (vorlan_i_s3_recv_is_transfer_offset_ready(transfer_state)) {
      VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG,
                    "recv_single_data: op=%p last byte at offset %llu held until the end of the "
                    "data\n",
                    static_cast<void *>(transfer_state->request.op),
                    static_cast<unsigned long long>(transfer_state->current_offset));
    }
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Waiting for current offset %lu to be ready\n",
                  static_cast<unsigned long>(transfer_state->current_offset));
    transfer_state->cond.wait(guard);
  }
  if (transfer_state->failed()) return -1;
  if (buffer_size < 1) return 0;
  const bool ended = vorlan_i_s3_recv_is_reading_complete(transfer_state);
  const auto size = static_cast<uint64_t>(transfer_state->transfer_info->alloc_size);
  int copied = 0;
  while (copied < buffer_size && vorlan_i_s3_recv_is_transfer_offset_ready(transfer_state)) {
    s3_buffer *head = transfer_state->pending_buffers;
    uint64_t to_copy =
        std::min<uint64_t>(static_cast<uint64_t>(buffer_size - copied), head->buffer_used);
    if (!ended) to_copy = std::min(to_copy, size - 1 - transfer_state->current_offset);
    if (to_copy == 0) break;
    vorlan_i_s3_copy(buffer + copied, head->data() + head->data_start, to_copy);
    copied += static_cast<int>(to_copy);
    transfer_state->current_offset += to_copy;
    if (to_copy == head->buffer_used) {
      VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "add_to_pending_buffers: op=%p s3_buffer=%p\n",
                    static_cast<void *>(transfer_state->request.op), static_cast<void *>(head));
      transfer_state->pending_buffers = head->next;
      if (transfer_state->pending_buffers == nullptr) {
        transfer_state->pending_buffers_tail = &transfer_state->pending_buffers;
      }
      vorlan_i_s3_buffer_release(transfer_state, head);
      continue;
    }
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "partial_buffer_copy: op=%p bytes_copied=%d\n",
                  static_cast<void *>(transfer_state->request.op), static_cast<int>(to_copy));
    head->data_start += to_copy;
    head->buffer_used -= to_copy;
    head->offset += static_cast<int64_t>(to_copy);
  }
  if (copied == 0) {
    // The client ended its data before the size it announced: stop the request, so that no
    // truncated object is stored.
    vorlan_i_s3_transfer_fail(
        transfer_state,
        VORLAN_S3_ERROR("Unexpected end of data.  Size announced: %llu, size received: %llu",
                        static_cast<unsigned long long>(transfer_state->transfer_info->alloc_size),
                        static_cast<unsigned long long>(transfer_state->current_offset)));
    return -1;
  }
  const bool last = transfer_state->current_offset == transfer_state->expected_end;
  guard.unlock();
  return vorlan_l_s3_recv_single_hash(transfer_state, buffer, copied, last) ? copied : -1;
}

// The answer's ETag names the stored object in the checksum cache.
S3Status vorlan_l_s3_recv_single_properties(const S3ResponseProperties *properties,
                                            void *callback_data) {
  auto *transfer_state = static_cast<struct transfer_state *>(callback_data);
  std::lock_guard<std::mutex> guard(transfer_state->lock);
  if (transfer_state->failed()) return S3StatusAbortedByCallback;
  try {
    transfer_state->etag = vorlan_i_s3_str(properties->eTag);
  } catch (const std::bad_alloc &) {
    transfer_state->etag.clear();
  }
  return S3StatusOK;
}

void vorlan_l_s3_recv_single_complete(S3Status status, const S3ErrorDetails *error_details,
                                      void *callback_data) {
  auto *transfer_state = static_cast<struct transfer_state *>(callback_data);
  vorlan_i_s3_request_complete(&transfer_state->request, status, error_details,
                               transfer_state->request.pathname);
}

// The PUT with the attempt loop. Once any body byte went to the library an attempt cannot be
// repeated (the data channel cannot rewind), so its error is the upload's.
void vorlan_l_s3_recv_single_put(transfer_state *transfer_state, uint64_t size,
                                 const S3PutProperties *properties) {
  vorlan_i_s3_request_t *request = &transfer_state->request;
  static const S3PutObjectHandler handler = {
      {vorlan_l_s3_recv_single_properties, vorlan_l_s3_recv_single_complete},
      vorlan_l_s3_recv_single_data};
  bool again = false;
  do {
    if (!vorlan_i_s3_transfer_attempt_begin(vorlan_l_s3_recv_thread_name, request,
                                            "S3_put_object")) {
      break;
    }
    S3_put_object(&request->bucket_context, request->key, size, properties, nullptr, 0, &handler,
                  transfer_state);
    again = vorlan_i_s3_request_again(vorlan_l_s3_recv_thread_name, request, "S3_put_object");
    std::lock_guard<std::mutex> guard(transfer_state->lock);
    again = again && transfer_state->current_offset == 0 && !transfer_state->failed();
  } while (again);
}

// The texts the PUT's properties point at besides the path's.
struct vorlan_l_s3_put_texts {
  S3NameValue metadata[2];
  char md5[25];
  char mtime[21];
  char crc32c[9];
};

// The client's expected checksum: an MD5 goes as Content-MD5 for the service to check; an ADLER32
// or CRC32C is checked here (a CRC32C by the service too). Each is stored as its metadata entry.
vorlan_result_t vorlan_l_s3_recv_single_expectation(transfer_state *transfer_state,
                                                    S3PutProperties *properties,
                                                    vorlan_l_s3_put_texts *texts) {
  const vorlan_gfs_transfer_info_t *info = transfer_state->transfer_info;
  vorlan_i_s3_algorithm algorithm = vorlan_i_s3_algorithm::md5;
  if (!vorlan_i_s3_algorithm_parse(info->expected_checksum_alg, &algorithm)) return VORLAN_SUCCESS;
  const char *name = vorlan_i_s3_algorithm_name(algorithm);
  S3NameValue &entry = texts->metadata[properties->metaDataCount];
  if (algorithm == vorlan_i_s3_algorithm::md5) {
    if (info->expected_checksum == nullptr || std::strlen(info->expected_checksum) != 32) {
      return VORLAN_S3_ERROR("%s", "Invalid md5 checksum");
    }
    const vorlan_result_t result = vorlan_i_s3_md5sum_encode(info->expected_checksum, texts->md5);
    if (result != VORLAN_SUCCESS) return result;
    properties->md5 = texts->md5;
    entry = {name, texts->md5};
  } else {
    if (!vorlan_i_s3_checksum32_take_hex(info->expected_checksum,
                                         transfer_state->expected_checksum)) {
      return VORLAN_S3_ERROR("Invalid %s checksum", name);
    }
    transfer_state->expected_algorithm = algorithm;
    if (algorithm == vorlan_i_s3_algorithm::crc32c &&
        vorlan_i_s3_checksum32_encode(transfer_state->expected_checksum, texts->crc32c)) {
      properties->crc32c = texts->crc32c;
    }
    entry = {name, transfer_state->expected_checksum};
  }
  ++properties->metaDataCount;
  return VORLAN_SUCCESS;
}

// Content type, storage class, "mtime" and the expected checksum: what the PUT (or the
// multipart upload's creation) carries besides the body.
vorlan_result_t vorlan_l_s3_recv_single_properties_fill(transfer_state *transfer_state,
                                                        S3PutProperties *properties,
                                                        vorlan_l_s3_put_texts *texts) {
  properties->contentType = vorlan_i_s3_mime_type_get(transfer_state->request.key);
  properties->storageClass = vorlan_i_s3_storage_class;
  properties->expires = -1;
  properties->metaData = texts->metadata;
  time_t mtime = -1;
  const vorlan_i_s3_error mtime_result(
      vorlan_gridftp_server_get_recv_modification_time(transfer_state->request.op, &mtime));
  if (!mtime_result.failed() && mtime != -1) {
    std::snprintf(texts->mtime, sizeof texts->mtime, "%ld", static_cast<long>(mtime));
    texts->metadata[properties->metaDataCount++] = {"mtime", texts->mtime};
  }
  return vorlan_l_s3_recv_single_expectation(transfer_state, properties, texts);
}

// The single PUT of `size` bytes, its digests checked before its last byte goes (before the
// request, when there is none) and cached under the stored object's ETag.
void vorlan_l_s3_recv_single_store(transfer_state *transfer_state, uint64_t size,
                                   const S3PutProperties *properties,
                                   std::unique_lock<std::mutex> &guard) {
  transfer_state->expected_end = size;
  if (size == 0) {
    vorlan_result_t result = vorlan_i_s3_checksum_finalize(transfer_state->file_checksum);
    if (result == VORLAN_SUCCESS) result = vorlan_i_s3_recv_checksum_check(transfer_state);
    vorlan_i_s3_transfer_fail(transfer_state, result);
    if (transfer_state->failed()) return;
  }
  guard.unlock();
  vorlan_l_s3_recv_single_put(transfer_state, size, properties);
  const bool stored = transfer_state->request.result == VORLAN_SUCCESS;
  guard.lock();
  if (stored && !transfer_state->failed()) {
    vorlan_i_s3_recv_checksum_cache(vorlan_l_s3_recv_thread_name, transfer_state,
                                    transfer_state->etag.c_str());
  }
}

// The end of the last block held: the body's length once the data has ended.
uint64_t vorlan_l_s3_recv_held_end(const transfer_state *transfer_state) {
  uint64_t size = 0;
  for (const s3_buffer *b = transfer_state->pending_buffers; b != nullptr; b = b->next) {
    size = static_cast<uint64_t>(b->offset) + b->buffer_used;
  }
  return size;
}

// Data of unknown size: reads until the end of the data or until more than the threshold is
// held (lock held through `guard`), keeping every block, and returns the end of the last block
// held. A failure is recorded and nothing is sent.
uint64_t vorlan_l_s3_recv_hold_all(transfer_state *transfer_state,
                                   std::unique_lock<std::mutex> &guard) {
  const auto threshold = static_cast<uint64_t>(vorlan_i_s3_multipart_threshold);
  for (;;) {
    vorlan_i_s3_recv_register_reads(transfer_state, guard);
    if (transfer_state->failed() || vorlan_i_s3_recv_is_reading_complete(transfer_state) ||
        vorlan_l_s3_recv_held_end(transfer_state) > threshold) {
      break;
    }
    transfer_state->cond.wait(guard);
  }
  const uint64_t size = vorlan_l_s3_recv_held_end(transfer_state);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "recv_hold_all: op=%p size=%llu\n",
                static_cast<void *>(transfer_state->request.op),
                static_cast<unsigned long long>(size));
  return size;
}

void *vorlan_l_s3_recv_single_thread(void *arg) {
  auto *transfer_state = static_cast<struct transfer_state *>(arg);
  VORLAN_S3_TRACE_ENTER();
  vorlan_i_s3_request_t *request = &transfer_state->request;
  // Asked before any read is registered, so no host call is made while a completion waits.
  int concurrency = 0;
  vorlan_gridftp_server_get_block_size(request->op, &transfer_state->block_size);
  vorlan_gridftp_server_get_optimal_concurrency(request->op, &concurrency);
  transfer_state->concurrency = std::max(concurrency, 1);

  S3PutProperties properties{};
  vorlan_l_s3_put_texts texts{};
  vorlan_result_t result =
      vorlan_l_s3_recv_single_properties_fill(transfer_state, &properties, &texts);
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_checksum_init(&transfer_state->file_checksum);
  std::unique_lock<std::mutex> guard(transfer_state->lock);
  if (result == VORLAN_SUCCESS) {
    guard.unlock();
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "begin_transfer: op=%p pathname=%s\n",
                  static_cast<void *>(request->op), request->pathname);
    vorlan_gridftp_server_begin_transfer(request->op, 0, nullptr);
    guard.lock();
    uint64_t size = static_cast<uint64_t>(transfer_state->transfer_info->alloc_size);
    if (vorlan_l_s3_recv_size_unknown(transfer_state)) {
      size = vorlan_l_s3_recv_hold_all(transfer_state, guard);
    } else if (size <= static_cast<uint64_t>(vorlan_i_s3_multipart_threshold)) {
      vorlan_i_s3_recv_register_reads(transfer_state, guard);
    }
    if (!transfer_state->failed() &&
        size > static_cast<uint64_t>(vorlan_i_s3_multipart_threshold)) {
      vorlan_i_s3_recv_multipart(transfer_state, guard, &properties);
    } else if (!transfer_state->failed()) {
      vorlan_l_s3_recv_single_store(transfer_state, size, &properties, guard);
    }
    // A stored body's last byte waited for the end of the data, so a read still outstanding
    // belongs to a failed upload; its completion is awaited.
    transfer_state->cond.wait(guard, [transfer_state] { return transfer_state->outstanding == 0; });
    result = transfer_state->failed() ? transfer_state->channel_result.release()
                                      : request->result.release();
  }
  vorlan_i_s3_transfer_finish(vorlan_l_s3_recv_thread_name, transfer_state, guard, result);
  return nullptr;
}

// Moves the bytes of the pending block after `block` behind its own when they continue them
// and fit, and releases that block. Returns whether it did.
bool vorlan_l_s3_recv_join_next(transfer_state *transfer_state, s3_buffer *block) {
  s3_buffer *next = block->next;
  if (next == nullptr ||
      static_cast<uint64_t>(block->offset) + block->buffer_used !=
          static_cast<uint64_t>(next->offset) ||
      block->buffer_size - block->data_start - block->buffer_used < next->buffer_used) {
    return false;
  }
  vorlan_i_s3_copy(block->data() + block->data_start + block->buffer_used,
                   next->data() + next->data_start, next->buffer_used);
  block->buffer_used += next->buffer_used;
  block->next = next->next;
  if (block->next == nullptr) transfer_state->pending_buffers_tail = &block->next;
  vorlan_i_s3_buffer_release(transfer_state, next);
  return true;
}

}  // namespace

vorlan_result_t vorlan_i_s3_recv_accept_block(transfer_state *transfer_state,
                                              vorlan_result_t result, s3_buffer *block) {
  const bool unknown = vorlan_l_s3_recv_size_unknown(transfer_state);
  const uint64_t size = unknown ? vorlan_i_s3_recv_max_size
                                : static_cast<uint64_t>(transfer_state->transfer_info->alloc_size);
  const auto start = static_cast<uint64_t>(block->offset);
  const uint64_t count = block->buffer_used;
  // Unsigned and without a sum, so that no offset can wrap past the check.
  if (result == VORLAN_SUCCESS && (start > size || count > size - start)) {
    result = unknown ? VORLAN_S3_ERROR("%s", "File upload too large")
                     : vorlan_i_s3_system_error(EFBIG, "write");
  }
  if (result != VORLAN_SUCCESS || transfer_state->failed() || count == 0) {
    vorlan_i_s3_buffer_release(transfer_state, block);
    return result;
  }
  s3_buffer **link = &transfer_state->pending_buffers;
  s3_buffer *before = nullptr;
  while (*link != nullptr &&
         static_cast<uint64_t>((*link)->offset) + (*link)->buffer_used <= start) {
    before = *link;
    link = &(*link)->next;
  }
  if (start < transfer_state->current_offset ||
      (*link != nullptr && static_cast<uint64_t>((*link)->offset) < start + count)) {
    vorlan_i_s3_buffer_release(transfer_state, block);
    return VORLAN_S3_ERROR("Block at offset %llu (%llu bytes) overlaps data already received",
                           static_cast<unsigned long long>(start),
                           static_cast<unsigned long long>(count));
  }
  block->next = *link;
  *link = block;
  if (block->next == nullptr) transfer_state->pending_buffers_tail = &block->next;
  // Short reads would each keep a whole buffer: blocks that continue one another join while
  // they fit, so that what an upload holds follows its data.
  if (before != nullptr && vorlan_l_s3_recv_join_next(transfer_state, before)) block = before;
  while (vorlan_l_s3_recv_join_next(transfer_state, block)) {
  }
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_i_s3_recv_single(vorlan_gfs_operation_t op,
                                        vorlan_gfs_transfer_info_t *transfer_info, void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(transfer_info != nullptr);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "recv: op=%p pathname=%s\n", static_cast<void *>(op),
                vorlan_i_s3_str(transfer_info->pathname));
  const vorlan_result_t result = vorlan_i_s3_transfer_start(op, transfer_info, session, "recv",
                                                            vorlan_l_s3_recv_single_thread);
  VORLAN_S3_TRACE_EXIT();
  return result;
}
