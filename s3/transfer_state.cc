// What every download and upload shares: the record made and its worker started, the data
// channel's first failure kept, every registration's callback awaited, one report to the
// host, and the record released.
#include "vorlan_i_s3.h"

#include <cassert>
#include <utility>

vorlan_result_t vorlan_i_s3_transfer_start(vorlan_gfs_operation_t op,
                                           vorlan_gfs_transfer_info_t *transfer_info, void *session,
                                           const char *name, void *(*thread_func)(void *)) {
  auto *s3_handle = static_cast<vorlan_i_s3_handle_t *>(session);
  assert(s3_handle != nullptr);
  assert(transfer_info != nullptr);
  auto *transfer_state = vorlan_i_s3_request_new<struct transfer_state>(
      op, s3_handle, vorlan_i_s3_str(transfer_info->pathname), name);
  vorlan_result_t result = VORLAN_SUCCESS;
  if (transfer_state == nullptr) {
    result = vorlan_i_s3_malloc_error();
  } else {
    transfer_state->transfer_info = transfer_info;
    result = vorlan_i_s3_request_prepare(&transfer_state->request, true);
    if (result == VORLAN_SUCCESS) result = vorlan_i_s3_request_start(thread_func, transfer_state);
  }
  if (result != VORLAN_SUCCESS) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "finished_transfer: op=%p result=%#x\n",
                  static_cast<void *>(op), static_cast<unsigned>(result));
    vorlan_gridftp_server_finished_transfer(op, result);
    vorlan_i_s3_request_free(transfer_state);
  }
  return result;
}

bool vorlan_i_s3_transfer_attempt_begin(const char *func_name, vorlan_i_s3_request_t *request,
                                        const char *call_name) {
  request->status = S3StatusOK;
  request->result.reset();
  vorlan_i_s3_retry_delay(request->try_count);
  if (!vorlan_i_s3_attempt_token(request)) return false;
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name, "REST: op=%p %s(bucket=%s, key=%s) try=%d\n",
                   static_cast<void *>(request->op), call_name, vorlan_i_s3_str(request->bucket),
                   vorlan_i_s3_str(request->key), request->try_count);
  return true;
}

void vorlan_i_s3_transfer_fail(transfer_state *transfer_state, vorlan_result_t result) {
  vorlan_i_s3_error failure(result);
  if (!failure.failed() || transfer_state->failed()) return;
  transfer_state->channel_result = std::move(failure);
  transfer_state->cond.notify_all();
}

void vorlan_i_s3_transfer_refused(transfer_state *transfer_state, s3_buffer *buffer,
                                  vorlan_result_t result) {
  vorlan_i_s3_buffer_unlink(&transfer_state->registered_buffers, buffer->data());
  vorlan_i_s3_buffer_release(transfer_state, buffer);
  --transfer_state->outstanding;
  vorlan_i_s3_transfer_fail(transfer_state, result);
}

void vorlan_i_s3_transfer_finish(const char *func_name, transfer_state *transfer_state,
                                 std::unique_lock<std::mutex> &guard, vorlan_result_t result) {
  // A callback still running would touch the record after it is freed.
  transfer_state->cond.wait(guard, [transfer_state] { return transfer_state->outstanding == 0; });
  guard.unlock();
  const vorlan_gfs_operation_t op = transfer_state->request.op;
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name, "finished_transfer: op=%p result=%#x\n",
                   static_cast<void *>(op), static_cast<unsigned>(result));
  vorlan_gridftp_server_finished_transfer(op, result);
  vorlan_i_s3_buffer_free_list(&transfer_state->current_buffer);
  vorlan_i_s3_buffer_free_list(&transfer_state->pending_buffers);
  vorlan_i_s3_buffer_free_list(&transfer_state->registered_buffers);
  vorlan_i_s3_buffer_free_list(&transfer_state->free_buffers);
  vorlan_i_s3_checksum_free(&transfer_state->file_checksum);
  vorlan_i_s3_request_free(transfer_state);
}
