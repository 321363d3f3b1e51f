#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

// A file log is opened for appending, so earlier content must survive; a refused setting
// leaves the log off and creates no file.
TEST(DebugInit, FillsTheHandle) {
  const Setting settings[] = {
      {nullptr, 0, 0, 0, Output::kNone, nullptr},
      {"", 0, 0, 0, Output::kNone, nullptr},
      {"error|Warning|info", ERROR | WARNING | INFO, 0, 0, Output::kStderr, nullptr},
      {"31", 31, 0, 0, Output::kStderr, nullptr},
      {"ALL", 31, 0, 0, Output::kStderr, nullptr},
      {"TRACE,-,threads", TRACE, 0, 1, Output::kStderr, nullptr},
      {"DEBUG,,threads,DEBUG|ERROR", DEBUG, DEBUG | ERROR, 1, Output::kStderr, nullptr},
      {"ERROR|WARNING|INFO,@FILE@,threads,ERROR", ERROR | WARNING | INFO, ERROR, 1, Output::kFile,
       nullptr},
      {"WARN", 0, 0, 0, Output::kNone, "\"WARN\""},
      {"ERROR,@FILE@,colour", 0, 0, 0, Output::kNone, "\"colour\""},
      {"99999999999", 0, 0, 0, Output::kNone, "99999999999"},
      {"ERROR,@FILE@,threads,ERROR,extra", 0, 0, 0, Output::kNone, "fields"},
      {"ERROR,/nonexistent-dir/s3.log", 0, 0, 0, Output::kNone, "/nonexistent-dir/s3.log"},
  };
  for (const Setting &s : settings) {
    SCOPED_TRACE(s.value != nullptr ? s.value : "(unset)");
    unlink(log_path().c_str());
    if (s.output == Output::kFile) {
      std::ofstream(log_path()) << "earlier\n";
    }
    if (s.value == nullptr) {
      unsetenv(kVariable);
    } else {
      std::string value = s.value;
      if (size_t at = value.find("@FILE@"); at != std::string::npos) {
        value.replace(at, 6, log_path());
      }
      setenv(kVariable, value.c_str(), 1);
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
      EXPECT_TRUE(handle.output == nullptr && handle.owns_output == 0 && handle.levels == 0);
      EXPECT_NE(access(log_path().c_str(), F_OK), 0);
      continue;
    }
    ASSERT_EQ(result, VORLAN_SUCCESS);
    EXPECT_EQ(handle.levels, s.levels);
    EXPECT_EQ(handle.timestamp_levels, s.timestamp_levels);
    EXPECT_EQ(handle.show_thread_ids, s.threads);
    EXPECT_EQ(handle.owns_output, s.output == Output::kFile);
    if (s.output != Output::kFile) {
      EXPECT_EQ(handle.output, s.output == Output::kStderr ? stderr : nullptr);
      continue;
    }
    ASSERT_NE(handle.output, nullptr);
    fputs("later\n", handle.output);
    fclose(handle.output);
    std::stringstream contents;
    contents << std::ifstream(log_path()).rdbuf();
    EXPECT_EQ(contents.str(), "earlier\nlater\n");
  }
  unsetenv(kVariable);
  unlink(log_path().c_str());
}

}  // namespace
