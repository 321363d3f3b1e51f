// Files, standard output and standard input for the command-line host's transfers, its
// progress lines, and the signals that interrupt a download.
#include "transfer_io.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>

namespace vorlan::tool {

namespace {

int64_t range_end(const Range &range) {
  return range.second < 0 ? std::numeric_limits<int64_t>::max() : range.first + range.second;
}

std::string size_text(double bytes) {
  static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

// The digest in lower-case hexadecimal; "" when it cannot be finished.
std::string digest_hex(EVP_MD_CTX *context) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context, digest, &size) != 1) return "";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

Range parse_range(const std::string &text) {
  const size_t colon = text.find(':');
  size_t used_offset = 0, used_length = 0;
  Range range{-1, 0};
  try {
    if (colon != std::string::npos) {
      range.first = std::stoll(text.substr(0, colon), &used_offset);
      range.second = std::stoll(text.substr(colon + 1), &used_length);
    }
  } catch (const std::logic_error &) {
    range.first = -1;
  }
  if (colon == std::string::npos || used_offset != colon ||
      colon + 1 + used_length != text.size() || range.first < 0 ||
      (range.second < 1 && range.second != -1) ||
      (range.second > 0 && range.second > std::numeric_limits<int64_t>::max() - range.first)) {
    throw std::invalid_argument("\"" + text +
                                "\" is not a range OFF:LEN (OFF >= 0, LEN >= 1 or -1 to the end)");
  }
  return range;
}

void check_ranges(const std::vector<Range> &ranges) {
  for (size_t i = 0; i < ranges.size(); ++i) {
    for (size_t j = i + 1; j < ranges.size(); ++j) {
      if (ranges[i].first < range_end(ranges[j]) && ranges[j].first < range_end(ranges[i])) {
        throw std::invalid_argument("the ranges " + std::to_string(i + 1) + " and " +
                                    std::to_string(j + 1) + " overlap");
      }
    }
  }
}

OrderedStdoutSink::OrderedStdoutSink(std::vector<Range> ranges) : ranges_(std::move(ranges)) {
  next_ = ranges_.empty() ? 0 : ranges_.front().first;
}

bool OrderedStdoutSink::emit(const char *data, size_t length) {
  if (!failed_ && std::fwrite(data, 1, length, stdout) != length) {
    failed_ = true;
    error_number_ = errno;
  }
  return !failed_;
}

void OrderedStdoutSink::advance() {
  for (;;) {
    if (range_ < ranges_.size() && next_ >= range_end(ranges_[range_])) {
      if (++range_ < ranges_.size()) next_ = ranges_[range_].first;
      continue;
    }
    auto first = waiting_.begin();
    if (first == waiting_.end() || first->first != std::make_pair(range_, next_)) return;
    emit(first->second.data(), first->second.size());
    next_ += static_cast<int64_t>(first->second.size());
    waiting_.erase(first);
  }
}

bool OrderedStdoutSink::write_at(int64_t offset, const vorlan_byte_t *data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t index = 0;
  while (index < ranges_.size() &&
         (offset < ranges_[index].first || offset >= range_end(ranges_[index]))) {
    ++index;
  }
  if (failed_ || index == ranges_.size()) return false;
  if (index == range_ && offset == next_) {
    emit(reinterpret_cast<const char *>(data), length);
    next_ += static_cast<int64_t>(length);
    advance();
  } else {
    waiting_.emplace(std::make_pair(index, offset),
                     std::string(reinterpret_cast<const char *>(data), length));
  }
  return !failed_;
}

bool OrderedStdoutSink::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto &[where, piece] : waiting_) emit(piece.data(), piece.size());
  waiting_.clear();
  if (!failed_ && std::fflush(stdout) != 0) {
    failed_ = true;
    error_number_ = errno;
  }
  return !failed_;
}

