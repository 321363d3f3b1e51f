// The host's records shared by its source files: the loaded host, the session, the operation
// handle given to the module, and a transfer's data channel.
#ifndef VORLAN_SERVER_HOST_INTERNAL_HPP
#define VORLAN_SERVER_HOST_INTERNAL_HPP

#include <vorlan/vorlan_gridftp_server.h>
#include <vorlan/gridftp_server_backend.hpp>
#include <vorlan/host.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vorlan::host::internal {

enum class OpKind { kSessionStart, kStat, kCommand, kSend, kRecv };
const char *op_kind_name(OpKind kind);

struct ObjectFree {
  void operator()(vorlan_object_t *object) const { vorlan_object_free(object); }
};
using ObjectPtr = std::unique_ptr<vorlan_object_t, ObjectFree>;

// Threads kept between the transfers of one host: a transfer's completions borrow one instead
// of starting their own, so a transfer costs a hand-off to a waiting thread rather than a
// thread's start and join. A thread idle for a few seconds ends; the next run or the
// destructor joins it.
class ThreadCache {
 public:
  ThreadCache() = default;
  ThreadCache(const ThreadCache &) = delete;
  ThreadCache &operator=(const ThreadCache &) = delete;
  // Joins every thread; no job may still be running.
  ~ThreadCache();
  // Runs `job` on a waiting thread, else on a new one; false when none could be started.
  bool run(std::function<void()> job);

 private:
  void loop(std::list<std::thread>::iterator self);
  std::mutex mutex_;  // guards everything below
  std::condition_variable cond_;
  std::deque<std::function<void()>> jobs_;
  size_t waiting_ = 0;  // threads waiting for a job
  bool stopping_ = false;
  std::list<std::thread> threads_;  // running or waiting
  std::list<std::thread> ended_;    // returned, not yet joined
};

// Threads that run a transfer's I/O completions, so that no callback runs inside the
// module's register call: up to `threads` of them, borrowed from the host's cache when a task
// finds none free and given back once no task is left. Tasks start in the order they were
// posted, or with reverse_batch > 1 in reversed batches (see
// DataChannelOptions::reverse_completion_batch).
class CompletionPool {
 public:
  CompletionPool(ThreadCache &cache, int threads, int reverse_batch);
  ~CompletionPool();
  // False once the pool is stopping (or no thread could be had); the task is then dropped. A
  // `last` task ends its batch and starts after every task posted before it.
  bool post(std::function<void()> task, bool last = false);
  // Waits until every borrowed thread is given back; with drop_pending, tasks not yet started
  // never run.
  void shutdown(bool drop_pending);

 private:
  void run();
  void release_held(bool last);  // with mutex_ held
  ThreadCache &cache_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::function<void()>> queue_;  // in starting order
  std::vector<std::function<void()>> held_;  // the batch being gathered, in posting order
  size_t reverse_batch_;
  std::chrono::steady_clock::time_point last_post_;
  bool stopping_ = false, drop_ = false;
  size_t max_threads_;
  size_t active_ = 0;  // borrowed threads inside run()
  size_t busy_ = 0;    // of them, those running a task
};

// The data channel of one send or recv; guarded by its operation's mutex.
struct Transfer {
  DataChannelOptions options;
  DataSink *sink = nullptr;
  DataSource *source = nullptr;
  size_t next_read_range = 0;
  bool began = false;
  bool stopping = false;  // the host gave up waiting; tasks still queued do not call back
  bool aborted = false;   // the client went away (DataChannelOptions::abort_at_offset)
  int registrations = 0;  // register_* calls, also refused ones
  int completions = 0;    // completions handed out
  int pending = 0;        // registered, callback not yet started
  int max_outstanding = 0;
  int64_t next_read_offset = 0;
  int64_t bytes_transferred = 0, bytes_recvd = 0, bytes_written = 0;
  std::vector<std::pair<int64_t, int64_t>> ranges_recvd;
  // Byte ranges a download wrote, start -> end, disjoint: a byte written twice is a breach.
  std::map<int64_t, int64_t> written;
  // Reads whose callback has not returned, by registration order; an end-of-file completion
  // waits for every earlier one so the module sees end of data last.
  std::set<int64_t> undelivered_reads;
  int64_t next_read_seq = 0;
  bool end_handed_out = false;  // a read reaching the end of the source was registered
  int64_t held_read_seq = -1;   // the read held back (DataChannelOptions::hold_read_at)
  int reads_after_held = 0;     // other reads delivered since it was registered
  // A source of unknown size is read as its reads complete, one at a time, each at the offset
  // where the one before it ended; these three are guarded by source_mutex, taken before op's.
  std::mutex source_mutex;
  int64_t stream_offset = 0;
  bool stream_ended = false, stream_failed = false;
  CompletionPool pool;

  Transfer(const DataChannelOptions &channel, ThreadCache &cache, int threads)
      : options(channel), pool(cache, threads, channel.reverse_completion_batch) {}
};

