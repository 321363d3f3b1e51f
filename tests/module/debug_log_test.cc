// The diagnostic log's bytes: prefixes, thread ids, time stamps, and messages of any size or
// content written whole.
#include <gtest/gtest.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vorlan_i_s3.h"

namespace {

// Points the log at a memory stream for the test's life.
class DebugLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = vorlan_i_VORLAN_S3_debug_handle;
    stream_ = open_memstream(&buffer_, &size_);
    ASSERT_NE(stream_, nullptr);
    vorlan_i_VORLAN_S3_debug_handle = {0x1F, 0, stream_, 0, 0};
  }
  void TearDown() override {
    vorlan_i_VORLAN_S3_debug_handle = saved_;
    fclose(stream_);
    free(buffer_);
  }
  // What was written since the last call.
  std::string written() {
    fflush(stream_);
    std::string text(buffer_ + seen_, size_ - seen_);
    seen_ = size_;
    return text;
  }
  static std::string thread_id() {
    return std::to_string(static_cast<unsigned long>(vorlan_thread_self()));
  }

  vorlan_debug_handle_t saved_{};
  FILE *stream_ = nullptr;
  char *buffer_ = nullptr;
  size_t size_ = 0;
  size_t seen_ = 0;
};

TEST_F(DebugLogTest, PrefixNamesLevelRightAlignedAndFunction) {
  struct Case {
    uint32_t level;
    const char *expected;
  } cases[] = {
      {VORLAN_S3_DEBUG_TRACE, "s3: TRACE: some_function: enter\n"},
      {VORLAN_S3_DEBUG_INFO, "s3:  INFO: some_function: enter\n"},
      {VORLAN_S3_DEBUG_WARN, "s3:  WARN: some_function: enter\n"},
  };
  for (const Case &c : cases) {
    VORLAN_S3_LOG_AS(c.level, "some_function", "enter\n");
    EXPECT_EQ(written(), c.expected);
  }
}

TEST_F(DebugLogTest, DisabledLevelOrNoOutputWritesNothing) {
  vorlan_i_VORLAN_S3_debug_handle.levels = VORLAN_S3_DEBUG_ERROR;
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "f", "enter\n");
  vorlan_i_s3_log_result("f", VORLAN_SUCCESS);
  vorlan_i_VORLAN_S3_debug_handle = {0x1F, 0x1F, nullptr, 1, 0};
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_ERROR, "f", "enter\n");
  vorlan_i_VORLAN_S3_debug_handle.output = stream_;
  EXPECT_EQ(written(), "");
}

TEST_F(DebugLogTest, ThreadIdsPrefixEachPiece) {
  vorlan_i_VORLAN_S3_debug_handle.show_thread_ids = 1;
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, "f", "enter\n");
  const std::string id = thread_id();
  EXPECT_EQ(written(), id + "::s3: TRACE: f: " + id + "::enter\n");
}

// Replaces each time stamp "<seconds>.<nine digits>::" by "<T>::"; the clock gives
// microseconds, so the last three digits are zeros.
std::string mask_stamps(std::string text) {
  for (size_t at = 0; (at = text.find("000::", at)) != std::string::npos;) {
    size_t start = at + 3 - 9;
    if (at < 7 || text[start - 1] != '.') {
      at++;
      continue;
    }
    size_t seconds = start - 1;
    while (seconds > 0 && isdigit(static_cast<unsigned char>(text[seconds - 1]))) {
      seconds--;
    }
    text.replace(seconds, at + 5 - seconds, "<T>::");
    at = seconds + 5;
  }
  return text;
}

TEST_F(DebugLogTest, TimeStampedLevelsCarrySecondsAndNanoseconds) {
  vorlan_i_VORLAN_S3_debug_handle.timestamp_levels = VORLAN_S3_DEBUG_WARN;
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_WARN, "f", "slow %d\n", 3);
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "f", "plain\n");
  EXPECT_EQ(mask_stamps(written()), "<T>::s3:  WARN: f: <T>::slow 3\ns3:  INFO: f: plain\n");

  vorlan_i_VORLAN_S3_debug_handle.show_thread_ids = 1;
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_WARN, "f", "x\n");
  const std::string id = thread_id();
  EXPECT_EQ(mask_stamps(written()), id + ":<T>::s3:  WARN: f: " + id + ":<T>::x\n");
}

// Message text is data: long messages, conversion characters inside arguments and null
// strings are written as they are.
TEST_F(DebugLogTest, MessagesAreWrittenWhole) {
  const std::string big(5000, 'm');
  for (int thread_ids = 0; thread_ids <= 1; thread_ids++) {
    for (uint32_t stamped = 0; stamped <= VORLAN_S3_DEBUG_INFO; stamped += VORLAN_S3_DEBUG_INFO) {
      vorlan_i_VORLAN_S3_debug_handle.show_thread_ids = thread_ids;
      vorlan_i_VORLAN_S3_debug_handle.timestamp_levels = stamped;
      VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "f", "key=%s end\n", big.c_str());
      std::string text = written();
      const std::string tail = "key=" + big + " end\n";
      ASSERT_GE(text.size(), tail.size());
      EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    }
  }
  vorlan_i_VORLAN_S3_debug_handle.show_thread_ids = 0;
  vorlan_i_VORLAN_S3_debug_handle.timestamp_levels = 0;

  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "f", "path=%s\n", "/b/%s%n%d");
  EXPECT_EQ(written(), "s3:  INFO: f: path=/b/%s%n%d\n");

  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, nullptr, "path=%s.\n", vorlan_i_s3_str(nullptr));
  EXPECT_EQ(written(), "s3:  INFO: : path=.\n");

  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, "f", "%" PRIu64 " bytes\n", UINT64_MAX);
  EXPECT_EQ(written(), "s3:  INFO: f: 18446744073709551615 bytes\n");
}

TEST_F(DebugLogTest, ResultLines) {
  vorlan_i_s3_log_result("f", VORLAN_SUCCESS);
  EXPECT_EQ(written(), "s3: TRACE: f: result=VORLAN_SUCCESS\n");

  vorlan_result_t result = vorlan_error_put(vorlan_error_construct_error(
      nullptr, nullptr, VORLAN_ERROR_TYPE_MODULE, "test", "f", 1, "%s", "it broke"));
  vorlan_i_s3_log_result("f", result);
  char hex[32];
  snprintf(hex, sizeof hex, "%#x", static_cast<unsigned>(result));
  EXPECT_EQ(written(), std::string("s3: ERROR: f: result=") + hex + " message=it broke\n");
  // The error stays the caller's to pass on.
  EXPECT_NE(vorlan_error_peek(result), nullptr);
  vorlan_error_release(result);

  // A code that names no error object gives an empty message, not a crash.
  vorlan_i_s3_log_result("f", VORLAN_FAILURE);
  EXPECT_EQ(written(), "s3: ERROR: f: result=0xffffffff message=\n");
}

}  // namespace