namespace {

// The write end of the running SignalWatch's pipe; -1 when none runs.
volatile sig_atomic_t g_signal_pipe = -1;

void forward_signal(int signal_number) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal_number);
  if (g_signal_pipe >= 0 && write(g_signal_pipe, &byte, 1) < 0) {
    // Nothing more is safe here; the pipe is never full with one signal of each kind.
  }
  errno = saved;
}

std::string errno_text(const std::string &what, int error_number) {
  char buffer[256];
  return what + ": " + strerror_r(error_number, buffer, sizeof buffer);
}

// A new file in the directory of `place`, named after it, that no one else has opened.
int create_beside(const std::string &place, std::string *temporary) {
  const size_t slash = place.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : place.substr(0, slash + 1);
  // Short enough that the name with its suffix stays within a directory entry's 255 bytes.
  const std::string base = place.substr(dir.size()).substr(0, 200);
  std::random_device device;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x.part", device());
    temporary->assign(dir).append(".").append(base).append(suffix);
    const int fd = open(temporary->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

DownloadFile::DownloadFile(const std::string &path, std::vector<Range> ranges, bool digest)
    : target_(path), place_(path), ranges_(std::move(ranges)) {
  const bool whole_object = ranges_.empty();
  if (whole_object) ranges_.emplace_back(0, -1);
  next_ = ranges_.front().first;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // A link stays a link: its file is the one replaced.
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (real) place_ = real.get();
  }
  target_existed_ = stat(place_.c_str(), &st) == 0;
  if (!whole_object || (target_existed_ && !S_ISREG(st.st_mode))) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (whole_object ? O_TRUNC : 0), 0644);
    if (fd_ < 0) throw std::runtime_error(errno_text("cannot create " + quoted(path), errno));
    return;
  }
  // Read back too: pieces that arrive ahead of their turn are digested from the file.
  fd_ = create_beside(place_, &temporary_);
  if (fd_ < 0) {
    throw std::runtime_error(errno_text(
        "cannot create a temporary file beside " + quoted(path) + " to download into", errno));
  }
  if (target_existed_) fchmod(fd_, st.st_mode & 07777);
  if (digest) digest_.reset(EVP_MD_CTX_new());
  if (digest_ && EVP_DigestInit_ex(digest_.get(), EVP_md5(), nullptr) != 1) digest_.reset();
}

DownloadFile::~DownloadFile() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

void DownloadFile::fail(int error_number) {
  int none = 0;
  error_number_.compare_exchange_strong(none, error_number != 0 ? error_number : EIO);
}

bool DownloadFile::write_at(int64_t offset, const vorlan_byte_t *data, size_t length) {
  std::shared_lock<std::shared_mutex> writing(writing_);
  if (stopped_) return false;
  const vorlan_byte_t *piece = data;
  const size_t piece_length = length;
  const int64_t piece_offset = offset;
  while (length > 0) {
    const ssize_t n = pwrite(fd_, data, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fail(n < 0 ? errno : EIO);
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  std::lock_guard<std::mutex> order(order_);
  record_locked(piece_offset, piece, piece_length);
  return true;
}

void DownloadFile::record_locked(int64_t offset, const vorlan_byte_t *data, size_t length) {
  if (offset != next_) {
    ahead_.emplace(offset, length);
  } else {
    if (digest_ && EVP_DigestUpdate(digest_.get(), data, length) != 1) digest_.reset();
    next_ += static_cast<int64_t>(length);
    in_order_ += static_cast<int64_t>(length);
  }
  std::vector<vorlan_byte_t> back;
  while (range_ < ranges_.size()) {
    if (next_ >= range_end(ranges_[range_])) {
      if (++range_ < ranges_.size()) next_ = ranges_[range_].first;
      continue;
    }
    auto first = ahead_.begin();
    if (first == ahead_.end() || first->first != next_) return;
    if (digest_) {
      back.resize(first->second);
      if (pread(fd_, back.data(), back.size(), next_) != static_cast<ssize_t>(back.size()) ||
          EVP_DigestUpdate(digest_.get(), back.data(), back.size()) != 1) {
        digest_.reset();
      }
    }
    next_ += static_cast<int64_t>(first->second);
    in_order_ += static_cast<int64_t>(first->second);
    ahead_.erase(first);
  }
}

std::string DownloadFile::md5_hex() {
  std::lock_guard<std::mutex> order(order_);
  if (!digest_ || !ahead_.empty()) return "";
  std::string hex = digest_hex(digest_.get());
  digest_.reset();
  return hex;
}

host::IoFailure DownloadFile::failure() const {
  const int error_number = error_number_;
  return {error_number != 0 ? error_number : EIO, quoted(target_)};
}

bool DownloadFile::commit(std::optional<time_t> mtime) {
  // Not while a signal's interrupt() decides the file's fate.
  std::unique_lock<std::shared_mutex> writing(writing_);
  // A full disk on a network file system may show only when the bytes are flushed.
  if (!temporary_.empty() && fsync(fd_) != 0) fail(errno);
  if (mtime && !temporary_.empty()) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {*mtime, 0}};
    if (futimens(fd_, times) != 0) fail(errno);
  }
  if (close(fd_) != 0) fail(errno);
  fd_ = -1;
  if (error_number_ == 0 && !temporary_.empty()) {
    if (rename(temporary_.c_str(), place_.c_str()) != 0) {
      fail(errno);
    } else {
      temporary_.clear();
    }
  }
  return error_number_ == 0;
}

