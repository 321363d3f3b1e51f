// Buffers going back to the transfer's pool, counted, and freed when the transfer ends.
#include "vorlan_i_s3.h"

#include <cassert>
#include <cstdlib>

void vorlan_i_s3_buffer_release(transfer_state *transfer_state, s3_buffer *s3_buffer) {
  assert(transfer_state != nullptr);
  assert(s3_buffer != nullptr);
  s3_buffer->offset = -1;
  s3_buffer->buffer_used = 0;
  s3_buffer->data_start = 0;
  s3_buffer->next = transfer_state->free_buffers;
  transfer_state->free_buffers = s3_buffer;
}

int32_t vorlan_i_s3_buffer_count(const s3_buffer *first) {
  int32_t count = 0;
  for (; first != nullptr; first = first->next) ++count;
  return count;
}

void vorlan_i_s3_buffer_free_list(s3_buffer **list) {
  while (s3_buffer *buffer = *list) {
    *list = buffer->next;
    std::free(buffer);
  }
}

s3_buffer *vorlan_i_s3_buffer_unlink(s3_buffer **list, const void *data) {
  for (; *list != nullptr; list = &(*list)->next) {
    s3_buffer *buffer = *list;
    if (buffer->data() == data) {
      *list = buffer->next;
      buffer->next = nullptr;
      return buffer;
    }
  }
  return nullptr;
}
