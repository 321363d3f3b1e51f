// The diagnostic log: its handle, level names and the macros every unit logs with. Base
// activation opens the output and sets the handle before any session exists, and
// deactivation closes it after the last; in between every thread reads the handle without a
// lock and writes each piece of a line with one stdio call.
#ifndef VORLAN_I_S3_LOG_H
#define VORLAN_I_S3_LOG_H

#include <vorlan/vorlan_common.h>

#include <cstdint>

#include "vorlan_i_s3_base.h"

enum : uint32_t {
  VORLAN_S3_DEBUG_TRACE = 1,
  VORLAN_S3_DEBUG_INFO = 2,
  VORLAN_S3_DEBUG_DEBUG = 4,
  VORLAN_S3_DEBUG_WARN = 8,
  VORLAN_S3_DEBUG_ERROR = 16,
};

extern vorlan_debug_handle_t vorlan_i_VORLAN_S3_debug_handle;
// Indexed by level bit value; entries that are not a level are null.
extern const char *const vorlan_i_s3_debug_level_names[17];

void vorlan_i_VORLAN_S3_debug_printf(const char *format, ...) VORLAN_PRINTF_FORMAT(1, 2);
void vorlan_i_VORLAN_S3_debug_time_printf(const char *format, ...) VORLAN_PRINTF_FORMAT(1, 2);

// One logical log line: the prefix write, then the message write, each in the level's form.
#define VORLAN_S3_LOG_AS(level, func_name, ...)                                                   \
  do {                                                                                            \
    if (vorlan_i_VORLAN_S3_debug_handle.levels & (level)) {                                       \
      if (vorlan_i_VORLAN_S3_debug_handle.timestamp_levels & (level)) {                           \
        vorlan_i_VORLAN_S3_debug_time_printf(                                                     \
            "s3: %5s: %s: ", vorlan_i_s3_debug_level_names[(level)], vorlan_i_s3_str(func_name)); \
      } else {                                                                                    \
        vorlan_i_VORLAN_S3_debug_printf("s3: %5s: %s: ", vorlan_i_s3_debug_level_names[(level)],  \
                                        vorlan_i_s3_str(func_name));                              \
      }                                                                                           \
    }                                                                                             \
    if (vorlan_i_VORLAN_S3_debug_handle.levels & (level)) {                                       \
      if (vorlan_i_VORLAN_S3_debug_handle.timestamp_levels & (level)) {                           \
        vorlan_i_VORLAN_S3_debug_time_printf(__VA_ARGS__);                                        \
      } else {                                                                                    \
        vorlan_i_VORLAN_S3_debug_printf(__VA_ARGS__);                                             \
      }                                                                                           \
    }                                                                                             \
  } while (0)

#define VORLAN_S3_LOG(level, ...) VORLAN_S3_LOG_AS(level, __func__, __VA_ARGS__)
#define VORLAN_S3_TRACE_ENTER() VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "enter\n")
#define VORLAN_S3_TRACE_EXIT() VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit\n")

// Logs "result=VORLAN_SUCCESS\n" at TRACE or the standard failure line at ERROR for `result`.
void vorlan_i_s3_log_result(const char *func_name, vorlan_result_t result);
#define VORLAN_S3_LOG_RESULT(result) vorlan_i_s3_log_result(__func__, (result))
// Closes the log output the base module opened and turns the log off; safe to repeat. Base
// deactivation calls it, and so does the outer module after logging a failed activation.
void vorlan_i_s3_debug_close();

#endif  // VORLAN_I_S3_LOG_H
