// Downloads in slices: a host range longer than one part is fetched as ranged GETs of the part
// size over up to transfer_streams requests at once, on the library's pooled connections.
//
// The first slice's answer gives the object's size and ETag, so an object of one part still
// takes one GET, and the other slices start once its bytes arrive; every later slice is pinned to
// that ETag with If-Match and resumes at its own first missing byte with its own retry budget. Only
// the slice holding the next byte in offset order hands bytes on. A slice ahead of it keeps up to
// one read-ahead (the part size, at most 8 MiB) in memory and then waits inside its data callback,
// so its connection holds the rest: a path that caps each connection runs every stream at its cap
// while the slices before it are handed on, and memory grows with neither the object nor a larger
// part size.
#include "vorlan_i_s3.h"
#include "vorlan_i_s3_copy.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *vorlan_l_s3_slice_thread_name = "vorlan_l_s3_send_slice";
constexpr uint64_t vorlan_l_s3_slice_default_part = uint64_t{8} * 1024 * 1024;
// The most one slice holds ahead of the bytes handed on.
constexpr uint64_t vorlan_l_s3_slice_read_ahead_max = uint64_t{8} * 1024 * 1024;
constexpr uint64_t vorlan_l_s3_slice_hand_on_piece = uint64_t{256} * 1024;
// As for one request: a service that cuts every body short must not keep a slice going forever.
constexpr int vorlan_l_s3_slice_max_resumes = 100;

// The slices of one host range. `next_start`, the first byte no worker has taken yet, is
// guarded by the transfer's lock; the rest is fixed before any worker starts.
struct vorlan_l_s3_slices {
  transfer_state *transfer;
  uint64_t part_size;
  uint64_t end;
  uint64_t next_start;
};

// One worker: its own request record (bucket context, token, retry count), touched only by the
// thread running it, and its slice [next, end), guarded by the transfer's lock.
struct vorlan_l_s3_slice_worker {
  vorlan_i_s3_request_t request;
  vorlan_l_s3_slices *slices;
  uint64_t next;  // the slice's first byte not yet handed on
  uint64_t end;
  // Bytes from `next` on, received while the slice was ahead, in a buffer of the read-ahead's
  // size made at the first; touched only by the worker's thread.
  std::unique_ptr<char[]> held;
  uint64_t held_size = 0;
  uint64_t received() const { return next + held_size; }
};

struct vorlan_l_s3_slice_worker_free {
  void operator()(vorlan_l_s3_slice_worker *worker) const { vorlan_i_s3_request_free(worker); }
};
using vorlan_l_s3_slice_worker_ptr =
    std::unique_ptr<vorlan_l_s3_slice_worker, vorlan_l_s3_slice_worker_free>;

// Joins the slice threads however the range ends: none may outlive its worker or the transfer.
struct vorlan_l_s3_slice_threads {
  std::vector<std::thread> threads;
  ~vorlan_l_s3_slice_threads() {
    for (std::thread &thread : threads) thread.join();
  }
};

S3Status vorlan_l_s3_slice_properties(const S3ResponseProperties *properties, void *data) {
  auto *worker = static_cast<vorlan_l_s3_slice_worker *>(data);
  transfer_state *transfer = worker->slices->transfer;
  std::lock_guard<std::mutex> guard(transfer->lock);
  if (properties->eTag == nullptr || transfer->etag == properties->eTag) return S3StatusOK;
  // A service that ignored If-Match: the bytes are another version's.
  vorlan_i_s3_transfer_fail(transfer, vorlan_i_s3_send_changed(transfer, properties->eTag));
  return S3StatusAbortedByCallback;
}

// Hands on `size` bytes at the slice's `next` once the slice holds the next byte in offset
// order (lock held in `guard`); the bytes held before them go first.
S3Status vorlan_l_s3_slice_hand_on(vorlan_l_s3_slice_worker *worker,
                                   std::unique_lock<std::mutex> &guard, const char *buffer,
                                   uint64_t size) {
  transfer_state *transfer = worker->slices->transfer;
  if (worker->held_size == 0 && size == 0) return S3StatusOK;
  transfer->cond.wait(guard, [transfer, worker] {
    return transfer->failed() || transfer->current_offset == worker->next;
  });
  if (transfer->failed()) return S3StatusAbortedByCallback;
  // In pieces no larger than the HTTP library hands over, so the pool's blocks keep their size.
  for (uint64_t at = 0; at < worker->held_size; at += vorlan_l_s3_slice_hand_on_piece) {
    const uint64_t piece = std::min(worker->held_size - at, vorlan_l_s3_slice_hand_on_piece);
    const S3Status status = vorlan_i_s3_send_bytes_locked(transfer, guard, worker->held.get() + at,
                                                          static_cast<int>(piece));
    if (status != S3StatusOK) return status;
  }
  if (worker->held_size > 0) {
    worker->next += worker->held_size;
    worker->held_size = 0;
  }
  if (size > 0) {
    const S3Status status =
        vorlan_i_s3_send_bytes_locked(transfer, guard, buffer, static_cast<int>(size));
    if (status != S3StatusOK) return status;
    worker->next += size;
  }
  // The next slice may go on already, while this one's last blocks are being registered.
  if (worker->next == worker->end) transfer->cond.notify_all();
  return S3StatusOK;
}

