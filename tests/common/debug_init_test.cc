#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

constexpr const char *kVariable = "VORLAN_COMMON_TEST_DEBUG";
constexpr const char *kLevelNames = "TRACE INFO DEBUG WARNING ERROR";
constexpr uint32_t TRACE = 1, INFO = 2, DEBUG = 4, WARNING = 8, ERROR = 16;

enum class Output { kNone, kStderr, kFile };

struct Setting {
  const char *value;  // null: unset; "@FILE@" stands for a scratch log file
  uint32_t levels;
  uint32_t timestamp_levels;
  int threads;
  Output output;
  const char *error_mentions;  // non-null: the setting must be refused
};

std::string log_path() { return ::testing::TempDir() + "vorlan_debug_init_test.log"; }

std::string with_file(std::string value) {
  size_t at = value.find("@FILE@");
  if (at != std::string::npos) {
    value.replace(at, 6, log_path());
  }
  return value;
}

class DebugInit : public ::testing::TestWithParam<Setting> {
 protected:
  void SetUp() override { unlink(log_path().c_str()); }
  void TearDown() override {
    unsetenv(kVariable);
    unlink(log_path().c_str());
  }
};

TEST_P(DebugInit, FillsTheHandle) {
  const Setting &s = GetParam();
  if (s.value != nullptr) {
    setenv(kVariable, with_file(s.value).c_str(), 1);
  } else {
    unsetenv(kVariable);
  }
  vorlan_debug_handle_t handle;
  memset(&handle, 0xA5, sizeof handle);
  vorlan_result_t result = vorlan_debug_init(kVariable, kLevelNames, &handle);

  if (s.error_mentions != nullptr) {
    const vorlan_object_t *error = vorlan_error_peek(result);
    ASSERT_NE(error, nullptr) << "a bad setting must be reported";
    EXPECT_NE(std::string(vorlan_error_get_long_desc(error)).find(s.error_mentions),
              std::string::npos)
        << vorlan_error_get_long_desc(error);
    vorlan_error_release(result);
    EXPECT_EQ(handle.output, nullptr) << "the log must stay off";
    EXPECT_EQ(handle.owns_output, 0);
    EXPECT_EQ(handle.levels, 0u);
    EXPECT_NE(access(log_path().c_str(), F_OK), 0) << "a refused setting must create no file";
    return;
  }

  ASSERT_EQ(result, VORLAN_SUCCESS);
  EXPECT_EQ(handle.levels, s.levels);
  EXPECT_EQ(handle.timestamp_levels, s.timestamp_levels);
  EXPECT_EQ(handle.show_thread_ids, s.threads);
  switch (s.output) {
    case Output::kNone:
      EXPECT_EQ(handle.output, nullptr);
      EXPECT_EQ(handle.owns_output, 0);
      break;
    case Output::kStderr:
      EXPECT_EQ(handle.output, stderr);
      EXPECT_EQ(handle.owns_output, 0);
      break;
    case Output::kFile:
      ASSERT_NE(handle.output, nullptr);
      EXPECT_NE(handle.output, stderr);
      EXPECT_EQ(handle.owns_output, 1);
      fclose(handle.output);
      EXPECT_EQ(access(log_path().c_str(), F_OK), 0);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, DebugInit,
    ::testing::Values(
        Setting{nullptr, 0, 0, 0, Output::kNone, nullptr},
        Setting{"", 0, 0, 0, Output::kNone, nullptr},
        Setting{"  ", 0, 0, 0, Output::kNone, nullptr},
        Setting{"ERROR", ERROR, 0, 0, Output::kStderr, nullptr},
        Setting{"error|Warning|info", ERROR | WARNING | INFO, 0, 0, Output::kStderr, nullptr},
        Setting{"31", 31, 0, 0, Output::kStderr, nullptr},
        Setting{"ALL", 31, 0, 0, Output::kStderr, nullptr},
        Setting{"TRACE,-", TRACE, 0, 0, Output::kStderr, nullptr},
        Setting{"TRACE,stderr,threads", TRACE, 0, 1, Output::kStderr, nullptr},
        Setting{"DEBUG,,threads,DEBUG|ERROR", DEBUG, DEBUG | ERROR, 1, Output::kStderr, nullptr},
        Setting{"ERROR|WARNING|INFO,@FILE@,threads,ERROR", ERROR | WARNING | INFO, ERROR, 1,
                Output::kFile, nullptr},
        Setting{"ALL,@FILE@,,24", 31, 24, 0, Output::kFile, nullptr},
        Setting{"WARN", 0, 0, 0, Output::kNone, "\"WARN\""},
        Setting{"ERROR,@FILE@,colour", 0, 0, 0, Output::kNone, "\"colour\""},
        Setting{"ERROR,@FILE@,threads,LOUD", 0, 0, 0, Output::kNone, "\"LOUD\""},
        Setting{"99999999999", 0, 0, 0, Output::kNone, "99999999999"},
        Setting{"ERROR,@FILE@,threads,ERROR,extra", 0, 0, 0, Output::kNone, "fields"},
        Setting{"ERROR,/nonexistent-dir/s3.log", 0, 0, 0, Output::kNone,
                "/nonexistent-dir/s3.log"}));

TEST(DebugInitFile, AppendsToAnExistingLog) {
  std::string path = log_path();
  { std::ofstream(path) << "earlier\n"; }
  setenv(kVariable, ("ERROR," + path).c_str(), 1);
  vorlan_debug_handle_t handle{};
  ASSERT_EQ(vorlan_debug_init(kVariable, kLevelNames, &handle), VORLAN_SUCCESS);
  unsetenv(kVariable);
  fputs("later\n", handle.output);
  fclose(handle.output);

  std::stringstream contents;
  contents << std::ifstream(path).rdbuf();
  EXPECT_EQ(contents.str(), "earlier\nlater\n");
  unlink(path.c_str());
}

}  // namespace
