// Runs stat requests through the module's entry point with a session handle built by hand,
// and provides the host's two stat completions that gather their reports. Include it in one
// source file of a test program that links the module's objects.
#ifndef VORLAN_TESTS_STAT_CAPTURE_H
#define VORLAN_TESTS_STAT_CAPTURE_H

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
  std::string reports;  // each report's record count, the final one last: "32 32 6"
  vorlan_result_t result = VORLAN_SUCCESS;
  int code = 0;  // a failure's reply code, error-type word, headers and text
  std::string word, headers, text;

  // The names in order, a directory's but "." with "/" after it, joined by blanks.
  std::string names() const {
    std::string joined;
    for (const StatEntry &entry : entries) {
      joined += (joined.empty() ? "" : " ") + entry.name;
      if (entry.mode == vorlan_i_s3_stat_dir_mode && entry.name != ".") joined += '/';
    }
    return joined;
  }
  void add(const vorlan_gfs_stat_t *stats, int count) {
    for (int i = 0; i < count; ++i) {
      const vorlan_gfs_stat_t &s = stats[i];
      entries.push_back({s.name, s.mode, s.size, s.ctime, s.mtime, s.dev, s.ino});
    }
    reports += (reports.empty() ? "" : " ") + std::to_string(count);
  }
};

// Runs one request until its worker has ended (at most 60 s), which is after its final report.
inline void run_stat(vorlan_i_s3_handle_t *handle, std::string path, bool file_only, StatRun *run) {
  vorlan_gfs_stat_info_t info{file_only ? VORLAN_TRUE : VORLAN_FALSE, path.data()};
  vorlan_i_s3_stat(reinterpret_cast<vorlan_gfs_operation_t>(run), &info, handle);
  ASSERT_EQ(vorlan_i_s3_workers_wait(60000), 0);
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
  reinterpret_cast<vorlan::test::StatRun *>(op)->add(stats, count);
}

extern "C" void vorlan_gridftp_server_finished_stat(vorlan_gfs_operation_t op,
                                                    vorlan_result_t result,
                                                    vorlan_gfs_stat_t *stats, int count) {
  reinterpret_cast<vorlan::test::StatRun *>(op)->add(stats, count);
  reinterpret_cast<vorlan::test::StatRun *>(op)->result = result;
}

#endif  // VORLAN_TESTS_STAT_CAPTURE_H