std::string DownloadFile::fate_after_failure() const {
  if (temporary_.empty()) return "";
  return quoted(target_) + (target_existed_ ? " is left as it was" : " was not created");
}

KeptBytes DownloadFile::interrupt() {
  std::unique_lock<std::shared_mutex> writing(writing_);
  stopped_ = true;
  std::lock_guard<std::mutex> order(order_);
  KeptBytes kept;
  kept.bytes = in_order_;
  if (fd_ < 0) return kept;  // committed: nothing is left to download
  for (size_t i = range_; i < ranges_.size(); ++i) {
    const Range &range = ranges_[i];
    const int64_t from = i == range_ ? next_ : range.first;
    kept.remaining.emplace_back(from, range.second < 0 ? -1 : range_end(range) - from);
  }
  if (temporary_.empty()) return kept;
  // Only the bytes in order count: those past a gap go, so the file is a true beginning.
  if (!target_existed_ && in_order_ > 0 && ftruncate(fd_, in_order_) == 0 &&
      rename(temporary_.c_str(), place_.c_str()) == 0) {
    temporary_.clear();
    kept.fate = KeptBytes::Fate::kCompleted;
    return kept;
  }
  unlink(temporary_.c_str());
  temporary_.clear();
  kept.fate = target_existed_ ? KeptBytes::Fate::kDiscarded : KeptBytes::Fate::kNotCreated;
  return kept;
}

SignalWatch::SignalWatch(std::function<void(int)> on_signal) : on_signal_(std::move(on_signal)) {
  if (pipe2(pipe_, O_CLOEXEC) != 0) return;
  thread_ = std::thread([this] {
    unsigned char byte = 0;
    for (;;) {
      const ssize_t n = read(pipe_[0], &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || byte == 0) return;
      on_signal_(byte);
      std::signal(byte, SIG_DFL);
      std::raise(byte);
      _exit(128 + byte);
    }
  });
  g_signal_pipe = pipe_[1];
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction old {};
    if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(signal_number, &action, nullptr) == 0) replaced_.emplace_back(signal_number, old);
  }
}

SignalWatch::~SignalWatch() {
  for (const auto &[signal_number, old] : replaced_) sigaction(signal_number, &old, nullptr);
  if (thread_.joinable()) {
    const unsigned char stop = 0;
    if (write(pipe_[1], &stop, 1) == 1)
      thread_.join();
    else
      thread_.detach();
  }
  g_signal_pipe = -1;
  for (int fd : pipe_) {
    if (fd >= 0) close(fd);
  }
}

