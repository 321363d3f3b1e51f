// Where a transfer's bytes go and come from: memory for tests, a file for an upload.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "host_internal.hpp"

namespace vorlan::host {

bool MemorySink::write_at(int64_t offset, const vorlan_byte_t *data, size_t length) {
  if (offset < 0) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  size_t end = static_cast<size_t>(offset) + length;
  if (data_.size() < end) {
    data_.resize(end, '\0');
  }
  if (length > 0) {
    memcpy(data_.data() + offset, data, length);
  }
  return true;
}

std::string MemorySink::contents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return data_;
}

int64_t MemorySource::read_at(int64_t offset, vorlan_byte_t *data, size_t length) {
  if (offset < 0) {
    return -1;
  }
  if (offset >= static_cast<int64_t>(data_.size())) {
    return 0;
  }
  size_t n = std::min(length, data_.size() - static_cast<size_t>(offset));
  memcpy(data, data_.data() + offset, n);
  return static_cast<int64_t>(n);
}

namespace {

std::string system_error(const char *what, const std::string &path) {
  char buffer[256];
  return std::string(what) + " \"" + path + "\": " + strerror_r(errno, buffer, sizeof buffer);
}

class FileSource : public DataSource {
 public:
  FileSource(int fd, int64_t size, std::string path)
      : fd_(fd), size_(size), path_(std::move(path)) {}
  ~FileSource() override { close(fd_); }
  // Fills as much as the file holds: a short count means the end of the file.
  int64_t read_at(int64_t offset, vorlan_byte_t *data, size_t length) override {
    int64_t total = 0;
    while (length > 0) {
      ssize_t n = pread(fd_, data, length, offset);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        error_number_ = errno;
        return -1;
      }
      if (n == 0) {
        break;
      }
      data += n;
      length -= static_cast<size_t>(n);
      offset += n;
      total += n;
    }
    return total;
  }
  int64_t size() const override { return size_; }
  IoFailure failure() const override { return {error_number_.load(), "\"" + path_ + "\""}; }

 private:
  int fd_;
  int64_t size_;
  std::string path_;
  std::atomic<int> error_number_{EIO};
};

}  // namespace

std::unique_ptr<DataSource> file_source(const std::string &path, std::string *error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error != nullptr) {
      *error = fd < 0 ? system_error("cannot open", path) : "not a regular file \"" + path + "\"";
    }
    if (fd >= 0) {
      close(fd);
    }
    return nullptr;
  }
  return std::make_unique<FileSource>(fd, static_cast<int64_t>(st.st_size), path);
}

}  // namespace vorlan::host
