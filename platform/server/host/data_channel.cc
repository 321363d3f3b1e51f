// The data channel of a transfer: ranges, settings, read and write registration with their
// completions on the transfer's own threads, and the send/recv request methods.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

#include "host_internal.hpp"

namespace vorlan::host {

namespace internal {

namespace {

thread_local int t_register_depth = 0;

struct RegisterScope {
  RegisterScope() { ++t_register_depth; }
  ~RegisterScope() { --t_register_depth; }
};

vorlan_result_t injected_failure(const char *what, int n) {
  return vorlan_error_put(
      vorlan_i_gfs_error_system(nullptr, EIO, "Injected failure of %s %d", what, n));
}

vorlan_result_t client_abort(const Transfer &t) {
  return vorlan_error_put(
      vorlan_i_gfs_error_system(nullptr, ECONNRESET, "Injected abort of the client at offset %lld",
                                static_cast<long long>(t.options.abort_at_offset)));
}

// The error of a failed read or write, naming the file or stream when the source or sink
// does: "System error in write to \"/data/x\": No space left on device".
vorlan_result_t io_error(const char *call, const char *preposition, const IoFailure &failure) {
  std::string text = std::string("System error in ") + call;
  if (!failure.target.empty()) {
    text += std::string(" ") + preposition + " " + failure.target;
  }
  return vorlan_error_put(
      vorlan_i_gfs_error_system(nullptr, failure.error_number, "%s", text.c_str()));
}

// The transfer of op (of kind `only` when given); otherwise records the misuse.
Transfer *transfer_of(vorlan_gfs_op_s *op, const char *call,
                      std::optional<OpKind> only = std::nullopt) {
  if (op->transfer == nullptr || (only && op->kind != *only)) {
    op->host->violation(std::string(call) + " on a " + op->describe());
    return nullptr;
  }
  return op->transfer.get();
}

void check_not_in_register(vorlan_gfs_op_s *op, const char *callback) {
  if (t_register_depth > 0) {
    op->host->violation(std::string(callback) + " ran inside a register call of " + op->describe());
  }
}

// Adds [offset, end) to the ranges a download wrote; a byte written before is a breach.
void note_written(vorlan_gfs_op_s *op, int64_t offset, int64_t end) {
  std::lock_guard<std::mutex> lock(op->mutex);
  std::map<int64_t, int64_t> &written = op->transfer->written;
  int64_t again = 0, start = offset, stop = end;
  auto it = written.upper_bound(offset);
  if (it != written.begin() && std::prev(it)->second >= offset) {
    --it;
  }
  while (it != written.end() && it->first <= end) {
    again += std::max<int64_t>(0, std::min(it->second, end) - std::max(it->first, offset));
    start = std::min(start, it->first);
    stop = std::max(stop, it->second);
    it = written.erase(it);
  }
  written[start] = stop;
  op->transfer->bytes_written += end - offset - again;
  if (again > 0) {
    op->host->violation("register_write of " + std::to_string(end - offset) + " bytes at offset " +
                        std::to_string(offset) + " wrote " + std::to_string(again) +
                        " of them a second time on " + op->describe());
  }
}

// The longest a held read waits when nothing releases it, so a module that waits for it alone
// is not stalled for good.
constexpr std::chrono::seconds kHeldReadLimit{1};

// One register_read/register_write call, from its checks to the posting of its completion;
// holds op's mutex throughout, and no callback may run meanwhile on this thread.
class Registration {
 public:
  Registration(vorlan_gfs_op_s *op, const char *call, OpKind kind, bool arguments_ok) {
    if (op == nullptr) {
      refusal = VORLAN_FAILURE;
      return;
    }
    lock_ = std::unique_lock<std::mutex>(op->mutex);
    t = transfer_of(op, call, kind);
    if (t == nullptr) {
      refusal = VORLAN_FAILURE;
    } else if (op->finished || t->stopping || !arguments_ok) {
      op->host->violation(std::string(call) + " refused on " + op->describe());
      refusal = VORLAN_FAILURE;
    } else if (int n = ++t->registrations; n == t->options.fail_registration_at) {
      refusal = injected_failure("registration", n);
    } else if (t->aborted) {
      refusal = client_abort(*t);
    } else {
      number = ++t->completions;
    }
  }

