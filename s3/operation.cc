// The pattern every request follows: record, path split, key check, bucket context, one
// worker thread (pooled), and the attempt loop's bookkeeping.
#include "vorlan_i_s3.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <utility>

#include <pthread.h>

namespace {

// Idle workers kept for the next request, and how long one waits for it before it ends: a
// request then costs a hand-off instead of a thread's creation and join, and a quiet module
// holds no threads.
constexpr int vorlan_l_s3_workers_idle_max = 16;
constexpr auto vorlan_l_s3_workers_idle_time = std::chrono::seconds(5);

// One worker thread, from its start until it is joined. `thread_func` and `record` are the
// request it runs, null while it waits on the idle list for one.
struct vorlan_l_s3_worker {
  void *(*thread_func)(void *);
  void *record;
  uint64_t generation;  // of the pool it serves; a worker of an older one ends after its request
  pthread_t thread;
  std::condition_variable wake;  // a request handed over, or the worker's generation retired
  vorlan_l_s3_worker *next;      // on the idle or the finished list
};

// Workers are joinable: a join returns only once the thread has left the module and the C
// library's own thread teardown, which a count dropped at the end of the thread function
// cannot promise. A worker that ends waits on the finished list until the next request start
// or wait joins it. Guarded by vorlan_l_s3_workers_lock.
struct vorlan_l_s3_workers_synced {
  int running = 0;  // requests handed to a worker whose function has not returned
  int live = 0;     // workers not yet on the finished list
  int idle = 0;     // workers on the idle list
  // Moved on by every wait, so workers it found running end instead of idling in a module that
  // may be unloaded next.
  uint64_t generation = 0;
  vorlan_l_s3_worker *idle_workers = nullptr;  // the most recently idle first
  vorlan_l_s3_worker *finished = nullptr;
};
std::mutex vorlan_l_s3_workers_lock;
std::condition_variable vorlan_l_s3_workers_changed;  // running or live went down
vorlan_l_s3_workers_synced vorlan_l_s3_workers;

// With the lock held: waits on the idle list for a request until the idle time passes or the
// generation retires; true when one was handed over.
bool vorlan_l_s3_worker_wait_locked(vorlan_l_s3_worker *worker,
                                    std::unique_lock<std::mutex> &lock) {
  vorlan_l_s3_workers_synced &synced = vorlan_l_s3_workers;
  if (worker->generation != synced.generation || synced.idle >= vorlan_l_s3_workers_idle_max) {
    return false;
  }
  worker->next = synced.idle_workers;
  synced.idle_workers = worker;
  ++synced.idle;
  worker->wake.wait_for(lock, vorlan_l_s3_workers_idle_time, [worker] {
    return worker->thread_func != nullptr || worker->generation != vorlan_l_s3_workers.generation;
  });
  if (worker->thread_func != nullptr) return true;
  // The retiring wait emptied the list already; an idle time that ran out leaves it here.
  if (worker->generation == synced.generation) {
    vorlan_l_s3_worker **link = &synced.idle_workers;
    while (*link != worker) link = &(*link)->next;
    *link = worker->next;
    --synced.idle;
  }
  return false;
}

void *vorlan_l_s3_worker_main(void *arg) {
  auto *worker = static_cast<vorlan_l_s3_worker *>(arg);
  vorlan_l_s3_workers_synced &synced = vorlan_l_s3_workers;
  std::unique_lock<std::mutex> lock(vorlan_l_s3_workers_lock);
  do {
    void *(*thread_func)(void *) = std::exchange(worker->thread_func, nullptr);
    void *record = std::exchange(worker->record, nullptr);
    lock.unlock();
    thread_func(record);
    lock.lock();
    --synced.running;
    vorlan_l_s3_workers_changed.notify_all();
  } while (vorlan_l_s3_worker_wait_locked(worker, lock));
  worker->thread = pthread_self();
  worker->next = synced.finished;
  synced.finished = worker;
  --synced.live;
  vorlan_l_s3_workers_changed.notify_all();
  return nullptr;
}

// Joins the workers that have ended; each is at most a few instructions from its end.
void vorlan_l_s3_workers_reap() {
  vorlan_l_s3_worker *finished = nullptr;
  {
    std::lock_guard<std::mutex> guard(vorlan_l_s3_workers_lock);
    std::swap(finished, vorlan_l_s3_workers.finished);
  }
  while (finished != nullptr) {
    vorlan_l_s3_worker *next = finished->next;
    pthread_join(finished->thread, nullptr);
    delete finished;
    finished = next;
  }
}

}  // namespace

void vorlan_i_s3_request_init(vorlan_i_s3_request_t *request, vorlan_gfs_operation_t op,
                              vorlan_i_s3_handle_t *handle, const char *pathname, const char *name,
                              char *tail) {
  const size_t length = std::strlen(pathname) + 1;
  request->op = op;
  request->s3_handle = handle;
  request->name = name;
  request->pathname = tail;
  std::memcpy(request->pathname, pathname, length);
  char *split = tail + length;
  std::memcpy(split, pathname, length);
  vorlan_i_s3_path_parse(split, &request->bucket, &request->key);
}

bool vorlan_i_s3_key_names_object(const char *key) {
  return key != nullptr && *key != '\0' && key[std::strlen(key) - 1] != '/';
}

vorlan_result_t vorlan_i_s3_require_key(const char *key, const char *request_name) {
  if (vorlan_i_s3_key_names_object(key)) return VORLAN_SUCCESS;
  return vorlan_i_s3_system_error(EINVAL, request_name);
}

