// Whether the next byte of an upload's body has arrived: the first pending block starts at it.
#include "vorlan_i_s3.h"

bool vorlan_i_s3_recv_is_transfer_offset_ready(const transfer_state *transfer_state) {
  const s3_buffer *head = transfer_state->pending_buffers;
  return head != nullptr && static_cast<uint64_t>(head->offset) == transfer_state->current_offset;
}
