// The embeddable host: loads a storage module from its shared object the way the server does
// and drives its sessions and requests. Tests, the command-line host and the benchmarks all
// go through this one class.
//
// Every request method is synchronous: it calls the module's entry point on the calling thread
// and waits for the module's completion call, which may come from any thread, as long as the
// request shows progress at least every Options::request_timeout. Methods may be called from many
// threads at once, also on one session.
#ifndef VORLAN_HOST_HPP
#define VORLAN_HOST_HPP

#include <vorlan/vorlan_gridftp_server.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorlan::host {

// How a finished request looks to the client.
struct Reply {
  vorlan_result_t result = VORLAN_SUCCESS;
  bool ok() const { return result == VORLAN_SUCCESS; }
  int code = 0;            // reply code; 0 on success, the default failure code when the error
                           // carries no reply error
  std::string error_type;  // the error-type word, "" when none
  std::string headers;     // the reply error's formatted headers, "" when none
  std::string message;     // friendly text of the whole error chain
  std::string text;        // the full control-channel reply (vorlan_gfs_error_to_reply); for a
                           // failure without an error object "500 Request failed.\r\n", for
                           // a missing slot "502 Command not implemented.\r\n"
  bool timed_out = false;  // the host gave up on it: no progress for Host::Options::request_timeout
};

// Per-session documents handed to the module by key. `provider`, when set, is asked first for
// every key, each time the module asks (so "creds"/"renew-creds" can be fresh on every call);
// returning nullopt falls back to the fixed values.
struct SessionDocuments {
  std::optional<std::string> config{};               // "config"
  std::optional<std::string> collection_policies{};  // "collection-policies"
  std::optional<std::string> creds{};                // "creds"
  std::optional<std::string> renew_creds{};          // "renew-creds"
  std::function<std::optional<std::string>(const std::string &key)> provider{};
};

struct Stat {
  uint32_t mode = 0;
  int32_t nlink = 0;
  std::string name;
  std::optional<std::string> symlink_target;
  int32_t uid = 0, gid = 0;
  int64_t size = 0, atime = 0, ctime = 0, mtime = 0;
  int32_t dev = 0, ino = 0;
};

// One report of a stat request: a partial batch, or the final one with the request's result.
// Called on the module's thread during its report, so a slow handler holds the module back.
using StatBatchHandler =
    std::function<void(const std::vector<Stat> &batch, bool final, vorlan_result_t result)>;

struct StatResult {
  Reply reply;
  std::vector<Stat> stats;  // every record of every partial call and of the final call
  int partial_calls = 0;
};

// What the host tells a command beyond its command record.
struct CommandOptions {
  int update_interval = 5;  // get_update_interval: seconds between progress replies, 0 none
  // When set, each intermediate reply's text goes to it as it arrives, on the module's thread
  // during its call (CommandResult::intermediate still collects them all).
  std::function<void(const std::string &text)> on_intermediate;
};

struct CommandResult {
  Reply reply;
  std::optional<std::string> response;    // the final reply text the module gave
  std::vector<std::string> intermediate;  // texts of intermediate replies, in order
};

// The data channel of one transfer.
struct DataChannelOptions {
  vorlan_size_t block_size = vorlan_size_t{256} * 1024;
  int optimal_concurrency = 4;
  // Ranges the module reads for a download, consumed one per get_read_range call;
  // {offset, -1} means to the end of the file.
  std::vector<std::pair<int64_t, int64_t>> read_ranges = {{0, -1}};
  int64_t write_offset = 0, write_length = -1;  // get_write_range for an upload
  std::optional<time_t> modification_time{};    // get_recv_modification_time
  int update_interval = 5;
  // When > 1, completions run one at a time on one thread, each batch of this many
  // registrations newest first, so a module certainly meets them out of order. A batch not
  // filled within 20 ms of its latest registration goes as it is; an end-of-file read ends
  // its batch and still comes last.
  int reverse_completion_batch = 0;
  // Fault injection: the n-th (1-based) register_read/register_write call fails at once, or
  // the n-th completion reports an error. 0 = never.
  int fail_registration_at = 0;
  int fail_completion_at = 0;
  // Every read and write completion waits this long before it runs: a slow client, so an
  // upload waits for data and a download meets back-pressure.
  std::chrono::milliseconds completion_delay{0};
  // The client goes away at this byte of the stream (-1 = never): the completion of a read or
  // write that reaches past it fails, and so do every completion after it and every later
  // registration ("Injected abort of the client at offset N"). Uploads are read in order, so for
  // them this is also "after N bytes".
  int64_t abort_at_offset = -1;
  // Uploads: each read completes with at most this many bytes although its buffer holds more
  // (0 = as many as the buffer holds and the source has).
  vorlan_size_t short_read_length = 0;
  // Uploads: the first read that reaches past this offset (-1 = none) is held back until
  // `hold_read_for` other reads have completed, a later read reached the end of the data, or
  // it is the only read left outstanding after another completed (at most one second); then
  // it completes. Needs more than one read outstanding and no reverse_completion_batch.
  int64_t hold_read_at = -1;
  int hold_read_for = 2;
};

