// Runs stat requests through the module's entry point with a session handle built by hand,
// and provides the host's two stat completions that gather their reports. Include it in one
// source file of a test program that links the module's objects.
#ifndef VORLAN_TESTS_STAT_CAPTURE_H
#define VORLAN_TESTS_STAT_CAPTURE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module_test_hooks.h"

namespace vorlan::test {

struct StatEntry {
  std::string name;
  uint32_t mode;
  int64_t size, ctime, mtime;
  int32_t dev, ino;
};

struct StatRun {
  std::vector<StatEntry> entries;
  std::vector<int> reports;  // each report's record count, the final one last
  vorlan_result_t result = VORLAN_SUCCESS;
  int code = 0;  // the reply's code, error-type word and headers when it failed
  std::string word, headers, text;

  // Entry names in order, a directory's with "/" after it (the root's "." stays "."), joined
  // by blanks.
  std::string names() const {
    std::string joined;
    for (const StatEntry &entry : entries) {
      if (!joined.empty()) joined += ' ';
      joined += entry.name;
      if (entry.mode == vorlan_i_s3_stat_dir_mode && entry.name != ".") joined += '/';
    }
    return joined;
  }

  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
};

// Gives the session the allow list of a "config" document such as {"buckets": ["a"]}.
inline void allow_buckets(vorlan_i_s3_handle_t *handle, const char *document) {
  ASSERT_EQ(
      vorlan_i_s3_config_parse_buckets(nullptr, document, "buckets", &handle->allowed_buckets),
      VORLAN_SUCCESS);
}

inline void stat_capture_add(vorlan_gfs_operation_t op, vorlan_gfs_stat_t *stats, int count) {
  auto *run = reinterpret_cast<StatRun *>(op);
  for (int i = 0; i < count; ++i) {
    const vorlan_gfs_stat_t &s = stats[i];
    run->entries.push_back({s.name, s.mode, s.size, s.ctime, s.mtime, s.dev, s.ino});
  }
  run->reports.push_back(count);
}

// Runs one request to its final report (at most 60 s).
inline void run_stat(vorlan_i_s3_handle_t *handle, const std::string &path, bool file_only,
                     StatRun *run) {
  std::string pathname = path;
  vorlan_gfs_stat_info_t info{file_only ? VORLAN_TRUE : VORLAN_FALSE, pathname.data()};
  vorlan_i_s3_stat(reinterpret_cast<vorlan_gfs_operation_t>(run), &info, handle);
  std::unique_lock<std::mutex> lock(run->mutex);
  ASSERT_TRUE(run->done.wait_for(lock, std::chrono::seconds(60), [run] { return run->finished; }))
      << path << ": no final report";
  if (run->result == VORLAN_SUCCESS) return;
  const vorlan_object_t *error = vorlan_error_peek(run->result);
  run->code = vorlan_gfs_error_get_ftp_response_code(error);
  const char *word = vorlan_gfs_error_get_ftp_response_error_code(error);
  run->word = word != nullptr ? word : "";
  run->headers = vorlan_gfs_error_get_ftp_response_headers(error);
  run->text = error_text(run->result);
  vorlan_error_release(run->result);
}

}  // namespace vorlan::test

extern "C" void vorlan_gridftp_server_finished_stat_partial(vorlan_gfs_operation_t op,
                                                            vorlan_result_t result,
                                                            vorlan_gfs_stat_t *stats, int count) {
  EXPECT_EQ(result, VORLAN_SUCCESS);
  vorlan::test::stat_capture_add(op, stats, count);
}

extern "C" void vorlan_gridftp_server_finished_stat(vorlan_gfs_operation_t op,
                                                    vorlan_result_t result,
                                                    vorlan_gfs_stat_t *stats, int count) {
  vorlan::test::stat_capture_add(op, stats, count);
  auto *run = reinterpret_cast<vorlan::test::StatRun *>(op);
  std::lock_guard<std::mutex> lock(run->mutex);
  run->result = result;
  run->finished = true;
  run->done.notify_all();
}

#endif  // VORLAN_TESTS_STAT_CAPTURE_H