// The host's side of the calls the module makes into the server library; installed when a
// host first loads a module.
class HostBackend final : public vorlan::gfs::Backend {
 public:
  void get_config_string(vorlan_gfs_operation_t op, char **string) override;
  void get_config_data(vorlan_gfs_operation_t op, const char *key, char **string) override;
  void finished_session_start(vorlan_gfs_operation_t op, vorlan_result_t result, void *session,
                              const char *username, const char *home_dir) override;
  void finished_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                        const char *command_response) override;
  void intermediate_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                            const char *command_response) override;
  void finished_stat(vorlan_gfs_operation_t op, vorlan_result_t result,
                     vorlan_gfs_stat_t *stat_array, int stat_count) override;
  void finished_stat_partial(vorlan_gfs_operation_t op, vorlan_result_t result,
                             vorlan_gfs_stat_t *stat_array, int stat_count) override;
  void begin_transfer(vorlan_gfs_operation_t op, int event_mask, void *event_arg) override;
  void finished_transfer(vorlan_gfs_operation_t op, vorlan_result_t result) override;
  void get_block_size(vorlan_gfs_operation_t op, vorlan_size_t *block_size) override;
  void get_optimal_concurrency(vorlan_gfs_operation_t op, int *count) override;
  void get_update_interval(vorlan_gfs_operation_t op, int *interval) override;
  void get_read_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                      vorlan_off_t *length) override;
  void get_write_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                       vorlan_off_t *length) override;
  void update_range_recvd(vorlan_gfs_operation_t op, vorlan_off_t offset,
                          vorlan_off_t length) override;
  void update_bytes_recvd(vorlan_gfs_operation_t op, vorlan_off_t length) override;
  vorlan_result_t get_recv_modification_time(vorlan_gfs_operation_t op, time_t *modtime) override;
  vorlan_result_t register_read(vorlan_gfs_operation_t op, vorlan_byte_t *buffer,
                                vorlan_size_t length, vorlan_gridftp_server_read_cb_t callback,
                                void *user_arg) override;
  vorlan_result_t register_write(vorlan_gfs_operation_t op, vorlan_byte_t *buffer,
                                 vorlan_size_t length, vorlan_off_t offset, int stripe_ndx,
                                 vorlan_gridftp_server_write_cb_t callback,
                                 void *user_arg) override;
  void log(int level, const std::string &line) override;
};

// Hosts currently loaded, for the calls that carry no operation (the option string asked
// during activation, the server log).
void add_live_host(Host::Impl *host, bool loading);
void end_loading(Host::Impl *host);
void remove_live_host(Host::Impl *host);
std::optional<std::string> option_string_without_op();
void log_to_live_hosts(const std::string &line);

// The reply for a finished request; takes over the error object.
Reply make_reply(vorlan_result_t result, ObjectPtr error);
Reply failure_reply(int code, const std::string &text);
// The reply of a request the host gave up on (await_completion returned false).
Reply timeout_reply();
// Waits with op locked until `done` holds or the request timeout passes (a violation).
bool await_completion(vorlan_gfs_op_s *op, std::unique_lock<std::mutex> &lock,
                      const std::function<bool()> &done);

}  // namespace vorlan::host::internal

struct vorlan::host::Host::Impl {
  // First, so that it goes last: its threads serve the transfers' completion pools.
  vorlan::host::internal::ThreadCache completion_threads;
  Options options;
  void *dl = nullptr;
  vorlan_module_descriptor_t *module = nullptr;
  bool activated = false;
  vorlan_gfs_storage_iface_t *iface = nullptr;

  mutable std::mutex mutex;  // guards the three members below
  std::vector<std::string> violations;
  std::vector<std::string> log;
  // Unfinished operations of ended sessions: a late completion must not touch freed memory.
  std::vector<std::unique_ptr<vorlan_gfs_op_s>> retired;

  void violation(std::string text);
  void add_log(const std::string &line);
};

struct vorlan::host::Session::Impl {
  Host::Impl *host = nullptr;
  std::shared_ptr<const SessionDocuments> documents;
  void *handle = nullptr;
  std::string username, home_dir;

  std::mutex mutex;                                   // guards ops and recent
  std::vector<std::unique_ptr<vorlan_gfs_op_s>> ops;  // requests not yet released
  // The last few released operations, kept so that a late second completion on one is
  // recorded as a breach instead of touching freed memory.
  std::deque<std::unique_ptr<vorlan_gfs_op_s>> recent;

  vorlan_gfs_op_s *new_op(internal::OpKind kind);
  // Called once op's completion has been delivered to the caller; a session that runs many
  // requests then holds a bounded number of them.
  void release(vorlan_gfs_op_s *op);
  ~Impl();
};

struct vorlan_gfs_op_s {
  vorlan::host::internal::OpKind kind;
  vorlan::host::Host::Impl *host = nullptr;
  std::shared_ptr<const vorlan::host::SessionDocuments> documents;

  std::mutex mutex;  // guards everything below
  std::condition_variable cond;
  // The last sign of life (a completion, a report): the request timeout counts from here.
  std::chrono::steady_clock::time_point last_progress = std::chrono::steady_clock::now();
  bool finished = false;
  vorlan_result_t result = VORLAN_SUCCESS;
  vorlan::host::internal::ObjectPtr error;  // taken out of the table at the finish

  // Request records handed to the module, with the strings they point at; they live as long
  // as the operation so a module may read them until it finishes.
  std::deque<std::string> strings;
  vorlan_gfs_session_info_t session_info{};
  vorlan_gfs_stat_info_t stat_info{};
  vorlan_gfs_command_info_t command_info{};
  vorlan_gfs_transfer_info_t transfer_info{};

  void *session_handle = nullptr;
  std::string username, home_dir;
  std::vector<vorlan::host::Stat> stats;
  vorlan::host::StatBatchHandler on_batch;  // when set, takes the batches instead of stats
  int partial_calls = 0;
  std::optional<std::string> response;
  std::vector<std::string> intermediate;
  vorlan::host::CommandOptions command_options;
  std::unique_ptr<vorlan::host::internal::Transfer> transfer;

  // A stable C string for a request record; null stays null.
  char *keep(const std::optional<std::string> &text);
  void progressed() { last_progress = std::chrono::steady_clock::now(); }
  std::string describe() const;
};

#endif  // VORLAN_SERVER_HOST_INTERNAL_HPP
