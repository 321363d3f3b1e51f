// The module's surroundings as production runs them; tests put their own in place as a unit.
#include "vorlan_i_s3.h"

#include <ctime>

namespace {

time_t vorlan_l_s3_wall_clock() { return time(nullptr); }

int64_t vorlan_l_s3_monotonic_clock() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

}  // namespace

const vorlan_i_s3_env_t vorlan_i_s3_default_env = {
    vorlan_libc_usleep, vorlan_l_s3_wall_clock, vorlan_l_s3_monotonic_clock, nullptr, 5000,
};
const vorlan_i_s3_env_t *vorlan_i_s3_env = &vorlan_i_s3_default_env;
