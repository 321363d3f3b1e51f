// The diagnostic log's bytes: prefixes, thread ids, time stamps, and messages of any size or
// content written whole.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "module_test_hooks.h"

namespace {

// Replaces each time stamp "<seconds>.<nine digits>::" by "<T>::"; the clock gives
// microseconds, so the last three digits are zeros.
std::string mask_stamps(std::string text) {
  for (size_t end;
       (end = text.find("000::")) != std::string::npos && end >= 7 && text[end - 7] == '.';) {
    size_t start = end - 7;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
    text.replace(start, end + 5 - start, "<T>::");
  }
  return text;
}

// Each case writes one line; "<id>" in the expected text stands for the writing thread's id.
TEST(DebugLogTest, PrefixesAndMessages) {
  const std::string big(5000, 'm');
  struct Case {
    const char *label;
    uint32_t levels, stamped;
    int thread_ids;
    bool output;
    uint32_t level;
    const char *func;
    std::string message, expected;
  } cases[] = {
      {"level names align right", 0x1F, 0, 0, true, VORLAN_S3_DEBUG_TRACE, "some_function",
       "enter\n", "s3: TRACE: some_function: enter\n"},
      {"disabled level", VORLAN_S3_DEBUG_ERROR, 0, 0, true, VORLAN_S3_DEBUG_TRACE, "f", "x\n", ""},
      {"no output", 0x1F, 0x1F, 1, false, VORLAN_S3_DEBUG_ERROR, "f", "x\n", ""},
      {"thread ids on each piece", 0x1F, 0, 1, true, VORLAN_S3_DEBUG_TRACE, "f", "enter\n",
       "<id>::s3: TRACE: f: <id>::enter\n"},
      {"time stamp on its level", 0x1F, VORLAN_S3_DEBUG_WARN, 0, true, VORLAN_S3_DEBUG_WARN, "f",
       "slow\n", "<T>::s3:  WARN: f: <T>::slow\n"},
      {"no time stamp on another level", 0x1F, VORLAN_S3_DEBUG_WARN, 0, true, VORLAN_S3_DEBUG_INFO,
       "f", "plain\n", "s3:  INFO: f: plain\n"},
      {"thread ids and time stamps", 0x1F, VORLAN_S3_DEBUG_WARN, 1, true, VORLAN_S3_DEBUG_WARN, "f",
       "x\n", "<id>:<T>::s3:  WARN: f: <id>:<T>::x\n"},
      {"long message", 0x1F, 0, 0, true, VORLAN_S3_DEBUG_INFO, "f", big + "\n",
       "s3:  INFO: f: " + big + "\n"},
      {"long message, stamped", 0x1F, 0x1F, 1, true, VORLAN_S3_DEBUG_INFO, "f", big + "\n",
       "<id>:<T>::s3:  INFO: f: <id>:<T>::" + big + "\n"},
      {"conversions in an argument", 0x1F, 0, 0, true, VORLAN_S3_DEBUG_INFO, "f",
       "path=/b/%s%n%d\n", "s3:  INFO: f: path=/b/%s%n%d\n"},
      {"no function name", 0x1F, 0, 0, true, VORLAN_S3_DEBUG_INFO, nullptr, "x\n",
       "s3:  INFO: : x\n"},
  };
  const std::string id = std::to_string(static_cast<unsigned long>(vorlan_thread_self()));
  vorlan::test::CapturedLog log(0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    vorlan_i_VORLAN_S3_debug_handle = {c.levels, c.stamped, c.output ? log.stream() : nullptr,
                                       c.thread_ids, 0};
    VORLAN_S3_LOG_AS(c.level, c.func, "%s", c.message.c_str());
    std::string expected = c.expected;
    for (size_t at; (at = expected.find("<id>")) != std::string::npos;) expected.replace(at, 4, id);
    EXPECT_EQ(mask_stamps(log.take()), expected);
  }
}

TEST(DebugLogTest, ResultLines) {
  // A success's line is the module's activation line the load tests read.
  vorlan::test::CapturedLog log(0x1F);
  vorlan_result_t result = vorlan_error_put(vorlan_error_construct_error(
      nullptr, nullptr, VORLAN_ERROR_TYPE_MODULE, "test", "f", 1, "%s", "it broke"));
  vorlan_i_s3_log_result("f", result);
  char hex[32];
  snprintf(hex, sizeof hex, "%#x", static_cast<unsigned>(result));
  EXPECT_EQ(log.take(), std::string("s3: ERROR: f: result=") + hex + " message=it broke\n");
  // The error stays the caller's to pass on.
  EXPECT_NE(vorlan_error_peek(result), nullptr);
  vorlan_error_release(result);

  // A code that names no error object gives an empty message, not a crash.
  vorlan_i_s3_log_result("f", VORLAN_FAILURE);
  EXPECT_EQ(log.take(), "s3: ERROR: f: result=0xffffffff message=\n");
  vorlan_i_VORLAN_S3_debug_handle.levels = 0;
  vorlan_i_s3_log_result("f", VORLAN_FAILURE);
  EXPECT_EQ(log.take(), "");
}

}  // namespace