vorlan_result_t vorlan_i_s3_request_prepare(vorlan_i_s3_request_t *request, bool needs_key) {
  if (needs_key) {
    vorlan_result_t result = vorlan_i_s3_require_key(request->key, request->name);
    if (result != VORLAN_SUCCESS) return result;
  }
  request->renews_token = true;
  return vorlan_i_s3_bucket_context(request->s3_handle, request->op, request->pathname,
                                    request->bucket, &request->bucket_context);
}

vorlan_result_t vorlan_i_s3_request_start(void *(*thread_func)(void *), void *record) {
  vorlan_l_s3_workers_reap();
  vorlan_l_s3_workers_synced &synced = vorlan_l_s3_workers;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(vorlan_l_s3_workers_lock);
    ++synced.running;
    if (vorlan_l_s3_worker *idle = synced.idle_workers) {
      synced.idle_workers = idle->next;
      --synced.idle;
      idle->thread_func = thread_func;
      idle->record = record;
      idle->wake.notify_one();
      return VORLAN_SUCCESS;
    }
    ++synced.live;
    generation = synced.generation;
  }
  auto *worker =
      new (std::nothrow) vorlan_l_s3_worker{thread_func, record, generation, {}, {}, nullptr};
  pthread_t thread;
  if (worker != nullptr && pthread_create(&thread, nullptr, vorlan_l_s3_worker_main, worker) == 0) {
    return VORLAN_SUCCESS;
  }
  {
    std::lock_guard<std::mutex> guard(vorlan_l_s3_workers_lock);
    --synced.running;
    --synced.live;
    vorlan_l_s3_workers_changed.notify_all();
  }
  if (worker == nullptr) return vorlan_i_s3_malloc_error();
  delete worker;
  return VORLAN_S3_ERROR("%s", "vorlan_thread_create");
}

int vorlan_i_s3_workers_wait(int64_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  vorlan_l_s3_workers_synced &synced = vorlan_l_s3_workers;
  int running = 0;
  {
    std::unique_lock<std::mutex> lock(vorlan_l_s3_workers_lock);
    vorlan_l_s3_workers_changed.wait_until(lock, deadline,
                                           [] { return vorlan_l_s3_workers.running == 0; });
    running = synced.running;
    ++synced.generation;
    for (vorlan_l_s3_worker *idle = synced.idle_workers; idle != nullptr; idle = idle->next) {
      idle->wake.notify_one();
    }
    synced.idle_workers = nullptr;
    synced.idle = 0;
    // Idle workers end at once; only those still running a request stay.
    vorlan_l_s3_workers_changed.wait(
        lock, [] { return vorlan_l_s3_workers.live == vorlan_l_s3_workers.running; });
  }
  vorlan_l_s3_workers_reap();
  return running;
}

void vorlan_i_s3_request_complete(vorlan_i_s3_request_t *request, S3Status status,
                                  const S3ErrorDetails *error_details, const char *path) {
  if (status == S3StatusOK) return;
  request->status = status;
  std::string bucket_and_key;
  if (path == nullptr) {
    try {
      bucket_and_key = vorlan_i_s3_format("%s/%s", vorlan_i_s3_str(request->bucket),
                                          vorlan_i_s3_str(request->key));
      path = bucket_and_key.c_str();
    } catch (const std::bad_alloc &) {
      path = request->bucket;
    }
  }
  request->result.reset(vorlan_error_put(vorlan_i_S3Error_to_error(status, path, error_details)));
}

bool vorlan_i_s3_attempt_again(const char *func_name, vorlan_gfs_operation_t op,
                               const char *call_name, S3Status status, int32_t *try_count) {
  if (status != S3StatusOK) {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_DEBUG, func_name, "%s: op=%p status=%s[%d]\n", call_name,
                     static_cast<void *>(op), S3_get_status_name(status), status);
  }
  if (!S3_status_is_retryable(status)) return false;
  const int32_t done = (*try_count)++;
  return done < vorlan_i_s3_max_retries;
}

bool vorlan_i_s3_request_again(const char *func_name, vorlan_i_s3_request_t *request,
                               const char *call_name) {
  if (vorlan_i_s3_attempt_again(func_name, request->op, call_name, request->status,
                                &request->try_count)) {
    return true;
  }
  if (request->status == S3StatusOK) request->refused_token_renewed = false;
  if (request->status != S3StatusHttpErrorUnauthorized || request->refused_token_renewed) {
    return false;
  }
  request->refused_token_renewed = true;
  return vorlan_i_s3_renew_refused_token(request);
}

void vorlan_i_s3_command_finish(const char *func_name, vorlan_gfs_operation_t op,
                                vorlan_result_t result, const char *path) {
  if (path != nullptr) {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                     "finished_command: op=%p result=%#x path=%s\n", static_cast<void *>(op),
                     static_cast<unsigned>(result), path);
  } else {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name, "finished_command: op=%p result=%#x\n",
                     static_cast<void *>(op), static_cast<unsigned>(result));
  }
  vorlan_gridftp_server_finished_command(op, result, nullptr);
}

void vorlan_i_s3_key_trim_slashes(char **key) {
  if (*key == nullptr) return;
  size_t length = std::strlen(*key);
  while (length > 0 && (*key)[length - 1] == '/') (*key)[--length] = '\0';
  if (length == 0) *key = nullptr;
}
