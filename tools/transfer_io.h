// Where the command-line host's `get` puts a download's bytes and where `put` takes an
// upload's from: files written at the object's own offsets, standard output in order,
// standard input as it comes, and a progress line for a terminal. Each names what failed.
#ifndef VORLAN_TOOLS_TRANSFER_IO_H
#define VORLAN_TOOLS_TRANSFER_IO_H

#include <vorlan/host.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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

// The local file of a download. A whole-object download goes to a new file beside the target
// that replaces it only once every byte is in, so a failure leaves the target as it was; a
// ranged download fills in the target itself, as does any download to a device or a pipe.
class DownloadFile : public host::DataSink {
 public:
  // Opens the file to write; throws std::runtime_error saying why it cannot.
  DownloadFile(const std::string &path, bool whole_object);
  ~DownloadFile() override;  // removes a temporary file that did not replace the target
  DownloadFile(const DownloadFile &) = delete;
  DownloadFile &operator=(const DownloadFile &) = delete;
  bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) override;
  host::IoFailure failure() const override;
  // Flushes the bytes to disk and puts the temporary file in place; false when that failed
  // (failure() says why), the temporary file then removed.
  bool commit();
  // After a failure, what became of the target ("" when it was written in place).
  std::string fate_after_failure() const;

 private:
  void fail(int error_number);
  std::string target_, place_;  // as given; the file a temporary replaces (a link resolved)
  std::string temporary_;       // "" when written in place
  bool target_existed_ = false;
  int fd_ = -1;
  std::atomic<int> error_number_{0};
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

// Counts the bytes moved and, when standard error is a terminal, refreshes a progress line
// there (bytes, rate, time left when the total is known) four times a second.
class Progress {
 public:
  explicit Progress(int64_t total);  // total 0 when unknown
  ~Progress();
  void add(size_t bytes) { done_ += bytes; }

 private:
  void show(bool last);
  int64_t total_;
  std::atomic<uint64_t> done_{0};
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

// The MD5 of a file as 32 lower-case hexadecimal digits; throws std::runtime_error.
std::string file_md5_hex(const std::string &path);

}  // namespace vorlan::tool

#endif  // VORLAN_TOOLS_TRANSFER_IO_H