// Why a sink's write or a source's read failed, for the error the module is given: an errno
// value and what was written or read ("\"/data/x\"", "standard input"; "" unnamed).
struct IoFailure {
  int error_number = EIO;
  std::string target;
};

// Where a download's bytes go / where an upload's come from.
class DataSink {
 public:
  virtual ~DataSink() = default;
  virtual bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) = 0;
  // Asked after write_at failed; any thread.
  virtual IoFailure failure() const { return {}; }
};
class DataSource {
 public:
  virtual ~DataSource() = default;
  // Returns the bytes read, 0 at the end, -1 on error. A source of unknown size fills `data`
  // unless it reaches its end, and is asked for its bytes in order, one read at a time.
  virtual int64_t read_at(int64_t offset, vorlan_byte_t *data, size_t length) = 0;
  virtual int64_t size() const = 0;  // -1 when unknown until the end is read
  virtual IoFailure failure() const { return {}; }
};
class MemorySink : public DataSink {
 public:
  bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) override;
  std::string contents() const;

 private:
  mutable std::mutex mutex_;
  std::string data_;
};
class MemorySource : public DataSource {
 public:
  explicit MemorySource(std::string data) : data_(std::move(data)) {}
  int64_t read_at(int64_t offset, vorlan_byte_t *data, size_t length) override;
  int64_t size() const override { return static_cast<int64_t>(data_.size()); }

 private:
  std::string data_;
};
std::unique_ptr<DataSource> file_source(const std::string &path, std::string *error);

struct TransferInfo {
  std::string pathname{};
  bool truncate = true;
  int64_t alloc_size = 0;
  std::optional<std::string> expected_checksum{}, expected_checksum_alg{};
};

struct TransferResult {
  Reply reply;
  bool began = false;  // begin_transfer was called
  // Bytes of successful completions: read into the module's buffers for an upload, written
  // for a download (a byte written twice counts twice).
  int64_t bytes_transferred = 0;
  int64_t bytes_written = 0;  // distinct bytes a download wrote to the sink
  int64_t bytes_recvd = 0;    // update_bytes_recvd total
  std::vector<std::pair<int64_t, int64_t>> ranges_recvd;  // update_range_recvd calls
  int max_outstanding = 0;  // most registrations outstanding at one time
};

struct SessionStart {
  Reply reply;
  std::string username, home_dir;
};

class Session;

class Host {
 public:
  struct Options {
    std::string module_path;  // the module's .so
    // A module linked into this program, activated instead of loading module_path: tests that
    // change the module's internal settings reach the copy that runs.
    vorlan_module_descriptor_t *linked_module = nullptr;
    std::optional<std::string> option_string;  // get_config_string
    std::string dsi_name = "google_cloud";
    // A request fails ("Request timed out.", and a violation) when it goes this long without
    // progress: no completion, no bytes moved, no report.
    std::chrono::milliseconds request_timeout{120000};
  };

  // dlopen, find "<module file name without lib/.so>_module" descriptor, activate it, look up
  // the storage interface. Null with *error set on failure (nothing left loaded).
  static std::unique_ptr<Host> load(const Options &options, std::string *error);
  // Deactivates the module and unloads it (kept mapped when VORLAN_HOST_KEEP_MODULE=1, so leak
  // reports can name the module's frames). Sessions must have ended.
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  const vorlan_gfs_storage_iface_t *iface() const;

  // Starts a session; on failure the result's reply says why and *session is null.
  SessionStart start_session(const std::string &user, SessionDocuments documents,
                             std::unique_ptr<Session> *session);

  // With `on_batch`, each report goes to it as it arrives and StatResult::stats stays empty,
  // so a listing of any size needs the memory of one batch.
  StatResult stat(Session &session, const std::string &path, bool file_only,
                  StatBatchHandler on_batch = {});
  CommandResult command(Session &session, int command, const std::string &pathname,
                        const std::string &from_pathname = "", const std::string &cksm_alg = "",
                        int64_t cksm_offset = 0, int64_t cksm_length = -1,
                        const CommandOptions &options = {});
  TransferResult send(Session &session, const TransferInfo &info, const DataChannelOptions &channel,
                      DataSink &sink);
  TransferResult recv(Session &session, const TransferInfo &info, const DataChannelOptions &channel,
                      DataSource &source);

  // Contract breaches seen so far (a request finished twice, a completion on a finished
  // operation, a callback inside register_*, a byte of a download written twice, a timeout).
  // Empty in a correct run.
  std::vector<std::string> violations() const;
  // Lines written with vorlan_gfs_log_message while this host was loaded, without their final
  // newline. (Also appended, with the level, to the file named by VORLAN_GRIDFTP_SERVER_LOG.)
  std::vector<std::string> server_log() const;

  struct Impl;

 private:
  explicit Host(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// One started session; ending it (destruction) calls the module's session destroy.
class Session {
 public:
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  void *handle() const;  // the module's session handle
  // Operations the session still holds: unfinished ones and the last few finished.
  size_t operations_held() const;

  struct Impl;
  explicit Session(std::unique_ptr<Impl> impl);
  Impl &impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorlan::host

#endif  // VORLAN_HOST_HPP
