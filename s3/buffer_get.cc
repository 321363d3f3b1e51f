// The transfer's buffer pool: the current buffer, reused from the free list or allocated at
// the host's block size (or larger, when more is asked for at once).
#include "vorlan_i_s3.h"

#include <cstdlib>
#include <limits>

s3_buffer *vorlan_i_s3_buffer_get(transfer_state *transfer_state, uint64_t requested_size) {
  VORLAN_S3_TRACE_ENTER();
  if (transfer_state->current_buffer != nullptr) {
    VORLAN_S3_TRACE_EXIT();
    return transfer_state->current_buffer;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "no current buffer\n");
  if (s3_buffer *reused = transfer_state->free_buffers; reused != nullptr) {
    transfer_state->free_buffers = reused->next;
    reused->next = nullptr;
    transfer_state->current_buffer = reused;
    VORLAN_S3_TRACE_EXIT();
    return reused;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "no free buffers\n");
  if (transfer_state->block_size == 0) {
    vorlan_gridftp_server_get_block_size(transfer_state->request.op, &transfer_state->block_size);
  }
  uint64_t size = requested_size;
  if (transfer_state->block_size > size) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "requested_size=%zd optimal_size=%zd\n",
                  static_cast<ssize_t>(requested_size),
                  static_cast<ssize_t>(transfer_state->block_size));
    size = transfer_state->block_size;
  }
  size = std::min<uint64_t>(size, std::numeric_limits<size_t>::max() - sizeof(s3_buffer));
  auto *buffer = static_cast<s3_buffer *>(std::malloc(sizeof(s3_buffer) + size));
  if (buffer == nullptr) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_WARN, "error allocating buffer\n");
    return nullptr;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "new_buffer=%p size=%zd buffer=%p\n",
                static_cast<void *>(buffer), static_cast<ssize_t>(size),
                static_cast<void *>(buffer->data()));
  *buffer = {size, 0, -1, nullptr, 0};
  transfer_state->current_buffer = buffer;
  VORLAN_S3_TRACE_EXIT();
  return buffer;
}