S3Status vorlan_l_s3_slice_data(int buffer_size, const char *buffer, void *data) {
  auto *worker = static_cast<vorlan_l_s3_slice_worker *>(data);
  transfer_state *transfer = worker->slices->transfer;
  const auto size = static_cast<uint64_t>(std::max(buffer_size, 0));
  const uint64_t read_ahead = std::min(worker->slices->part_size, vorlan_l_s3_slice_read_ahead_max);
  std::unique_lock<std::mutex> guard(transfer->lock);
  if (transfer->failed()) return S3StatusAbortedByCallback;
  // Ahead of the bytes handed on: kept while the read-ahead has room, else the slice waits and
  // its connection holds the rest.
  if (transfer->current_offset != worker->next && worker->held_size + size <= read_ahead) {
    // No memory for a read-ahead: the slice waits instead.
    if (!worker->held) worker->held.reset(new (std::nothrow) char[read_ahead]);
    if (worker->held) {
      // Only this thread touches the read-ahead; the copy runs outside the lock.
      guard.unlock();
      vorlan_i_s3_copy(worker->held.get() + worker->held_size, buffer, size);
      worker->held_size += size;
      return S3StatusOK;
    }
  }
  return vorlan_l_s3_slice_hand_on(worker, guard, buffer, size);
}

void vorlan_l_s3_slice_complete(S3Status status, const S3ErrorDetails *error_details, void *data) {
  auto *worker = static_cast<vorlan_l_s3_slice_worker *>(data);
  transfer_state *transfer = worker->slices->transfer;
  if (status == S3StatusErrorPreconditionFailed) {
    std::lock_guard<std::mutex> guard(transfer->lock);
    worker->request.status = status;
    vorlan_i_s3_transfer_fail(transfer, vorlan_i_s3_send_changed(transfer, nullptr));
    return;
  }
  vorlan_i_s3_request_complete(&worker->request, status, error_details, worker->request.pathname);
}

// The worker's slice with its attempt loop; false when the transfer failed (this slice's
// failure then the transfer's, so the other slices stop and no write follows it).
bool vorlan_l_s3_slice_fetch(vorlan_l_s3_slice_worker *worker) {
  static const S3GetObjectHandler handler = {
      {vorlan_l_s3_slice_properties, vorlan_l_s3_slice_complete}, vorlan_l_s3_slice_data};
  transfer_state *transfer = worker->slices->transfer;
  vorlan_i_s3_request_t *request = &worker->request;
  request->try_count = 0;
  int resumes = 0;
  for (;;) {
    uint64_t start = 0;
    std::string etag;
    {
      std::lock_guard<std::mutex> guard(transfer->lock);
      if (transfer->failed()) return false;
      start = worker->received();
      if (start >= worker->end) break;
      etag = transfer->etag;
    }
    if (!vorlan_i_s3_transfer_attempt_begin(vorlan_l_s3_slice_thread_name, request,
                                            "S3_get_object")) {
      break;
    }
    const S3GetConditions pinned = {-1, -1, etag.c_str(), nullptr};
    S3_get_object(&request->bucket_context, request->key, &pinned, start, worker->end - start,
                  nullptr, 0, &handler, worker);
    bool progressed = false;
    {
      std::lock_guard<std::mutex> guard(transfer->lock);
      if (transfer->failed()) return false;
      progressed = worker->received() > start;
    }
    if (S3_status_is_retryable(request->status) && progressed &&
        resumes < vorlan_l_s3_slice_max_resumes) {
      ++resumes;
      request->try_count = 0;
    }
    if (!vorlan_i_s3_request_again(vorlan_l_s3_slice_thread_name, request, "S3_get_object")) {
      break;
    }
  }
  std::unique_lock<std::mutex> guard(transfer->lock);
  if (worker->received() >= worker->end) {
    // Whole: what the slice holds goes on in its turn.
    return vorlan_l_s3_slice_hand_on(worker, guard, nullptr, 0) == S3StatusOK;
  }
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, vorlan_l_s3_slice_thread_name,
                   "send: op=%p slice at %llu failed, the transfer stops\n",
                   static_cast<void *>(request->op), static_cast<unsigned long long>(worker->next));
  vorlan_i_s3_transfer_fail(
      transfer, request->result.failed()
                    ? request->result.release()
                    : VORLAN_S3_ERROR("A slice of \"%s\" ended early", request->pathname));
  return false;
}