  // Hands the completion to the transfer's threads (a `last` one after all posted before it).
  vorlan_result_t post(std::function<void()> task, bool last = false) {
    if (!t->pool.post(std::move(task), last)) {
      return VORLAN_FAILURE;
    }
    ++t->pending;
    t->max_outstanding = std::max(t->max_outstanding, t->pending);
    return VORLAN_SUCCESS;
  }

  vorlan_result_t refusal = VORLAN_SUCCESS;
  Transfer *t = nullptr;
  int number = 0;  // of the completion

 private:
  RegisterScope scope_;
  std::unique_lock<std::mutex> lock_;
};

// The opening of the completion numbered `number`, on a transfer thread: waits while the
// read is held and for the delay, then decides whether it fails (an injected failure, or
// the client gone before it reached `end`). Takes op's mutex.
vorlan_result_t begin_completion(vorlan_gfs_op_s *op, int number, int64_t offset, int64_t end,
                                 bool held) {
  Transfer &t = *op->transfer;
  std::unique_lock<std::mutex> lock(op->mutex);
  if (held) {
    op->cond.wait_for(lock, kHeldReadLimit, [&t] {
      return t.stopping || t.end_handed_out || t.reads_after_held >= t.options.hold_read_for ||
             (t.reads_after_held > 0 && t.undelivered_reads.size() == 1);
    });
  }
  // A timed wait costs the kernel's timer slack (some 50 microseconds) even when already due.
  if (t.options.completion_delay.count() > 0) {
    op->cond.wait_for(lock, t.options.completion_delay, [&t] { return t.stopping; });
  }
  if (number == t.options.fail_completion_at) {
    return injected_failure("completion", number);
  }
  int64_t abort_at = t.options.abort_at_offset;
  t.aborted = t.aborted || (abort_at >= 0 && (end > abort_at || offset >= abort_at));
  return t.aborted ? client_abort(t) : VORLAN_SUCCESS;
}

// What every completion does, with op's mutex held, before its callback: false when the host
// has stopped waiting, and the result (then released) goes nowhere.
bool settle_completion(vorlan_gfs_op_s *op, vorlan_result_t result, int64_t bytes) {
  Transfer &t = *op->transfer;
  --t.pending;
  op->progressed();
  if (result == VORLAN_SUCCESS) {
    t.bytes_transferred += bytes;
  }
  op->cond.notify_all();
  if (t.stopping) {
    vorlan_error_release(result);
    return false;
  }
  return true;
}

void gfs_info(vorlan_gfs_op_s *op, const TransferInfo &info) {
  vorlan_gfs_transfer_info_t &out = op->transfer_info;
  out.pathname = op->keep(info.pathname);
  out.truncate = info.truncate ? VORLAN_TRUE : VORLAN_FALSE;
  out.alloc_size = info.alloc_size;
  out.expected_checksum = op->keep(info.expected_checksum);
  out.expected_checksum_alg = op->keep(info.expected_checksum_alg);
}

int pool_threads(const DataChannelOptions &channel) {
  // Reversed batches run one at a time, or the threads would race them back into order.
  return channel.reverse_completion_batch > 1 ? 1 : std::clamp(channel.optimal_concurrency, 2, 4);
}

// How long a reversed batch waits for more registrations before it goes as it is.
constexpr std::chrono::milliseconds kHoldLimit{20};

TransferResult run_transfer(Host::Impl &host, Session &session, OpKind kind,
                            const TransferInfo &info, const DataChannelOptions &channel,
                            DataSink *sink, DataSource *source) {
  TransferResult out;
  bool is_send = kind == OpKind::kSend;
  if ((is_send && host.iface->send_func == nullptr) ||
      (!is_send && host.iface->recv_func == nullptr)) {
    out.reply = failure_reply(502, "Command not implemented.");
    return out;
  }
  vorlan_gfs_op_s *op = session.impl().new_op(kind);
  {
    std::lock_guard<std::mutex> lock(op->mutex);
    op->transfer =
        std::make_unique<Transfer>(channel, host.completion_threads, pool_threads(channel));
    op->transfer->sink = sink;
    op->transfer->source = source;
    gfs_info(op, info);
  }
  if (is_send) {
    host.iface->send_func(op, &op->transfer_info, session.handle());
  } else {
    // Informational: the outcome, and its error object, arrive through finished_transfer.
    (void)host.iface->recv_func(op, &op->transfer_info, session.handle());
  }

  Transfer &transfer = *op->transfer;
  std::unique_lock<std::mutex> lock(op->mutex);
  bool done =
      await_completion(op, lock, [op, &transfer] { return op->finished && transfer.pending == 0; });
  if (!done) {
    transfer.stopping = true;
    op->cond.notify_all();
  }
  lock.unlock();
  // Joining also waits for a completion callback that is still running.
  transfer.pool.shutdown(!done);
  lock.lock();
  out.began = transfer.began;
  out.bytes_transferred = transfer.bytes_transferred;
  out.bytes_written = transfer.bytes_written;
  out.bytes_recvd = transfer.bytes_recvd;
  out.ranges_recvd = transfer.ranges_recvd;
  out.max_outstanding = transfer.max_outstanding;
  out.reply = done ? make_reply(op->result, std::move(op->error)) : timeout_reply();
  lock.unlock();
  if (done) {
    session.impl().release(op);
  }
  return out;
}

}  // namespace

// How long a cached thread waits for a job before it ends.
constexpr std::chrono::seconds kIdleThreadLimit{5};

ThreadCache::~ThreadCache() {
  std::list<std::thread> threads, ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    cond_.notify_all();
    threads.swap(threads_);
    ended.swap(ended_);
  }
  for (std::thread &thread : threads) {
    thread.join();
  }
  for (std::thread &thread : ended) {
    thread.join();
  }
}

bool ThreadCache::run(std::function<void()> job) {
  std::list<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      return false;
    }
    jobs_.push_back(std::move(job));
    if (waiting_ >= jobs_.size()) {
      cond_.notify_one();
    } else {
      try {
        threads_.emplace_back();
        threads_.back() = std::thread(&ThreadCache::loop, this, std::prev(threads_.end()));
      } catch (const std::exception &) {
        if (!threads_.empty() && !threads_.back().joinable()) {
          threads_.pop_back();
        }
        jobs_.pop_back();
        return false;
      }
    }
    ended.swap(ended_);
  }
  // Each has left its loop; the join only waits for its last instructions.
  for (std::thread &thread : ended) {
    thread.join();
  }
  return true;
}

