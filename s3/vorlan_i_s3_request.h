// The request framework every storage request is built on: the per-request record, the pooled
// worker thread that owns it once started (module deactivation waits for every worker), the attempt
// loop with its back-off and token renewal, and the command entry points' common start and
// finish. A record is touched by its entry point until its worker starts, then only by the
// worker and the S3 library's callbacks on the worker's thread.
#ifndef VORLAN_I_S3_REQUEST_H
#define VORLAN_I_S3_REQUEST_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "vorlan_i_s3_base.h"
#include "vorlan_i_s3_session.h"

// Microseconds to wait before attempt `try_count` (0 for the first): the base delay doubled per
// retry, computed in 64 bits and capped at vorlan_i_s3_retry_delay_max_us.
constexpr int64_t vorlan_i_s3_retry_delay_max_us = int64_t{30} * 1000 * 1000;
int64_t vorlan_i_s3_retry_delay_us(int32_t try_count);
void vorlan_i_s3_retry_delay(int32_t try_count);

// Members every per-request record holds as its member `request`. bucket and key point into
// the split copy of the path in the record's own allocation; pathname is the unsplit copy.
struct vorlan_i_s3_request_t {
  vorlan_gfs_operation_t op;
  vorlan_i_s3_handle_t *s3_handle;
  S3BucketContext bucket_context;
  char *bucket;
  char *key;  // may be null
  int32_t try_count;
  S3Status status;
  // The request's failure; the worker hands it to the host with release().
  vorlan_i_s3_error result;
  const char *name;  // the request's name in errors, e.g. "delete"
  char *pathname;
  // Each attempt renews the session's token when due, as the request's start did: requests on a
  // bucket, not the root listing or a bucket's creation.
  bool renews_token;
  // A refused token (401) was met with a renewed one since the last attempt that succeeded.
  bool refused_token_renewed;
};

void vorlan_i_s3_request_init(vorlan_i_s3_request_t *request, vorlan_gfs_operation_t op,
                              vorlan_i_s3_handle_t *handle, const char *pathname, const char *name,
                              char *tail);
// Whether a key can name an object: a null or empty key addresses the bucket, and a key ending
// in "/" names a directory.
bool vorlan_i_s3_key_names_object(const char *key);
// The invalid-argument system error naming `request_name` for a key that names no object, else
// success. Every request that needs an object calls it.
vorlan_result_t vorlan_i_s3_require_key(const char *key, const char *request_name);
// The entry point's common steps after the record is made: for a request that needs an
// object, the key check; then the bucket context. Returns the first failure.
vorlan_result_t vorlan_i_s3_request_prepare(vorlan_i_s3_request_t *request, bool needs_key);
// Runs `thread_func(record)` on a worker thread, an idle one when there is one, else a new
// one, and counts it as running until `thread_func` has returned (after releasing its record).
// A worker then waits idle a few seconds for the next request (at most 16 wait so); one that
// ends is joined by the next start or by the wait below. Every request starts here: module
// deactivation waits for them. On failure nothing runs and the result is the type-6
// "vorlan_thread_create" error (or the malloc error).
vorlan_result_t vorlan_i_s3_request_start(void *(*thread_func)(void *), void *record);
// Waits until no request runs on a worker or `timeout_ms` has passed, ends and joins every
// worker not running one (those still running end after it), and returns how many still run.
int vorlan_i_s3_workers_wait(int64_t timeout_ms);
// A command's last step: logs "finished_command: op=%p result=%#x path=%s\n" at INFO under
// `func_name` (the caller's), or without " path=%s" when `path` is null, and reports the result
// to the host with no reply text.
void vorlan_i_s3_command_finish(const char *func_name, vorlan_gfs_operation_t op,
                                vorlan_result_t result, const char *path);
// The complete callback's common part: a failure is kept in status and result, as the error of
// vorlan_i_S3Error_to_error for `path` (null: "bucket/key").
void vorlan_i_s3_request_complete(vorlan_i_s3_request_t *request, S3Status status,
                                  const S3ErrorDetails *error_details, const char *path);
// After an attempt: logs a failure's status line for `call_name` under `func_name` (the
// worker's), and tells whether another attempt should follow (a retryable status and retries
// left), counting the attempt.
bool vorlan_i_s3_attempt_again(const char *func_name, vorlan_gfs_operation_t op,
                               const char *call_name, S3Status status, int32_t *try_count);
