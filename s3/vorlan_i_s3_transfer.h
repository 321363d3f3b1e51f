// Downloads and uploads: the transfer record, its pool of buffers and the steps send and recv
// share. The worker thread owns a transfer record; the host's completion callbacks and the S3
// library's callbacks reach it under its `lock`, which the worker releases around every host
// call and S3 request.
#ifndef VORLAN_I_S3_TRANSFER_H
#define VORLAN_I_S3_TRANSFER_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "vorlan_i_s3_checksum.h"
#include "vorlan_i_s3_request.h"

// The storage interface's send (download) and recv (upload) slots.
void vorlan_i_s3_send(vorlan_gfs_operation_t op, vorlan_gfs_transfer_info_t *transfer_info,
                      void *session);
vorlan_result_t vorlan_i_s3_recv(vorlan_gfs_operation_t op,
                                 vorlan_gfs_transfer_info_t *transfer_info, void *session);

// One pool buffer: this header, then buffer_size data bytes in the same allocation.
struct s3_buffer {
  uint64_t buffer_size;
  uint64_t buffer_used;
  int64_t offset;  // file offset of the first held byte, -1 while none is assigned
  s3_buffer *next;
  // Bytes at the front of the data area already handed on: the held bytes start after them,
  // so a partly sent block is not moved.
  uint64_t data_start;
  char *data() { return reinterpret_cast<char *>(this + 1); }
};

// A download or an upload. The worker thread owns the record; the host's completion callbacks
// and the S3 library's callbacks reach it under `lock`. Every list and counter below is guarded
// by `lock`; the worker releases it around every host call and S3 request, so a host that
// completes I/O at once on another thread never waits behind it.
struct transfer_state {
  vorlan_i_s3_request_t request;
  vorlan_gfs_transfer_info_t *transfer_info = nullptr;
  // Download: the offset of the next byte the service delivers. Upload: the offset of the next
  // byte handed to the service.
  uint64_t current_offset = 0;
  uint64_t range_start = 0;
  uint64_t expected_end = 0;
  bool read_to_end = false;
  bool eof = false;        // upload: the host reported the end of the data, or reading failed
  bool multipart = false;  // upload: sent in parts, so reads stream whatever the size
  s3_buffer *registered_buffers = nullptr;
  s3_buffer *pending_buffers = nullptr;  // by file offset
  s3_buffer **pending_buffers_tail = &pending_buffers;
  s3_buffer *current_buffer = nullptr;
  s3_buffer *free_buffers = nullptr;
  vorlan_size_t block_size = 0;  // asked of the host once, before any I/O is registered
  int concurrency = 1;           // the host's optimal concurrency, at least 1
  // Registrations whose callback has not returned yet: the record lives until this is 0.
  int outstanding = 0;
  // The data channel's first failure. The attempt loop clears `request.result` before each
  // attempt; this stays, and wins over an S3 failure it caused.
  vorlan_i_s3_error channel_result;
  // Download: the range being read (range_end 0 when it runs to the end of the object), the
  // first byte the current attempt asked for and the object's size its answer announced (0 when
  // unstated), and whether it is the transfer's first range.
  uint64_t range_end = 0;
  uint64_t attempt_start = 0;
  uint64_t answer_end = 0;
  bool first_range = false;
  std::string etag;  // download: the ETag every later request is pinned to
  bool checksum_enabled = false;
  md5_state *file_checksum = nullptr;
  // Download, in slices: the host's range runs to the end of the object while its first slice
  // names an end, and a thread is registering writes (the others leave theirs to it).
  bool range_open_ended = false;
  bool registering = false;
  // Upload: the ADLER32 or CRC32C the client expects of the whole data (8 lower-case digits, ""
  // when it named none), checked before the object is committed.
  vorlan_i_s3_algorithm expected_algorithm = vorlan_i_s3_algorithm::md5;
  char expected_checksum[9] = "";
  std::mutex lock;
  std::condition_variable cond;

  bool failed() const { return channel_result.failed(); }
};