void ThreadCache::loop(std::list<std::thread>::iterator self) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!jobs_.empty()) {
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
      continue;
    }
    if (stopping_) {
      return;  // the destructor joins it
    }
    ++waiting_;
    bool woken =
        cond_.wait_for(lock, kIdleThreadLimit, [this] { return stopping_ || !jobs_.empty(); });
    --waiting_;
    if (!woken) {
      break;
    }
  }
  ended_.splice(ended_.end(), threads_, self);
}

CompletionPool::CompletionPool(ThreadCache &cache, int threads, int reverse_batch)
    : cache_(cache),
      reverse_batch_(reverse_batch > 1 ? static_cast<size_t>(reverse_batch) : 0),
      max_threads_(static_cast<size_t>(std::max(threads, 1))) {}

CompletionPool::~CompletionPool() { shutdown(true); }

bool CompletionPool::post(std::function<void()> task, bool last) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    return false;
  }
  // A thread is borrowed only when none in the pool is free for the task: a transfer of one
  // block costs one thread. Without any thread the task could never run.
  if (active_ - busy_ < queue_.size() + held_.size() + 1 && active_ < max_threads_) {
    if (cache_.run([this] { run(); })) {
      ++active_;
    } else if (active_ == 0) {
      return false;
    }
  }
  if (reverse_batch_ == 0) {
    queue_.push_back(std::move(task));
  } else {
    held_.push_back(std::move(task));
    last_post_ = std::chrono::steady_clock::now();
    if (last || held_.size() >= reverse_batch_) {
      release_held(last);
    }
  }
  cond_.notify_one();
  return true;
}

void CompletionPool::release_held(bool last) {
  size_t reversed = held_.size() - (last ? 1 : 0);
  for (size_t i = reversed; i-- > 0;) {
    queue_.push_back(std::move(held_[i]));
  }
  if (last) {
    queue_.push_back(std::move(held_.back()));
  }
  held_.clear();
}

void CompletionPool::shutdown(bool drop_pending) {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  drop_ = drop_ || drop_pending;
  cond_.notify_all();
  // Also waits for a completion callback that is still running.
  cond_.wait(lock, [this] { return active_ == 0; });
}

