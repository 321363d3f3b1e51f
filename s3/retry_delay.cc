// The back-off before each retry of a request.
#include "vorlan_i_s3.h"

int64_t vorlan_i_s3_retry_delay_us(int32_t try_count) {
  if (try_count <= 0 || vorlan_i_s3_retry_delay_ms <= 0) return 0;
  // Beyond 30 doublings any base delay is past the cap; stopping there keeps the shift in range.
  const int shift = try_count - 1 < 30 ? try_count - 1 : 30;
  const int64_t delay_ms = static_cast<int64_t>(vorlan_i_s3_retry_delay_ms) << shift;
  if (delay_ms >= vorlan_i_s3_retry_delay_max_us / 1000) return vorlan_i_s3_retry_delay_max_us;
  return delay_ms * 1000;
}

void vorlan_i_s3_retry_delay(int32_t try_count) {
  const int64_t delay_us = vorlan_i_s3_retry_delay_us(try_count);
  if (delay_us > 0) vorlan_i_s3_env->sleep_us(static_cast<unsigned long>(delay_us));
}
