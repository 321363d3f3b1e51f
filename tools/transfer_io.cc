// Files, standard output and standard input for the command-line host's transfers, and its
// progress line.
#include "transfer_io.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
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

}  // namespace

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
  if (!failed_ && std::fwrite(data, 1, length, stdout) != length) failed_ = true;
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
  if (std::fflush(stdout) != 0) failed_ = true;
  return !failed_;
}

int64_t StdinSource::read_at(int64_t offset, vorlan_byte_t *data, size_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The host's reads start in the order it handed out their offsets; a minute covers any
  // scheduling, and a read that never comes must not hold this one forever.
  if (!turn_.wait_for(lock, std::chrono::minutes(1), [&] { return position_ >= offset; }) ||
      position_ != offset) {
    return -1;
  }
  size_t total = 0;
  while (total < length) {
    const ssize_t n = read(STDIN_FILENO, data + total, length - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  position_ += static_cast<int64_t>(total);
  turn_.notify_all();
  return static_cast<int64_t>(total);
}

Progress::Progress(int64_t total) : total_(total) {
  if (isatty(STDERR_FILENO) == 0) return;
  thread_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_signal_.wait_for(lock, std::chrono::milliseconds(250),
                                  [this] { return stopping_; })) {
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
  const auto done = static_cast<double>(done_.load());
  const double rate = seconds > 0 ? done / seconds : 0;
  std::string line = size_text(done);
  if (total_ > 0) line += " of " + size_text(static_cast<double>(total_));
  line += "  " + size_text(rate) + "/s";
  if (total_ > 0 && rate > 0 && !last) {
    char left[32];
    const auto remaining = static_cast<int64_t>((static_cast<double>(total_) - done) / rate);
    std::snprintf(left, sizeof left, "  %" PRId64 ":%02" PRId64 " left", remaining / 60,
                  remaining % 60);
    line += left;
  }
  std::fprintf(stderr, "\r%-60s%s", line.c_str(), last ? "\n" : "");
  std::fflush(stderr);
}

bool CountingSink::write_at(int64_t offset, const vorlan_byte_t *data, size_t length) {
  const bool written = inner_.write_at(offset, data, length);
  if (written) progress_.add(length);
  return written;
}

int64_t CountingSource::read_at(int64_t offset, vorlan_byte_t *data, size_t length) {
  const int64_t n = inner_.read_at(offset, data, length);
  if (n > 0) progress_.add(static_cast<size_t>(n));
  return n;
}

std::string file_md5_hex(const std::string &path) {
  std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!file || !context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("cannot read \"" + path + "\" for its MD5");
  }
  std::vector<char> buffer(size_t{1} << 20);
  size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    EVP_DigestUpdate(context.get(), buffer.data(), n);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (std::ferror(file.get()) != 0 || EVP_DigestFinal_ex(context.get(), digest, &size) != 1) {
    throw std::runtime_error("cannot read \"" + path + "\" for its MD5");
  }
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace vorlan::tool