// The same for an attempt of `request` (its status and try count), where besides a refused
// token (401) is met once with a renewed one, without counting as a retry; after a success a
// later refusal may be met so again.
bool vorlan_i_s3_request_again(const char *func_name, vorlan_i_s3_request_t *request,
                               const char *call_name);

// Before each attempt of `request`, on its worker: the bucket context's token replaced by a
// copy of the session's current one, renewed first when due if the request's start renews
// (renews_token). False, with the renewal's error as the request's result, when it failed.
[[nodiscard]] bool vorlan_i_s3_attempt_token(vorlan_i_s3_request_t *request);
// After the service refused the token the last attempt carried (401): unless another request
// renewed it already, the session's token counts as expired and is renewed through the
// request's operation; the context takes the session's token. True when the next attempt
// carries a token other than the refused one; false when it would carry none or the same, or
// when the renewal failed (its error then the request's result).
bool vorlan_i_s3_renew_refused_token(vorlan_i_s3_request_t *request);

// Allocates a record with the path copies in the same allocation, value-initialised; null
// when memory runs out.
template <class Record>
Record *vorlan_i_s3_request_new(vorlan_gfs_operation_t op, vorlan_i_s3_handle_t *handle,
                                const char *pathname, const char *name) {
  const size_t length = std::strlen(pathname) + 1;
  void *memory = ::operator new(sizeof(Record) + 2 * length, std::nothrow);
  if (memory == nullptr) return nullptr;
  auto *record = new (memory) Record{};
  vorlan_i_s3_request_init(&record->request, op, handle, pathname, name,
                           reinterpret_cast<char *>(record + 1));
  return record;
}

template <class Record>
void vorlan_i_s3_request_free(Record *record) {
  if (record == nullptr) return;
  vorlan_i_s3_bucket_context_release(&record->request.bucket_context);
  record->~Record();
  ::operator delete(record);
}

// The worker's attempt loop, the one every request uses: `attempt` logs its "REST:" line and
// makes one blocking S3 call whose callbacks fill request->status and request->result. At most
// vorlan_i_s3_max_retries + 1 attempts (and one more for a refused token); a non-retryable
// status ends the loop at once. Each attempt takes the session's current token. The status
// lines are logged under `func_name`, the worker's own name.
template <class Attempt>
void vorlan_i_s3_request_retry(const char *func_name, vorlan_i_s3_request_t *request,
                               const char *call_name, Attempt &&attempt) {
  do {
    request->status = S3StatusOK;
    request->result.reset();
    vorlan_i_s3_retry_delay(request->try_count);
    if (!vorlan_i_s3_attempt_token(request)) return;
    attempt();
  } while (vorlan_i_s3_request_again(func_name, request, call_name));
}

// The storage interface's command slot, which hands each command to its own entry point.
void vorlan_i_s3_command(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                         void *session);
// Commands (make directory, remove directory, delete, rename), each in its own file.

void vorlan_i_s3_mkdir(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                       void *session);
void vorlan_i_s3_rmdir(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                       void *session);
void vorlan_i_s3_delete(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                        void *session);
void vorlan_i_s3_rename(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                        void *session);

// A command entry point's common part: the record for `pathname`, `prepare` (the key checks
// and the bucket context), then the worker `thread_func`, which owns the record from then on.
// A failure is reported at once, its finishing line naming the path when `names_path`.
template <class Record, class Prepare>
void vorlan_i_s3_command_start(const char *func_name, vorlan_gfs_operation_t op,
                               vorlan_i_s3_handle_t *s3_handle, const char *pathname,
                               const char *name, bool names_path, void *(*thread_func)(void *),
                               Prepare &&prepare) {
  auto *record = vorlan_i_s3_request_new<Record>(op, s3_handle, pathname, name);
  vorlan_result_t result = record == nullptr ? vorlan_i_s3_malloc_error() : VORLAN_SUCCESS;
  try {
    if (result == VORLAN_SUCCESS) result = prepare(record);
  } catch (const std::bad_alloc &) {
    result = vorlan_i_s3_malloc_error();
  }
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_request_start(thread_func, record);
  if (result == VORLAN_SUCCESS) return;
  vorlan_i_s3_command_finish(func_name, op, result, names_path ? pathname : nullptr);
  vorlan_i_s3_request_free(record);
}

#endif  // VORLAN_I_S3_REQUEST_H
