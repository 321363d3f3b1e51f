// The diagnostic log's bytes: prefixes, thread ids, time stamps, and messages of any size or
// content written whole.
#include <gtest/gtest.h>

#include <cctype>
#include <cinttypes>
#include <string>

#include "module_test_hooks.h"

namespace {

class DebugLogTest : public ::testing::Test {
 protected:
  std::string written() { return log_.take(); }
  static std::string thread_id() {
    return std::to_string(static_cast<unsigned long>(vorlan_thread_self()));
  }
  vorlan::test::CapturedLog log_{0x1F};
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
  vorlan_i_VORLAN_S3_debug_handle.output = log_.stream();
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
std::string mask_stamps(const std::string &text) {
  auto digits = [&](size_t from) {
    size_t end = from;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    return end - from;
  };
  std::string masked;
  size_t i = 0;
  while (i < text.size()) {
    const size_t seconds = digits(i);
    const size_t point = i + seconds;
    if (seconds > 0 && point < text.size() && text[point] == '.' && digits(point + 1) == 9 &&
        text.compare(point + 7, 5, "000::") == 0) {
      masked += "<T>::";
      i = point + 12;
    } else {
      masked += text[i++];
    }
  }
  return masked;
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
      EXPECT_TRUE(written().ends_with("key=" + big + " end\n"));
    }
  }
  vorlan_i_VORLAN_S3_debug_handle = {0x1F, 0, log_.stream(), 0, 0};
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