// Takes the next slice in offset order until none is left or the transfer failed.
void vorlan_l_s3_slice_work(vorlan_l_s3_slice_worker *worker) {
  vorlan_l_s3_slices *slices = worker->slices;
  transfer_state *transfer = slices->transfer;
  try {
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(transfer->lock);
        if (transfer->failed() || slices->next_start >= slices->end) return;
        worker->next = slices->next_start;
        worker->end = worker->next + std::min(slices->part_size, slices->end - worker->next);
        slices->next_start = worker->end;
      }
      if (!vorlan_l_s3_slice_fetch(worker)) return;
    }
  } catch (const std::exception &) {
    std::lock_guard<std::mutex> guard(transfer->lock);
    vorlan_i_s3_transfer_fail(transfer, vorlan_i_s3_malloc_error());
  }
}

// Up to `count` workers with their own bucket contexts; the first failure when none could be
// made.
vorlan_result_t vorlan_l_s3_slice_workers(transfer_state *transfer, vorlan_l_s3_slices *slices,
                                          uint64_t count,
                                          std::vector<vorlan_l_s3_slice_worker_ptr> *workers) {
  const vorlan_i_s3_request_t &request = transfer->request;
  while (workers->size() < count) {
    vorlan_l_s3_slice_worker_ptr worker(vorlan_i_s3_request_new<vorlan_l_s3_slice_worker>(
        request.op, request.s3_handle, request.pathname, request.name));
    vorlan_result_t result =
        worker ? vorlan_i_s3_request_prepare(&worker->request, true) : vorlan_i_s3_malloc_error();
    if (result != VORLAN_SUCCESS) {
      if (workers->empty()) return result;
      vorlan_error_release(result);
      break;
    }
    worker->slices = slices;
    workers->push_back(std::move(worker));
  }
  return VORLAN_SUCCESS;
}

}  // namespace

uint64_t vorlan_i_s3_send_part_size() {
  return vorlan_i_s3_part_size > 0 ? static_cast<uint64_t>(vorlan_i_s3_part_size)
                                   : vorlan_l_s3_slice_default_part;
}

bool vorlan_i_s3_send_in_slices(int64_t length) {
  return vorlan_i_s3_transfer_streams > 1 &&
         (length < 0 || static_cast<uint64_t>(length) > vorlan_i_s3_send_part_size());
}

namespace {

// The slices from `slices->next_start` to `slices->end` over up to transfer_streams requests.
// When `first_done` is given, the first slice's request is still running: one request fewer
// starts until it is done (*first_done, under the transfer's lock), so no more than
// transfer_streams run at once.
void vorlan_l_s3_slices_run(vorlan_l_s3_slices *slices, const bool *first_done) {
  transfer_state *transfer = slices->transfer;
  vorlan_i_s3_request_t *request = &transfer->request;
  const uint64_t rest =
      (slices->end - slices->next_start + slices->part_size - 1) / slices->part_size;
  std::vector<vorlan_l_s3_slice_worker_ptr> workers;
  vorlan_result_t result = VORLAN_SUCCESS;
  try {
    result = vorlan_l_s3_slice_workers(
        transfer, slices, std::min<uint64_t>(rest, std::max(vorlan_i_s3_transfer_streams, 1)),
        &workers);
  } catch (const std::bad_alloc &) {
    result = workers.empty() ? vorlan_i_s3_malloc_error() : VORLAN_SUCCESS;
  }
  if (result != VORLAN_SUCCESS) {
    std::lock_guard<std::mutex> guard(transfer->lock);
    vorlan_i_s3_transfer_fail(transfer, result);
    return;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "send: op=%p slices=%llu streams=%zu part_size=%llu\n",
                static_cast<void *>(request->op), static_cast<unsigned long long>(rest + 1),
                workers.size(), static_cast<unsigned long long>(slices->part_size));
  vorlan_l_s3_slice_threads threads;
  for (size_t i = 1; i < workers.size(); ++i) {
    try {
      threads.threads.emplace_back(vorlan_l_s3_slice_work, workers[i].get());
    } catch (const std::exception &) {
      // Fewer requests at once; the slices are taken by the threads there are.
      break;
    }
  }
  if (first_done != nullptr) {
    std::unique_lock<std::mutex> guard(transfer->lock);
    transfer->cond.wait(guard,
                        [transfer, first_done] { return *first_done || transfer->failed(); });
  }
  vorlan_l_s3_slice_work(workers[0].get());
}

// What the first slice's request and the thread that starts the other slices share, under the
// transfer's lock.
struct vorlan_l_s3_slices_start {
  vorlan_l_s3_slices slices;
  uint64_t offset;
  int64_t length;
  bool first_done = false;
  bool first_failed = false;
  bool started = false;
};

// Starts the other slices as soon as the first answer's bytes arrive (its size and ETag are
// known then), so they run while the first slice is still being received.
void vorlan_l_s3_slices_start_early(vorlan_l_s3_slices_start *start) {
  transfer_state *transfer = start->slices.transfer;
  {
    std::unique_lock<std::mutex> guard(transfer->lock);
    // Polled as well: the first bytes need not come with a notification.
    while (!transfer->failed() && !start->first_done && transfer->current_offset == start->offset) {
      transfer->cond.wait_for(guard, std::chrono::milliseconds(10));
    }
    const uint64_t total = transfer->answer_end;
    if (transfer->failed() || start->first_failed || transfer->current_offset == start->offset ||
        total == 0) {
      return;
    }
    const uint64_t end =
        start->length < 0 ? total
                          : std::min(total, start->offset + static_cast<uint64_t>(start->length));
    const uint64_t first_end = start->offset + start->slices.part_size;
    if (first_end >= end) return;
    start->slices.end = end;
    start->slices.next_start = first_end;
    start->started = true;
  }
  try {
    vorlan_l_s3_slices_run(&start->slices, &start->first_done);
  } catch (const std::exception &) {
    std::lock_guard<std::mutex> guard(transfer->lock);
    vorlan_i_s3_transfer_fail(transfer, vorlan_i_s3_malloc_error());
  }
}

}  // namespace