// The entry points' common part: the record for the request `name`, the key check, the bucket
// context and the worker `thread_func`, which then owns the record. A failure is reported to
// the host at once (and returned, the host having taken it over).
vorlan_result_t vorlan_i_s3_transfer_start(vorlan_gfs_operation_t op,
                                           vorlan_gfs_transfer_info_t *transfer_info, void *session,
                                           const char *name, void *(*thread_func)(void *));

// The pool (caller holds `lock`). get returns the current buffer, making one current when there
// is none (null when memory runs out); release puts a buffer on the free list.
s3_buffer *vorlan_i_s3_buffer_get(transfer_state *transfer_state, uint64_t requested_size);
void vorlan_i_s3_buffer_release(transfer_state *transfer_state, s3_buffer *s3_buffer);
int32_t vorlan_i_s3_buffer_count(const s3_buffer *first);
// Unlinks and returns the buffer of `list` whose data area is `data`; null when none is.
s3_buffer *vorlan_i_s3_buffer_unlink(s3_buffer **list, const void *data);
// Frees every buffer of the list and empties it.
void vorlan_i_s3_buffer_free_list(s3_buffer **list);
// Opens an attempt of a transfer's own attempt loop (outside the transfer's lock): status and
// result cleared, the back-off for try_count, the session's current token taken, and the "REST:"
// line for `call_name` logged under `func_name`, the worker's name. False when no attempt may
// be made (the token's renewal failed; its error is the request's result).
[[nodiscard]] bool vorlan_i_s3_transfer_attempt_begin(const char *func_name,
                                                      vorlan_i_s3_request_t *request,
                                                      const char *call_name);
// Takes over `result` as a data-channel failure; the first one stays in channel_result.
void vorlan_i_s3_transfer_fail(transfer_state *transfer_state, vorlan_result_t result);
// Undoes a registration the host refused (lock held): the buffer leaves the registered list
// for the free list, and `result` fails the transfer.
void vorlan_i_s3_transfer_refused(transfer_state *transfer_state, s3_buffer *buffer,
                                  vorlan_result_t result);
// Waits, with `guard` holding the transfer's lock, until no registration is outstanding, then
// logs "finished_transfer" under `func_name` (the worker's), reports `result` with
// vorlan_gridftp_server_finished_transfer and releases the record with all its buffers.
void vorlan_i_s3_transfer_finish(const char *func_name, transfer_state *transfer_state,
                                 std::unique_lock<std::mutex> &guard, vorlan_result_t result);

// ---- Downloads (send.cc, send_slices.cc) ----
// One host range through one request at a time, resumed at its first missing byte.
void vorlan_i_s3_send_range(transfer_state *transfer_state, uint64_t offset, int64_t length,
                            bool first_range);
// Hands the next `buffer_size` bytes in offset order to the pool and the host (lock held in
// `guard`, released around host calls; waits while too many blocks are pending). The MD5 is
// updated on the way.
S3Status vorlan_i_s3_send_bytes_locked(transfer_state *transfer_state,
                                       std::unique_lock<std::mutex> &guard, const char *buffer,
                                       int buffer_size);
// The range is received: its partly filled last block goes to the host too (lock held).
void vorlan_i_s3_send_range_done(transfer_state *transfer_state,
                                 std::unique_lock<std::mutex> &guard);
// "Object ... changed during the transfer": the pinned ETag is gone (new_etag null) or an answer
// carried another.
vorlan_result_t vorlan_i_s3_send_changed(const transfer_state *transfer_state,
                                         const char *new_etag);
// A download slice's bytes: vorlan_i_s3_part_size, or 8 MiB when automatic.
uint64_t vorlan_i_s3_send_part_size();
// Whether a host range of `length` bytes (-1: to the end) is fetched in slices: more than one
// request may run at once and the range is longer than one part.
bool vorlan_i_s3_send_in_slices(int64_t length);
// A host range as slices of the part size, over up to vorlan_i_s3_transfer_streams requests at
// once, all pinned to the first slice's ETag; its bytes reach the host in offset order. Returns
// once every slice thread has been joined; a failure is the transfer's (channel_result) or the
// request's result, as with vorlan_i_s3_send_range.
void vorlan_i_s3_send_slices(transfer_state *transfer_state, uint64_t offset, int64_t length,
                             bool first_range);
