// Whether an upload's data channel is done: the host has ended the data (or reading failed)
// and no read is outstanding.
#include "vorlan_i_s3.h"

bool vorlan_i_s3_recv_is_reading_complete(const transfer_state *transfer_state) {
  return transfer_state->eof && transfer_state->registered_buffers == nullptr;
}
