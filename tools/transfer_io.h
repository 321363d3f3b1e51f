// Where the command-line host's `get` puts a download's bytes and where `put` takes an
// upload's from: files written at the object's own offsets, standard output in order,
// standard input as it comes, a progress line for a terminal or a log, and Ctrl-C during a
// download. Each names what failed.
#ifndef VORLAN_TOOLS_TRANSFER_IO_H
#define VORLAN_TOOLS_TRANSFER_IO_H

#include <vorlan/host.hpp>

#include <openssl/evp.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vorlan::tool {

// A download range: {offset, length}, length -1 to the end of the object.
using Range = std::pair<int64_t, int64_t>;

// Parses "OFF:LEN" (LEN -1 to the end); throws std::invalid_argument with the reason.
Range parse_range(const std::string &text);
// Refuses (std::invalid_argument) ranges that share a byte: one byte would be written twice.
void check_ranges(const std::vector<Range> &ranges);

// Standard output, receiving the bytes of each range in turn and of every range in order,
// whatever order the writes come in. Pieces that arrive ahead wait in memory; finish() writes
// what is left (ranges cut short by the end of the object) and flushes.
class OrderedStdoutSink : public host::DataSink {
 public:
  explicit OrderedStdoutSink(std::vector<Range> ranges);
  bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) override;
  bool finish();
  host::IoFailure failure() const override { return {error_number_, "standard output"}; }

 private:
  bool emit(const char *data, size_t length);
  void advance();  // with mutex_ held: writes the waiting pieces that are now next
  std::mutex mutex_;
  std::vector<Range> ranges_;
  size_t range_ = 0;  // the range being written
  int64_t next_ = 0;  // the object offset that goes out next
  std::map<std::pair<size_t, int64_t>, std::string> waiting_;  // by range, then offset
  bool failed_ = false;
  std::atomic<int> error_number_{EIO};
};

// What an interrupted download left on disk.
struct KeptBytes {
  enum class Fate {
    kInPlace,    // the file was written in place: the ranges' bytes before `remaining` are in
    kCompleted,  // a new file holds the object's first `bytes` bytes
    kDiscarded,  // the file is left as it was; the bytes received were dropped
    kNotCreated,
  } fate = Fate::kInPlace;
  int64_t bytes = 0;               // bytes certainly on disk, counted in the order of the ranges
  std::vector<Range> remaining{};  // what a download of the rest asks for
};

// The local file of a download. A whole-object download goes to a new file beside the target
// that replaces it only once every byte is in, so a failure leaves the target as it was; a
// ranged download fills in the target itself, as does any download to a device or a pipe.
// It follows which bytes are on disk in order, range by range, and a whole object's new file
// digests them (MD5) as they reach it: a piece that arrives ahead of its turn is read back from
// the file, so memory stays that of the writes in flight.
class DownloadFile : public host::DataSink {
 public:
  // Opens the file to write; throws std::runtime_error saying why it cannot. `ranges` are the
  // download's ({} for the whole object); `digest`: a new file's bytes are digested.
  DownloadFile(const std::string &path, std::vector<Range> ranges, bool digest = true);
  ~DownloadFile() override;  // removes a temporary file that did not replace the target
  DownloadFile(const DownloadFile &) = delete;
  DownloadFile &operator=(const DownloadFile &) = delete;
  bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) override;
  host::IoFailure failure() const override;
  // The MD5 of a whole object's bytes, once all are written; "" when the file is not a new
  // file of the whole object or a piece could not be read back.
  std::string md5_hex();
  // Flushes the bytes to disk, gives a new file `mtime` when set and puts the temporary file in
  // place; false when that failed (failure() says why), the temporary file then removed.
  bool commit(std::optional<time_t> mtime = std::nullopt);
  // After a failure, what became of the target ("" when it was written in place).
  std::string fate_after_failure() const;
  // Refuses every later write, waits for those under way and keeps what is on disk: a new file
  // of the object's first bytes takes the target's place when there was no target before.
  KeptBytes interrupt();

 private:
  void fail(int error_number);
  void record_locked(int64_t offset, const vorlan_byte_t *data, size_t length);
  std::string target_, place_;  // as given; the file a temporary replaces (a link resolved)
  std::string temporary_;       // "" when written in place
  bool target_existed_ = false;
  int fd_ = -1;
  std::atomic<int> error_number_{0};
  // Writes hold it shared; interrupt() holds it alone.
  std::shared_mutex writing_;
  bool stopped_ = false;
  std::mutex order_;  // guards the members below
  std::vector<Range> ranges_;
  size_t range_ = 0;                 // the range whose bytes are being completed
  int64_t next_ = 0;                 // its first byte not yet on disk
  int64_t in_order_ = 0;             // bytes on disk before it, over all ranges
  std::map<int64_t, size_t> ahead_;  // pieces on disk past it: offset, length
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> digest_{nullptr, &EVP_MD_CTX_free};
};

