// Priority queues of borrowed data: a binary heap whose ties fall back to arrival order, so
// equal priorities are served first come, first served.
#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include <vorlan/vorlan_common.h>

namespace {

struct Entry {
  void *datum;
  uint64_t seq;
};

}  // namespace

struct vorlan_priority_queue_s {
  vorlan_priority_queue_cmp_func_t cmp = nullptr;
  std::vector<Entry> heap;
  uint64_t next_seq = 0;

  // std heaps keep the largest first, so "less" means "comes out later".
  bool later(const Entry &a, const Entry &b) const {
    int order = cmp(a.datum, b.datum);
    return order != 0 ? order > 0 : a.seq > b.seq;
  }
};

extern "C" {

vorlan_result_t vorlan_priority_queue_init(vorlan_priority_queue_t *queue,
                                           vorlan_priority_queue_cmp_func_t cmp) {
  if (queue == nullptr) {
    return VORLAN_FAILURE;
  }
  *queue = nullptr;
  if (cmp == nullptr) {
    return VORLAN_FAILURE;
  }
  auto *created = new (std::nothrow) vorlan_priority_queue_s;
  if (created == nullptr) {
    return VORLAN_FAILURE;
  }
  created->cmp = cmp;
  *queue = created;
  return VORLAN_SUCCESS;
}

int vorlan_priority_queue_enqueue(vorlan_priority_queue_t queue, void *datum) {
  if (queue == nullptr) {
    return VORLAN_FAILURE;
  }
  try {
    queue->heap.push_back(Entry{datum, queue->next_seq++});
  } catch (const std::bad_alloc &) {
    return VORLAN_FAILURE;
  }
  std::push_heap(queue->heap.begin(), queue->heap.end(),
                 [queue](const Entry &a, const Entry &b) { return queue->later(a, b); });
  return 0;
}

void *vorlan_priority_queue_dequeue(vorlan_priority_queue_t queue) {
  if (queue == nullptr || queue->heap.empty()) {
    return nullptr;
  }
  std::pop_heap(queue->heap.begin(), queue->heap.end(),
                [queue](const Entry &a, const Entry &b) { return queue->later(a, b); });
  void *datum = queue->heap.back().datum;
  queue->heap.pop_back();
  return datum;
}

void *vorlan_priority_queue_first(vorlan_priority_queue_t queue) {
  return queue != nullptr && !queue->heap.empty() ? queue->heap.front().datum : nullptr;
}

int vorlan_priority_queue_size(vorlan_priority_queue_t queue) {
  return queue != nullptr ? static_cast<int>(queue->heap.size()) : 0;
}

void vorlan_priority_queue_destroy(vorlan_priority_queue_t *queue) {
  if (queue == nullptr) {
    return;
  }
  delete *queue;
  *queue = nullptr;
}

}  // extern "C"