void vorlan_i_s3_send_slices(transfer_state *transfer, uint64_t offset, int64_t length,
                             bool first_range) {
  const uint64_t part_size = vorlan_i_s3_send_part_size();
  vorlan_i_s3_request_t *request = &transfer->request;
  {
    std::lock_guard<std::mutex> guard(transfer->lock);
    transfer->range_open_ended = length < 0;
  }
  vorlan_l_s3_slices_start start{{transfer, part_size, 0, 0}, offset, length};
  {
    vorlan_l_s3_slice_threads starter;
    try {
      starter.threads.emplace_back(vorlan_l_s3_slices_start_early, &start);
    } catch (const std::exception &) {
      // The other slices start once the first is received.
    }
    vorlan_i_s3_send_range(transfer, offset, static_cast<int64_t>(part_size), first_range);
    std::lock_guard<std::mutex> guard(transfer->lock);
    start.first_done = true;
    start.first_failed = request->result.failed();
    // The slices already running stop with the first slice's failure.
    if (start.started && start.first_failed) {
      vorlan_i_s3_transfer_fail(transfer, request->result.release());
    }
    transfer->cond.notify_all();
  }
  if (start.started) {
    std::unique_lock<std::mutex> guard(transfer->lock);
    transfer->range_open_ended = false;
    if (!transfer->failed()) vorlan_i_s3_send_range_done(transfer, guard);
    return;
  }
  uint64_t reached = 0, total = 0;
  {
    std::lock_guard<std::mutex> guard(transfer->lock);
    transfer->range_open_ended = false;
    if (transfer->failed()) return;
    reached = transfer->current_offset;
    total = transfer->answer_end;
  }
  if (request->result.failed()) {
    // An empty object answers a range with 416, and a front end that drops Range answers 200,
    // which a ranged request refuses: the range is asked for as one request, as without slices.
    if (reached == offset && ((request->status == S3StatusErrorInvalidRange && offset == 0) ||
                              request->status == S3StatusTransportLongBody)) {
      vorlan_i_s3_send_range(transfer, offset, length, first_range);
    }
    return;
  }
  // Nothing from a range at the object's end: the range is done.
  if (reached == offset) return;
  if (total == 0) {
    // An answer that did not state the object's size: the rest as one request.
    vorlan_i_s3_send_range(transfer, reached,
                           length < 0 ? -1 : static_cast<int64_t>(offset + length - reached),
                           first_range);
    return;
  }
  const uint64_t end = length < 0 ? total : std::min(total, offset + static_cast<uint64_t>(length));
  if (reached >= end) return;
  vorlan_l_s3_slices slices{transfer, part_size, end, reached};
  vorlan_l_s3_slices_run(&slices, nullptr);
  std::unique_lock<std::mutex> guard(transfer->lock);
  if (!transfer->failed()) vorlan_i_s3_send_range_done(transfer, guard);
}