// While it lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT run `on_signal` on a thread of its own
// (the handler only writes the signal's number to a pipe); after it the signal ends the
// process as it would have. A signal the caller ignores (nohup) stays ignored.
class SignalWatch {
 public:
  explicit SignalWatch(std::function<void(int signal_number)> on_signal);
  ~SignalWatch();
  SignalWatch(const SignalWatch &) = delete;
  SignalWatch &operator=(const SignalWatch &) = delete;

 private:
  std::function<void(int)> on_signal_;
  int pipe_[2] = {-1, -1};
  std::vector<std::pair<int, struct sigaction>> replaced_;
  std::thread thread_;
};

// Standard input as an upload's source of unknown size, read in order to its end. A read that
// waits `idle_limit` for data fails, so a silent producer cannot hold the upload forever.
class StdinSource : public host::DataSource {
 public:
  explicit StdinSource(std::chrono::milliseconds idle_limit) : idle_limit_(idle_limit) {}
  int64_t read_at(int64_t offset, vorlan_byte_t *data, size_t length) override;
  int64_t size() const override { return -1; }
  host::IoFailure failure() const override { return {error_number_, "standard input"}; }
  int64_t bytes_read() const { return position_; }

 private:
  std::chrono::milliseconds idle_limit_;
  std::atomic<int64_t> position_{0};
  std::atomic<int> error_number_{EIO};
};

// How progress shows on standard error.
enum class ProgressDisplay {
  kNone,
  kTerminal,  // one line refreshed in place four times a second
  kLog,       // one line every interval, so that a log shows a long transfer going on
};

// "12.0 MiB of 100.0 MiB (12%)  3.1 MiB/s  0:28 left": the bytes, then of the total when it
// is known (-1 when not), the rate and the time left.
std::string progress_text(int64_t done, int64_t total, double seconds);

// Counts the bytes moved and shows them as `display` says, each line after `label`; when it
// ends, a last line gives the bytes, the time taken and the average rate.
class Progress {
 public:
  // `interval`: seconds between the lines of kLog (0: the last line only).
  Progress(std::string label, int64_t total, ProgressDisplay display, int interval);
  ~Progress();
  void add(size_t bytes) { done_ += bytes; }
  // The transfer failed: the last line says where it stopped, not an average of a success.
  void failed() { failed_ = true; }

 private:
  void show(bool last);
  std::string label_;
  int64_t total_;
  ProgressDisplay display_;
  std::chrono::milliseconds period_;
  std::atomic<uint64_t> done_{0};
  std::atomic<bool> failed_{false};
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
  std::thread thread_;
};

// Counts what the inner sink or source moved, and remembers that it failed: a local failure
// (a full disk), which the tool reports as such.
class CountingSink : public host::DataSink {
 public:
  CountingSink(host::DataSink &inner, Progress &progress) : inner_(inner), progress_(progress) {}
  bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) override;
  host::IoFailure failure() const override { return inner_.failure(); }
  bool failed() const { return failed_; }

 private:
  host::DataSink &inner_;
  Progress &progress_;
  std::atomic<bool> failed_{false};
};

class CountingSource : public host::DataSource {
 public:
  CountingSource(host::DataSource &inner, Progress &progress)
      : inner_(inner), progress_(progress) {}
  int64_t read_at(int64_t offset, vorlan_byte_t *data, size_t length) override;
  int64_t size() const override { return inner_.size(); }
  host::IoFailure failure() const override { return inner_.failure(); }
  bool failed() const { return failed_; }

 private:
  host::DataSource &inner_;
  Progress &progress_;
  std::atomic<bool> failed_{false};
};

// The text in double quotes, as messages name files.
std::string quoted(const std::string &text);

// The MD5 of a file as 32 lower-case hexadecimal digits, the bytes read counted in `progress`
// when given; throws std::runtime_error.
std::string file_md5_hex(const std::string &path, Progress *progress = nullptr);

}  // namespace vorlan::tool

#endif  // VORLAN_TOOLS_TRANSFER_IO_H