void CompletionPool::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (drop_) {
      break;
    }
    if (!queue_.empty()) {
      std::function<void()> task = std::move(queue_.front());
      queue_.pop_front();
      ++busy_;
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
      --busy_;
      continue;
    }
    if (!held_.empty() &&
        (stopping_ || std::chrono::steady_clock::now() - last_post_ >= kHoldLimit)) {
      release_held(false);
      continue;
    }
    // Nothing is left to run: the thread goes back to the cache.
    if (held_.empty()) {
      break;
    }
    cond_.wait_until(lock, last_post_ + kHoldLimit);
  }
  --active_;
  // Notified under the lock: once it is released the pool may be gone.
  cond_.notify_all();
}

void HostBackend::begin_transfer(vorlan_gfs_operation_t op, int /*event_mask*/,
                                 void * /*event_arg*/) {
  if (op == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  if (Transfer *t = transfer_of(op, "begin_transfer")) {
    if (op->finished) {
      op->host->violation("begin_transfer on an already finished " + op->describe());
    }
    t->began = true;
    op->progressed();
  }
}

void HostBackend::finished_transfer(vorlan_gfs_operation_t op, vorlan_result_t result) {
  if (op == nullptr) {
    vorlan_error_release(result);
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  Transfer *t = transfer_of(op, "finished_transfer");
  if (t == nullptr || op->finished) {
    if (t != nullptr) {
      op->host->violation("finished_transfer on an already finished " + op->describe());
    }
    vorlan_error_release(result);
    return;
  }
  if (t->pending > 0) {
    op->host->violation("finished_transfer with " + std::to_string(t->pending) +
                        " registrations outstanding on " + op->describe());
  }
  op->result = result;
  op->error.reset(vorlan_error_get(result));
  op->finished = true;
  op->cond.notify_all();
}

void HostBackend::get_block_size(vorlan_gfs_operation_t op, vorlan_size_t *block_size) {
  if (op == nullptr || block_size == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  Transfer *t = transfer_of(op, "get_block_size");
  *block_size = t != nullptr ? t->options.block_size : DataChannelOptions{}.block_size;
}

void HostBackend::get_optimal_concurrency(vorlan_gfs_operation_t op, int *count) {
  if (op == nullptr || count == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  Transfer *t = transfer_of(op, "get_optimal_concurrency");
  *count = t != nullptr ? t->options.optimal_concurrency : DataChannelOptions{}.optimal_concurrency;
}

void HostBackend::get_update_interval(vorlan_gfs_operation_t op, int *interval) {
  if (op == nullptr || interval == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  if (op->kind == OpKind::kCommand) {
    *interval = op->command_options.update_interval;
    return;
  }
  Transfer *t = transfer_of(op, "get_update_interval");
  *interval = t != nullptr ? t->options.update_interval : DataChannelOptions{}.update_interval;
}

void HostBackend::get_read_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                                 vorlan_off_t *length) {
  if (offset != nullptr) {
    *offset = 0;
  }
  if (length != nullptr) {
    *length = 0;
  }
  if (op == nullptr || offset == nullptr || length == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  Transfer *t = transfer_of(op, "get_read_range", OpKind::kSend);
  if (t == nullptr || t->next_read_range >= t->options.read_ranges.size()) {
    return;
  }
  *offset = t->options.read_ranges[t->next_read_range].first;
  *length = t->options.read_ranges[t->next_read_range].second;
  ++t->next_read_range;
}

void HostBackend::get_write_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                                  vorlan_off_t *length) {
  if (op == nullptr || offset == nullptr || length == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  Transfer *t = transfer_of(op, "get_write_range", OpKind::kRecv);
  *offset = t != nullptr ? t->options.write_offset : 0;
  *length = t != nullptr ? t->options.write_length : -1;
}

void HostBackend::update_range_recvd(vorlan_gfs_operation_t op, vorlan_off_t offset,
                                     vorlan_off_t length) {
  if (op == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  if (Transfer *t = transfer_of(op, "update_range_recvd", OpKind::kRecv)) {
    t->ranges_recvd.emplace_back(offset, length);
    op->progressed();
  }
}

void HostBackend::update_bytes_recvd(vorlan_gfs_operation_t op, vorlan_off_t length) {
  if (op == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  if (Transfer *t = transfer_of(op, "update_bytes_recvd", OpKind::kRecv)) {
    t->bytes_recvd += length;
    op->progressed();
  }
}

vorlan_result_t HostBackend::get_recv_modification_time(vorlan_gfs_operation_t op,
                                                        time_t *modtime) {
  if (op == nullptr || modtime == nullptr) {
    return VORLAN_FAILURE;
  }
  std::lock_guard<std::mutex> lock(op->mutex);
  Transfer *t = transfer_of(op, "get_recv_modification_time", OpKind::kRecv);
  // VORLAN_FAILURE names no object, so a caller that ignores it leaves nothing behind.
  if (t == nullptr || !t->options.modification_time) {
    return VORLAN_FAILURE;
  }
  *modtime = *t->options.modification_time;
  return VORLAN_SUCCESS;
}

namespace {

struct ReadPiece {
  vorlan_byte_t *buffer;
  int64_t offset, nbytes;
  bool eof;
};

// The end of a read's completion, on a transfer thread: end of data waits for every read
// before it (by `seq`), then the module's callback runs.
void deliver_read(vorlan_gfs_op_s *op, int64_t seq, vorlan_result_t result, ReadPiece piece,
                  vorlan_gridftp_server_read_cb_t callback, void *user_arg) {
  Transfer *t = op->transfer.get();
  int64_t delivered = result == VORLAN_SUCCESS ? piece.nbytes : 0;
  bool at_eof = piece.eof && result == VORLAN_SUCCESS;
  {
    std::unique_lock<std::mutex> task_lock(op->mutex);
    if (at_eof) {
      op->cond.wait(task_lock,
                    [t, seq] { return t->stopping || *t->undelivered_reads.begin() == seq; });
    }
    if (!settle_completion(op, result, delivered)) {
      t->undelivered_reads.erase(seq);
      return;
    }
  }
  check_not_in_register(op, "read callback");
  callback(op, result, piece.buffer, static_cast<vorlan_size_t>(delivered), piece.offset,
           at_eof ? VORLAN_TRUE : VORLAN_FALSE, user_arg);
  std::lock_guard<std::mutex> task_lock(op->mutex);
  t->undelivered_reads.erase(seq);
  if (t->held_read_seq >= 0 && seq != t->held_read_seq) {
    ++t->reads_after_held;
  }
  op->cond.notify_all();
}

// A read of a source of unknown size (standard input): the source is read when the completion
// runs, one read at a time, each taking the bytes after the previous one; a short read is the
// end of the data.
vorlan_result_t register_streamed_read(vorlan_gfs_op_s *op, Registration &registration,
                                       vorlan_byte_t *buffer, vorlan_size_t length,
                                       vorlan_gridftp_server_read_cb_t callback, void *user_arg) {
  Transfer *t = registration.t;
  auto task = [op, t, buffer, length, callback, user_arg, number = registration.number] {
    vorlan_result_t result = VORLAN_SUCCESS;
    ReadPiece piece{buffer, 0, 0, false};
    int64_t seq = 0;
    {
      std::lock_guard<std::mutex> source_lock(t->source_mutex);
      if (!t->stream_ended && length > 0) {
        piece.nbytes = t->source->read_at(t->stream_offset, buffer, length);
      }
      // After a failed read the stream has no end to report: later reads fail the same way.
      if (piece.nbytes < 0 || t->stream_failed) {
        t->stream_failed = true;
        result = io_error("read", "from", t->source->failure());
        piece.nbytes = 0;
      }
      piece.offset = t->stream_offset;
      t->stream_offset += piece.nbytes;
      piece.eof = result == VORLAN_SUCCESS &&
                  (t->stream_ended || piece.nbytes < static_cast<int64_t>(length));
      t->stream_ended = t->stream_ended || t->stream_failed || piece.eof;
      std::lock_guard<std::mutex> lock(op->mutex);
      seq = t->next_read_seq++;
      t->undelivered_reads.insert(seq);
    }
    vorlan_result_t opening =
        begin_completion(op, number, piece.offset, piece.offset + piece.nbytes, false);
    if (result == VORLAN_SUCCESS) {
      result = opening;
    } else {
      vorlan_error_release(opening);
    }
    deliver_read(op, seq, result, piece, callback, user_arg);
  };
  return registration.post(std::move(task));
}

}  // namespace

vorlan_result_t HostBackend::register_write(vorlan_gfs_operation_t op, vorlan_byte_t *buffer,
                                            vorlan_size_t length, vorlan_off_t offset,
                                            int /*stripe_ndx*/,
                                            vorlan_gridftp_server_write_cb_t callback,
                                            void *user_arg) {
  Registration registration(
      op, "register_write", OpKind::kSend,
      callback != nullptr && (buffer != nullptr || length == 0) && offset >= 0);
  if (registration.refusal != VORLAN_SUCCESS) {
    return registration.refusal;
  }
  Transfer *t = registration.t;
  auto task = [op, t, buffer, length, offset, callback, user_arg, number = registration.number] {
    auto end = offset + static_cast<int64_t>(length);
    vorlan_result_t result = begin_completion(op, number, offset, end, false);
    // Only bytes the sink took count as written: a full disk leaves no phantom bytes.
    if (result == VORLAN_SUCCESS && length > 0) {
      if (t->sink->write_at(offset, buffer, length)) {
        note_written(op, offset, end);
      } else {
        result = io_error("write", "to", t->sink->failure());
      }
    }
    if (std::lock_guard<std::mutex> task_lock(op->mutex);
        !settle_completion(op, result, static_cast<int64_t>(length))) {
      return;
    }
    check_not_in_register(op, "write callback");
    callback(op, result, buffer, length, user_arg);
  };
  return registration.post(std::move(task));
}

vorlan_result_t HostBackend::register_read(vorlan_gfs_operation_t op, vorlan_byte_t *buffer,
                                           vorlan_size_t length,
                                           vorlan_gridftp_server_read_cb_t callback,
                                           void *user_arg) {
  Registration registration(op, "register_read", OpKind::kRecv,
                            callback != nullptr && (buffer != nullptr || length == 0));
  if (registration.refusal != VORLAN_SUCCESS) {
    return registration.refusal;
  }
  Transfer *t = registration.t;
  if (t->source->size() < 0) {
    return register_streamed_read(op, registration, buffer, length, callback, user_arg);
  }
  // Offsets are handed out at registration, so the source is read in order whatever order
  // the completions run in.
  const DataChannelOptions &options = t->options;
  int64_t size = t->source->size();
  int64_t offset = t->next_read_offset;
  int64_t nbytes =
      std::min<int64_t>(static_cast<int64_t>(length), std::max<int64_t>(size - offset, 0));
  if (options.short_read_length > 0) {
    nbytes = std::min<int64_t>(nbytes, static_cast<int64_t>(options.short_read_length));
  }
  t->next_read_offset += nbytes;
  bool eof = t->next_read_offset >= size;
  int64_t seq = t->next_read_seq++;
  bool held = false;
  if (t->held_read_seq < 0 && options.hold_read_at >= 0 && offset + nbytes > options.hold_read_at) {
    t->held_read_seq = seq;
    held = true;
  }
  auto task = [op, t, buffer, offset, nbytes, eof, seq, held, callback, user_arg,
               number = registration.number] {
    vorlan_result_t result = begin_completion(op, number, offset, offset + nbytes, held);
    if (result == VORLAN_SUCCESS && nbytes > 0 &&
        t->source->read_at(offset, buffer, static_cast<size_t>(nbytes)) != nbytes) {
      result = io_error("read", "from", t->source->failure());
    }
    deliver_read(op, seq, result, {buffer, offset, nbytes, eof}, callback, user_arg);
  };
  t->undelivered_reads.insert(seq);
  // A held read that reaches the end itself waits for the others.
  t->end_handed_out = t->end_handed_out || (eof && !held);
  vorlan_result_t posted = registration.post(std::move(task), eof);
  if (posted != VORLAN_SUCCESS) {
    t->undelivered_reads.erase(seq);
  }
  return posted;
}

}  // namespace internal

TransferResult Host::send(Session &session, const TransferInfo &info,
                          const DataChannelOptions &channel, DataSink &sink) {
  return internal::run_transfer(*impl_, session, internal::OpKind::kSend, info, channel, &sink,
                                nullptr);
}

TransferResult Host::recv(Session &session, const TransferInfo &info,
                          const DataChannelOptions &channel, DataSource &source) {
  return internal::run_transfer(*impl_, session, internal::OpKind::kRecv, info, channel, nullptr,
                                &source);
}

}  // namespace vorlan::host