// ---- end of downloads ----

// ---- Archived objects (restore.cc) ----
// After a download's GET found its object archived (request status InvalidObjectState, the S3
// error its result): one restore is asked for unless one runs already, and the result becomes
// the 451 RESTORE_IN_PROGRESS reply, or the restore's failure.
void vorlan_i_s3_send_restore(vorlan_i_s3_request_t *request);
// ---- end of archived objects ----

// ---- Uploads: one PUT, or a multipart upload past the threshold ----
// An upload whose size was not announced (alloc_size 0) is held until the end of its data, then
// put with its exact length, or, once it holds more than vorlan_i_s3_multipart_threshold, sent
// as a multipart upload. No upload may exceed the service's largest object, 5 TB (decimal).
constexpr uint64_t vorlan_i_s3_recv_max_size = 5000000000000ULL;
// The most parts one multipart upload may have (the services take 10,000); tests lower it.
extern int32_t vorlan_i_s3_multipart_max_parts;
// The bytes of part `part_number` (from 1) of an upload whose size is `announced` (0: unknown):
// part_size, or 8 MiB when it is 0, grown so that the announced size fits in the part limit; of
// unknown size, doubled every tenth of the part limit, so that 5 TB fit; at most 5 GiB.
uint64_t vorlan_i_s3_recv_part_size(uint64_t announced, int part_number);
// Sends the data from current_offset on as a multipart upload (`guard` holds the lock; released
// around every request and host call), reading to the end of the data, hashed into
// file_checksum (which holds no byte yet). Every failure, the client's and a checksum that
// differs from the expected one included, goes to channel_result and aborts the upload; on
// success the object's checksums are cached under its ETag. Returns with no request of its own
// running.
void vorlan_i_s3_recv_multipart(transfer_state *transfer_state, std::unique_lock<std::mutex> &guard,
                                const S3PutProperties *properties);
// Tops up the reads outstanding at the host (lock held through `guard`, released around each
// host call); a failure is recorded and ends reading.
void vorlan_i_s3_recv_register_reads(transfer_state *transfer_state,
                                     std::unique_lock<std::mutex> &guard);
// The whole data's digests (file_checksum, finalized) against the client's expected ADLER32 or
// CRC32C: a difference is the 550 INCORRECT_CHECKSUM reply naming the algorithm and both values.
vorlan_result_t vorlan_i_s3_recv_checksum_check(const transfer_state *transfer_state);
// After the object is stored: the whole data's three checksums (file_checksum, finalized) cached
// under its ETag, and logged as "checksum cached" under `func_name`.
void vorlan_i_s3_recv_checksum_cache(const char *func_name, const transfer_state *transfer_state,
                                     const char *etag);
// ---- end of uploads ----

vorlan_result_t vorlan_i_s3_recv_single(vorlan_gfs_operation_t op,
                                        vorlan_gfs_transfer_info_t *transfer_info, void *session);
// Takes a completed read's block (lock held): queued by offset (joined to the block before it
// when it continues it and fits), or released with the reason the upload must end: the read's
// own failure, data beyond the announced size (errno 27) or, with no size announced, beyond
// vorlan_i_s3_recv_max_size, or bytes that overlap data already sent or queued.
vorlan_result_t vorlan_i_s3_recv_accept_block(transfer_state *transfer_state,
                                              vorlan_result_t result, s3_buffer *block);
bool vorlan_i_s3_recv_is_transfer_offset_ready(const transfer_state *transfer_state);
bool vorlan_i_s3_recv_is_reading_complete(const transfer_state *transfer_state);

#endif  // VORLAN_I_S3_TRANSFER_H