int64_t StdinSource::read_at(int64_t offset, vorlan_byte_t *data, size_t length) {
  if (offset != position_) {
    error_number_ = EINVAL;
    return -1;
  }
  size_t total = 0;
  while (total < length) {
    pollfd ready{STDIN_FILENO, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(idle_limit_.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) {
      error_number_ = polled == 0 ? ETIMEDOUT : errno;
      return -1;
    }
    const ssize_t n = read(STDIN_FILENO, data + total, length - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_number_ = errno;
      return -1;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  position_ += static_cast<int64_t>(total);
  return static_cast<int64_t>(total);
}

std::string progress_text(int64_t done, int64_t total, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  std::string line = size_text(static_cast<double>(done));
  if (total >= 0) {
    char percent[16];
    std::snprintf(percent, sizeof percent, " (%d%%)",
                  total > 0 ? static_cast<int>(std::min<int64_t>(done, total) * 100 / total) : 100);
    line += " of " + size_text(static_cast<double>(total)) + percent;
  }
  line += "  " + size_text(rate) + "/s";
  if (total >= 0 && rate > 0 && done < total) {
    char left[32];
    const auto remaining = static_cast<int64_t>(static_cast<double>(total - done) / rate);
    std::snprintf(left, sizeof left, "  %" PRId64 ":%02" PRId64 " left", remaining / 60,
                  remaining % 60);
    line += left;
  }
  return line;
}

Progress::Progress(std::string label, int64_t total, ProgressDisplay display, int interval)
    : label_(std::move(label)),
      total_(total),
      display_(display),
      period_(display == ProgressDisplay::kTerminal ? std::chrono::milliseconds(250)
                                                    : std::chrono::seconds(interval)) {
  if (display_ == ProgressDisplay::kNone) return;
  thread_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    // A log without an interval gets the last line only.
    auto stopped = [this] { return stopping_; };
    while (period_.count() > 0 ? !stop_signal_.wait_for(lock, period_, stopped)
                               : (stop_signal_.wait(lock, stopped), false)) {
      show(false);
    }
    show(true);
  });
}

Progress::~Progress() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_signal_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Progress::show(bool last) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const auto done = static_cast<int64_t>(done_.load());
  std::string line = label_;
  if (last) {
    char time[64];
    std::snprintf(time, sizeof time, " in %.1f s", seconds);
    line += failed_ ? "stopped after " + size_text(static_cast<double>(done)) + time
                    : size_text(static_cast<double>(done)) + time + ", " +
                          size_text(seconds > 0 ? static_cast<double>(done) / seconds : 0) +
                          "/s on average";
  } else {
    line += progress_text(done, total_, seconds);
  }
  if (display_ == ProgressDisplay::kTerminal) {
    std::fprintf(stderr, "\r%-70s%s", line.c_str(), last ? "\n" : "");
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

bool CountingSink::write_at(int64_t offset, const vorlan_byte_t *data, size_t length) {
  const bool written = inner_.write_at(offset, data, length);
  if (written) progress_.add(length);
  if (!written) failed_ = true;
  return written;
}

int64_t CountingSource::read_at(int64_t offset, vorlan_byte_t *data, size_t length) {
  const int64_t n = inner_.read_at(offset, data, length);
  if (n > 0) progress_.add(static_cast<size_t>(n));
  if (n < 0) failed_ = true;
  return n;
}

std::string file_md5_hex(const std::string &path, Progress *progress) {
  std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!file || !context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("cannot read \"" + path + "\" for its MD5");
  }
  std::vector<char> buffer(size_t{1} << 20);
  size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    EVP_DigestUpdate(context.get(), buffer.data(), n);
    if (progress != nullptr) progress->add(n);
  }
  std::string hex = std::ferror(file.get()) != 0 ? "" : digest_hex(context.get());
  if (hex.empty()) {
    if (progress != nullptr) progress->failed();
    throw std::runtime_error("cannot read \"" + path + "\" for its MD5");
  }
  return hex;
}

}  // namespace vorlan::tool
