// Small helpers for tests that reach the module's internals: the text of an error, the
// diagnostic log captured in memory, the module's surroundings replaced, and a session handle
// built by hand.
#ifndef VORLAN_TESTS_MODULE_TEST_HOOKS_H
#define VORLAN_TESTS_MODULE_TEST_HOOKS_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>

#include <strings.h>
#include <zlib.h>

#include "fake_s3_server.h"
#include "vorlan_i_gcloud.h"
#include "vorlan_i_s3.h"

namespace vorlan::test {

// The friendly text of the error `result` names ("" for none); the error stays in the table.
inline std::string error_text(vorlan_result_t result) {
  char *text = vorlan_error_print_friendly(vorlan_error_peek(result));
  std::string copy = text != nullptr ? text : "";
  std::free(text);
  return copy;
}

// Sends the module's diagnostic log to memory for the object's life.
class CapturedLog {
 public:
  explicit CapturedLog(uint32_t levels) : saved_(vorlan_i_VORLAN_S3_debug_handle) {
    stream_ = open_memstream(&buffer_, &size_);
    vorlan_i_VORLAN_S3_debug_handle = {levels, 0, stream_, 0, 0};
  }
  ~CapturedLog() {
    vorlan_i_VORLAN_S3_debug_handle = saved_;
    std::fclose(stream_);
    std::free(buffer_);
  }
  CapturedLog(const CapturedLog &) = delete;
  CapturedLog &operator=(const CapturedLog &) = delete;

  FILE *stream() const { return stream_; }
  // What was written since the last call.
  std::string take() {
    std::fflush(stream_);
    std::string text(buffer_ + seen_, size_ - seen_);
    seen_ = size_;
    return text;
  }

 private:
  vorlan_debug_handle_t saved_;
  FILE *stream_ = nullptr;
  char *buffer_ = nullptr;
  size_t size_ = 0, seen_ = 0;
};

// Puts a copy of the module's surroundings (sleep, clocks, region lookup host, unload wait) in
// place for the object's life; a test changes members through ->.
class ScopedEnv {
 public:
  ScopedEnv() : saved_(vorlan_i_s3_env), env_(*saved_) { vorlan_i_s3_env = &env_; }
  ~ScopedEnv() { vorlan_i_s3_env = saved_; }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;
  vorlan_i_s3_env_t *operator->() { return &env_; }

 private:
  const vorlan_i_s3_env_t *saved_;
  vorlan_i_s3_env_t env_;
};

// An algorithm's value of `bytes` (name in any case) as the module answers it, from other
// implementations: the fake's MD5 and CRC32C, zlib's ADLER32.
inline std::string reference_checksum(const std::string &algorithm, const std::string &bytes) {
  if (strcasecmp(algorithm.c_str(), "md5") == 0) return fake_s3_md5_hex(bytes);
  char hex[9] = "";
  if (strcasecmp(algorithm.c_str(), "crc32c") == 0) {
    vorlan_i_s3_checksum32_decode(fake_s3_crc32c_base64(bytes).c_str(), hex);
  } else {
    std::snprintf(hex, sizeof hex, "%08lx",
                  adler32(1, reinterpret_cast<const Bytef *>(bytes.data()), bytes.size()));
  }
  return hex;
}

// The threads this process runs now.
inline size_t thread_count() {
  auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

struct HandleDeleter {
  void operator()(vorlan_i_s3_handle_t *handle) const { vorlan_i_s3_destroy(handle); }
};
using HandlePtr = std::unique_ptr<vorlan_i_s3_handle_t, HandleDeleter>;

// A session handle for plain HTTP, path-style requests to `host`.
inline HandlePtr make_handle(const std::string &host) {
  HandlePtr handle(new vorlan_i_s3_handle_t);
  handle->host_name = strdup(host.c_str());
  handle->protocol = S3ProtocolHTTP;
  return handle;
}

}  // namespace vorlan::test

#endif  // VORLAN_TESTS_MODULE_TEST_HOOKS_H
